// The kit's display lock makes a use of the X display that skips it visible
// to ThreadSanitizer, which cannot look inside libX11: two threads using the
// display without the lock are reported, two threads using it with the lock
// are not.  Only the ThreadSanitizer build can tell.
#include "Process.h"
#include "XServer.h"

#include <gtest/gtest.h>

#include <string>

using tavro::test::RunProgram;
using tavro::test::XvfbServer;

TEST(DisplayLock, ThreadSanitizerReportsUsesThatSkipTheLockAndOnlyThose) {
#if !defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "only a ThreadSanitizer build sees data races";
#endif
    XvfbServer xvfb;
    TAVRO_REQUIRE_X(xvfb);
    for (const std::string mode : {"unlocked", "locked"}) {
        std::string output;
        // Its own options: the report goes to this test, not to the suite's
        // report directory, where it would fail the step.
        const int status = RunProgram("/usr/bin/env",
                                      {"TSAN_OPTIONS=halt_on_error=1 exitcode=66 log_path=stderr",
                                       "DISPLAY=" + xvfb.name(), DISPLAY_FROM_TWO_THREADS_PATH, mode},
                                      &output);
        if (mode == "unlocked") {
            EXPECT_EQ(status, 66) << output;
            EXPECT_NE(output.find("UnlockedDisplay"), std::string::npos) << output;
        } else {
            EXPECT_EQ(status, 0) << output;
        }
    }
}
