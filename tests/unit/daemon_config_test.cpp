// The daemon's configuration file read and rewritten on real files in the
// test's own HOME: links kept, and a file that cannot be a configuration
// reported in one line instead of taken as none.
#include "DaemonConfig.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

using tavro::test::ReadFile;
using tavro::test::TempHome;
using tavro::test::WriteFile;

namespace {

class DaemonConfigTest : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::create_directories(directory_);
    }
    bool Read(std::string* error) {
        std::map<std::string, std::string> values;
        return tavro::ReadDaemonConfig(&values, error);
    }
    TempHome home_;
    const std::string directory_ = home_.path() + "/.config/tavro";
    const std::string path_ = directory_ + "/tavrod.conf";
};

TEST_F(DaemonConfigTest, ARewriteGoesThroughTheLinkAndKeepsIt) {
    std::filesystem::create_directories(home_.path() + "/dotfiles");
    std::filesystem::create_symlink("../../dotfiles/tavrod.conf", path_);
    std::string error;
    ASSERT_TRUE(tavro::WriteDaemonConfigValue("filter", "adaptive", &error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(ReadFile(home_.path() + "/dotfiles/tavrod.conf"),
              "# tavrod configuration\nfilter = adaptive\n");
}

struct Unreadable {
    const char* name;
    void (*make)(const std::string& path);
    const char* said;
};

class UnreadableConfigTest : public DaemonConfigTest,
                             public testing::WithParamInterface<Unreadable> {};

TEST_P(UnreadableConfigTest, IsReportedInOneLineWithoutWaiting) {
    GetParam().make(path_);
    std::string error;
    EXPECT_FALSE(Read(&error));
    EXPECT_EQ(error, path_ + ": " + GetParam().said);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableConfigTest,
    testing::Values(
        Unreadable{"Directory", [](const std::string& p) { mkdir(p.c_str(), 0700); },
                   "not a regular file; replace it with a text file of \"key = value\" lines"},
        Unreadable{"Fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); },
                   "not a regular file; replace it with a text file of \"key = value\" lines"},
        Unreadable{"Huge", [](const std::string& p) { WriteFile(p, std::string(100 * 1024, 'x')); },
                   "larger than 64 KiB, too large for a configuration; shorten it"}),
    [](const testing::TestParamInfo<Unreadable>& info) { return std::string(info.param.name); });

TEST_F(DaemonConfigTest, AMalformedLongLineIsQuotedShort) {
    WriteFile(path_, std::string(1000, 'y') + "\n");
    std::string error;
    EXPECT_FALSE(Read(&error));
    EXPECT_EQ(error, path_ + ":1: expected \"key = value\", found \"" + std::string(80, 'y') + "...\"");
}

}  // namespace
