// The output choice as values: which output, why, and whether auto had to
// fall back, for each way of asking (against Xvfb; this machine's kernel has
// no /dev/uinput, tests/vm covers the uinput output itself).
#include <gtest/gtest.h>

#include "OutputSelection.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace {

using Selection = tavro::OutputSelection;
using Choice = CTavroLinux::OutputChoice;

constexpr key_t kSegmentKey = 0x7A12;

struct SelectionCase {
    const char* name;
    Choice choice;
    bool wayland;     // XDG_SESSION_TYPE=wayland
    bool needsNoUinput;
    int result;
    Selection::Kind output;
    Selection::Reason reason;
    bool uinputRefused;
};

class OutputSelectionValues : public testing::TestWithParam<SelectionCase> {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        TAVRO_REQUIRE_X(xvfb);
        if (GetParam().needsNoUinput && access("/dev/uinput", F_OK) == 0)
            GTEST_SKIP() << "this kernel has /dev/uinput (tests/vm covers it)";
        CTavroLinux::SharedMemoryKey = kSegmentKey;
        platform = std::make_unique<CTavroLinux>();
        ASSERT_EQ(platform->Initialize(), 0);
    }
    void TearDown() override {
        unsetenv("XDG_SESSION_TYPE");
        platform.reset();
        tavro::test::RemoveSegment(kSegmentKey);
    }
    tavro::test::XvfbServer xvfb;  // before the platform, which opens its display
    std::unique_ptr<CTavroLinux> platform;
};

TEST_P(OutputSelectionValues, SayWhatWasChosenAndWhy) {
    const SelectionCase& c = GetParam();
    if (c.wayland) setenv("XDG_SESSION_TYPE", "wayland", 1);
    const Selection chosen = platform->ChooseOutput(c.choice, 0, 0);
    EXPECT_EQ(chosen.result, c.result) << chosen.message;
    EXPECT_EQ(chosen.output, c.output) << chosen.message;
    EXPECT_EQ(chosen.reason, c.reason) << chosen.message;
    EXPECT_EQ(chosen.uinputRefused, c.uinputRefused) << chosen.message;
    EXPECT_FALSE(chosen.reachesNothing) << "there is a display";
    if (c.result == 0) {
        EXPECT_STREQ(std::atomic_load(&platform->DesktopOutput)->Name(), tavro::OutputKindName(chosen.output));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Output, OutputSelectionValues,
    testing::Values(
        SelectionCase{"X11AskedFor", Choice::X11, false, false, 0, Selection::Kind::X11,
                      Selection::Reason::AskedFor, false},
        SelectionCase{"AutoOnAnXDisplay", Choice::Auto, false, false, 0, Selection::Kind::X11,
                      Selection::Reason::XDisplay, false},
        SelectionCase{"AutoInWaylandFallsBack", Choice::Auto, true, true, 0, Selection::Kind::X11,
                      Selection::Reason::WaylandSession, true},
        SelectionCase{"UinputAskedForIsRefused", Choice::Uinput, false, true, 1, Selection::Kind::Uinput,
                      Selection::Reason::AskedFor, false}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

}  // namespace
