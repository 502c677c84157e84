// Fixture for tests that start the platform object in this process: a fresh
// segment (in the test's own IPC namespace), a temporary HOME, and the
// platform's system-log messages kept for the test to look at.
#ifndef TAVRO_TEST_KIT_SEGMENT_TEST_H
#define TAVRO_TEST_KIT_SEGMENT_TEST_H

#include "TavroLinux.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tavro::test {

class KitSegmentTest : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
        Log().clear();
        CTavroLinux::MessageLogObserver = [](const char* text) { Log().push_back(text); };
    }
    void TearDown() override {
        CTavroLinux::MessageLogObserver = nullptr;
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }

    // Messages the platform logged since the test began (or since cleared).
    static std::vector<std::string>& Log() {
        static std::vector<std::string> messages;
        return messages;
    }
    static bool Logged(const std::string& fragment) {
        return std::any_of(Log().begin(), Log().end(), [&](const std::string& line) {
            return line.find(fragment) != std::string::npos;
        });
    }

    TempHome home_;
};

}  // namespace tavro::test

#endif
