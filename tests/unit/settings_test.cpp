// The settings file: created with defaults at first start, read into the
// record (forgiving about case, entities and odd flag values), rewritten by
// the persistent setters, and never able to end or corrupt the process.
#include "TavroLinux.h"
#include "KitSegmentTest.h"
#include "TestEnvironment.h"
#include "tavrodev.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using tavro::test::ReadFile;
using tavro::test::TempHome;
using tavro::test::WriteFile;

namespace {

const char kDefaultFile[] =
    "\xEF\xBB\xBF"
    "<?xml version=\"1.0\"?>\n"
    "<Quorvel>\n"
    "\t<Settings>\n"
    "\t\t<D0>70.000000</D0>\n"
    "\t\t<Mx>5.000000</Mx>\n"
    "\t\t<Bx>-250.000000</Bx>\n"
    "\t\t<My>5.000000</My>\n"
    "\t\t<By>-340.000000</By>\n"
    "\t\t<CPixel>1.000000</CPixel>\n"
    "\t\t<DistanceThresh>0.040000</DistanceThresh>\n"
    "\t\t<StabThresh>7.000000</StabThresh>\n"
    "\t\t<CThetaX>1.000000</CThetaX>\n"
    "\t\t<CalDistance>3.100000</CalDistance>\n"
    "\t\t<Dmin>3.200000</Dmin>\n"
    "\t\t<DistanceCounterMax>12.000000</DistanceCounterMax>\n"
    "\t\t<XYCounterMax>3</XYCounterMax>\n"
    "\t\t<RollCounterMax>5</RollCounterMax>\n"
    "\t\t<SubframeInterpolation>3</SubframeInterpolation>\n"
    "\t\t<RotationCompensation>1</RotationCompensation>\n"
    "\t\t<TavroMenu>0</TavroMenu>\n"
    "\t\t<Sleepingfactor>30</Sleepingfactor>\n"
    "\t\t<PowerThresh>1</PowerThresh>\n"
    "\t\t<ClickStill>12</ClickStill>\n"
    "\t\t<XcalScreen>1280</XcalScreen>\n"
    "\t\t<YcalScreen>768</YcalScreen>\n"
    "\t\t<BaudRate>115200</BaudRate>\n"
    "\t\t<DistanceScaling>0</DistanceScaling>\n"
    "\t\t<DeviceName>/dev/ttyUSB0</DeviceName>\n"
    "\t\t<TavroMenuPath>Start_TavroMENU.exe</TavroMenuPath>\n"
    "\t</Settings>\n"
    "</Quorvel>\n";

class SettingsTest : public tavro::test::KitSegmentTest {
protected:
    void TearDown() override {
        platform_.reset();
        KitSegmentTest::TearDown();
    }
    SharedDeviceState& Start() {
        platform_ = std::make_unique<CTavroLinux>();
        EXPECT_EQ(platform_->Initialize(), 0);
        return *platform_->SharedData;
    }
    std::unique_ptr<CTavroLinux> platform_;
};

TEST_F(SettingsTest, FirstStartWritesTheDefaultsFileByteForByte) {
    struct stat info {};
    ASSERT_NE(stat((home_.path() + "/.QuorVel").c_str(), &info), 0);
    SharedDeviceState& r = Start();
    EXPECT_EQ(ReadFile(home_.settingsFile()), kDefaultFile);
    EXPECT_DOUBLE_EQ(r.D0, 70.0);
    EXPECT_DOUBLE_EQ(r.DistanceThresh, 0.04);
    EXPECT_EQ(r.SleepingFactor, 30);
    EXPECT_EQ(r.DistanceScaling, 0);
    // A second start reads the file it wrote and leaves it as it is.
    platform_.reset();
    Start();
    EXPECT_EQ(ReadFile(home_.settingsFile()), kDefaultFile);
}

TEST_F(SettingsTest, HandEditedFileIsReadForgivingly) {
    WriteFile(home_.settingsFile(),
              "<?xml version=\"1.0\"?>\n"
              "<QUORVEL><SETTINGS>\n"
              "  <d0>  80.5 </d0>\n"
              "  <Mx>7.25 trailing text</Mx>\n"
              "  <RotationCompensation>5</RotationCompensation>\n"
              "  <DistanceScaling>-1</DistanceScaling>\n"
              "  <TavroMenu>3</TavroMenu>\n"
              "  <ClickStill>abc</ClickStill>\n"
              "  <BaudRate></BaudRate>\n"
              "  <DeviceName>/dev/tty&amp;USB&#49;</DeviceName>\n"
              "  <TavroMenuPath>menu &lt;x&gt;</TavroMenuPath>\n"
              "</SETTINGS></QUORVEL>\n");
    SharedDeviceState& r = Start();
    EXPECT_DOUBLE_EQ(r.D0, 80.5);
    EXPECT_DOUBLE_EQ(r.Mx, 7.25);
    EXPECT_EQ(r.RotationCompensation, 1);
    EXPECT_EQ(r.DistanceScaling, 0);
    EXPECT_EQ(r.TavroMenu, 1);
    EXPECT_EQ(r.ClickStill, 0);        // not a number
    EXPECT_EQ(r.BaudRate, 115200);     // empty: keeps its default
    EXPECT_DOUBLE_EQ(r.By, -340.0);    // missing: keeps its default
    EXPECT_STREQ(r.DeviceName, "/dev/tty&USB1");
    EXPECT_STREQ(r.TavroMenuPath, "menu <x>");
    EXPECT_FALSE(Logged("XML"));
}

TEST_F(SettingsTest, SetterRewritesTheFileKeepingTheDevicePath) {
    WriteFile(home_.settingsFile(),
              "<?xml version=\"1.0\"?><Quorvel><Settings><DeviceName>/dev/ttyACM3</DeviceName>"
              "</Settings></Quorvel>");
    SharedDeviceState& r = Start();
    EXPECT_STREQ(r.DeviceName, "/dev/ttyACM3");
    r.TavroMenu = 0;

    // A setter that does not persist leaves the file alone...
    std::string before = ReadFile(home_.settingsFile());
    CTavroLinux* saved = TavroLinux;
    TavroLinux = platform_.get();
    EXPECT_EQ(TV_SetCalDistance(2.0), 1);
    EXPECT_EQ(ReadFile(home_.settingsFile()), before);
    // ...a persistent one writes every key from the record.
    EXPECT_EQ(TV_SetMx(1.5), 0);
    TavroLinux = saved;
    std::string after = ReadFile(home_.settingsFile());
    EXPECT_NE(after.find("\t\t<Mx>1.500000</Mx>\n"), std::string::npos);
    EXPECT_NE(after.find("\t\t<CalDistance>2.000000</CalDistance>\n"), std::string::npos);
    EXPECT_NE(after.find("<DeviceName>/dev/ttyACM3</DeviceName>"), std::string::npos);
}

TEST_F(SettingsTest, TextIsEscapedWhenWritten) {
    SharedDeviceState& r = Start();
    std::strcpy(r.TavroMenuPath, "a<b>&\"c'");
    ASSERT_EQ(platform_->WriteSettings(), 0);
    std::string file = ReadFile(home_.settingsFile());
    EXPECT_NE(file.find("<TavroMenuPath>a&lt;b&gt;&amp;&quot;c&apos;</TavroMenuPath>"),
              std::string::npos);
    std::strcpy(r.TavroMenuPath, "changed");
    platform_->ReadSettings();
    EXPECT_STREQ(r.TavroMenuPath, "a<b>&\"c'");
}

TEST_F(SettingsTest, MalformedFileKeepsTheProcessRunningOnDefaults) {
    const std::string broken = "<Quorvel><Settings><D0>99</D0></Quorvel";
    WriteFile(home_.settingsFile(), broken);
    SharedDeviceState& r = Start();
    EXPECT_DOUBLE_EQ(r.D0, 70.0);
    EXPECT_EQ(r.BaudRate, 115200);
    EXPECT_EQ(ReadFile(home_.settingsFile()), broken);  // left for the user to mend
    EXPECT_TRUE(Logged("the settings file " + home_.settingsFile() + " does not parse (line 1: "));
    EXPECT_TRUE(Logged("running on the defaults"));
}

// A file written by hand without the XML declaration line, or without the
// elements the values live in.
TEST_F(SettingsTest, FileWithoutDeclarationIsReadAndOneWithoutSettingsIsReported) {
    WriteFile(home_.settingsFile(), "<Quorvel><Settings><CPixel>2.5</CPixel></Settings></Quorvel>");
    EXPECT_DOUBLE_EQ(Start().Cpixel, 2.5);
    EXPECT_FALSE(Logged("no Quorvel/Settings element"));
    platform_.reset();
    WriteFile(home_.settingsFile(),
              "<?xml version=\"1.0\"?>\n<Quorvel><Setting><CPixel>2.5</CPixel></Setting></Quorvel>\n");
    EXPECT_DOUBLE_EQ(Start().Cpixel, 1.0);
    EXPECT_TRUE(Logged("the settings file " + home_.settingsFile() +
                       " has no Quorvel/Settings element; running on the defaults"));
}

// A reload while passes run (tavrod on SIGHUP, another process starting):
// the passes see the user's values throughout, never the defaults that the
// keys of the file replace.
TEST_F(SettingsTest, ReloadNeverShowsTheDefaultsInBetween) {
    WriteFile(home_.settingsFile(),
              "<?xml version=\"1.0\"?>\n<Quorvel><Settings><CPixel>2.5</CPixel>"
              "<XcalScreen>1920</XcalScreen><Sleepingfactor>45</Sleepingfactor></Settings></Quorvel>\n");
    SharedDeviceState& r = Start();
    ASSERT_DOUBLE_EQ(r.Cpixel, 2.5);
    std::atomic<bool> reloading{true};
    std::atomic<int> defaultsSeen{0};
    std::thread pass([&] {
        while (reloading.load()) {
            double cpixel = 0;
            __atomic_load(&r.Cpixel, &cpixel, __ATOMIC_RELAXED);
            if (cpixel != 2.5 ||
                __atomic_load_n(&r.XcalScreen, __ATOMIC_RELAXED) != 1920 ||
                __atomic_load_n(&r.SleepingFactor, __ATOMIC_RELAXED) != 45)
                defaultsSeen.fetch_add(1);
        }
    });
    for (int n = 0; n < 300; ++n) platform_->ReadSettings();
    reloading = false;
    pass.join();
    EXPECT_EQ(defaultsSeen.load(), 0);
    EXPECT_EQ(r.SleepingFactor, 45);
}

// The user's hand edit with a typo on line 4, their calibration below it.
const char kTypoFile[] =
    "<?xml version=\"1.0\"?>\n"
    "<Quorvel>\n"
    "\t<Settings>\n"
    "\t\t<D0>70.0<D0>\n"
    "\t\t<Mx>4.500000</Mx>\n"
    "\t\t<Bx>-200.000000</Bx>\n"
    "\t\t<My>4.600000</My>\n"
    "\t\t<By>-300.000000</By>\n"
    "\t</Settings>\n"
    "</Quorvel>\n";

// Files beside the settings file whose names start with Tavro.xml.broken-.
std::vector<std::string> BrokenCopies(const TempHome& home) {
    std::vector<std::string> copies;
    const std::string directory = home.path() + "/.QuorVel";
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Tavro.xml.broken-", 0) == 0) copies.push_back(entry.path().string());
    }
    std::sort(copies.begin(), copies.end());
    return copies;
}

TEST_F(SettingsTest, BrokenFileIsReportedLikeXmllintAndKeptBesideBeforeASetterRewritesIt) {
    WriteFile(home_.settingsFile(), kTypoFile);
    testing::internal::CaptureStderr();
    SharedDeviceState& r = Start();
    const std::string said = testing::internal::GetCapturedStderr();
    // One line on standard error, naming the problem the way xmllint does.
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("does not parse (line 9: Opening and ending tag mismatch: D0 line 4 and "
                        "Settings); running on the defaults"),
              std::string::npos)
        << said;
    EXPECT_DOUBLE_EQ(r.Mx, 5.0);
    EXPECT_TRUE(BrokenCopies(home_).empty());  // reading alone keeps the file as it is

    CTavroLinux* saved = TavroLinux;
    TavroLinux = platform_.get();
    Log().clear();
    EXPECT_EQ(TV_SetStabThresh(6.0), 0);
    // The user's values survive beside the rewritten file, byte for byte.
    std::vector<std::string> copies = BrokenCopies(home_);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(copies[0]), kTypoFile);
    EXPECT_EQ(copies[0].size(), home_.settingsFile().size() + std::string(".broken-YYYYMMDD-HHMMSS").size());
    EXPECT_TRUE(Logged("kept it as " + copies[0] + " and wrote a new one"));
    EXPECT_NE(ReadFile(home_.settingsFile()).find("<StabThresh>6.000000</StabThresh>"), std::string::npos);

    // A sound file is rewritten without another copy.
    EXPECT_EQ(TV_SetStabThresh(5.0), 0);
    EXPECT_EQ(BrokenCopies(home_).size(), 1u);

    // A second typo, within the same second, never replaces the first copy.
    WriteFile(home_.settingsFile(), "<Quorvel><Settings><Mx>9</Mx>");
    EXPECT_EQ(TV_SetStabThresh(4.0), 0);
    TavroLinux = saved;
    copies = BrokenCopies(home_);
    ASSERT_EQ(copies.size(), 2u);
    std::vector<std::string> contents{ReadFile(copies[0]), ReadFile(copies[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{kTypoFile, "<Quorvel><Settings><Mx>9</Mx>"}));
}

// A settings file that is a symbolic link into the user's dotfiles.
class SymlinkedSettingsTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        std::filesystem::create_directories(home_.path() + "/dotfiles");
        std::filesystem::create_directories(home_.path() + "/.QuorVel");
        std::filesystem::create_symlink("../dotfiles/Tavro.xml", home_.settingsFile());
    }
    bool StillALink() const { return std::filesystem::is_symlink(home_.settingsFile()); }
    std::string target() const { return home_.path() + "/dotfiles/Tavro.xml"; }
};

TEST_F(SymlinkedSettingsTest, ABrokenTargetIsCopiedAndRewrittenThroughTheLink) {
    WriteFile(target(), kTypoFile);
    SharedDeviceState& r = Start();
    r.StabThresh = 6.0;
    EXPECT_EQ(platform_->WriteSettings(), 0);
    std::vector<std::string> copies = BrokenCopies(home_);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(copies[0]), kTypoFile);
    EXPECT_TRUE(StillALink());
    EXPECT_NE(ReadFile(target()).find("<StabThresh>6.000000</StabThresh>"), std::string::npos);
}

TEST_F(SymlinkedSettingsTest, ALinkWhoseTargetIsMissingGetsTheDefaultsWrittenThroughIt) {
    Start();
    EXPECT_TRUE(StillALink());
    EXPECT_EQ(ReadFile(target()), kDefaultFile);
}

TEST_F(SettingsTest, ABrokenFileThatCannotBeKeptBesideIsNotRewritten) {
    WriteFile(home_.settingsFile(), kTypoFile);
    SharedDeviceState& r = Start();
    // A directory that refuses new names: neither link nor copy can be made.
    ASSERT_EQ(chmod((home_.path() + "/.QuorVel").c_str(), 0500), 0);
    if (access((home_.path() + "/.QuorVel").c_str(), W_OK) == 0) {
        chmod((home_.path() + "/.QuorVel").c_str(), 0700);
        GTEST_SKIP() << "the directory stays writable for this user (root)";
    }
    r.StabThresh = 6.0;
    EXPECT_NE(platform_->WriteSettings(), 0);
    chmod((home_.path() + "/.QuorVel").c_str(), 0700);
    EXPECT_EQ(ReadFile(home_.settingsFile()), kTypoFile);
    EXPECT_TRUE(Logged("cannot be kept beside"));
}

TEST_F(SettingsTest, AHomeThatDoesNotExistGivesOneClearLineAndTheDefaults) {
    setenv("HOME", "/nonexistent", 1);
    testing::internal::CaptureStderr();
    SharedDeviceState& r = Start();
    const std::string said = testing::internal::GetCapturedStderr();
    setenv("HOME", home_.path().c_str(), 1);
    EXPECT_EQ(said, std::string(program_invocation_short_name) +
                        ": cannot create the settings file /nonexistent/.QuorVel/Tavro.xml: No such file or "
                        "directory; running on the defaults (is HOME=/nonexistent right?)\n");
    EXPECT_DOUBLE_EQ(r.StabThresh, 7.0);
    EXPECT_EQ(r.BaudRate, 115200);
}

TEST_F(SettingsTest, FailedWriteIsReportedAndPassedOnBySetters) {
    SharedDeviceState& r = Start();
    std::string good = ReadFile(home_.settingsFile());
    std::snprintf(r.IniFileName, sizeof r.IniFileName, "%s/missing/dir/Tavro.xml",
                  home_.path().c_str());
    EXPECT_EQ(platform_->WriteSettings(), 15);
    EXPECT_TRUE(Logged("cannot write the settings file " + home_.path() + "/missing/dir/Tavro.xml: "));
    EXPECT_TRUE(Logged("; the new values are not saved"));
    CTavroLinux* saved = TavroLinux;
    TavroLinux = platform_.get();
    EXPECT_EQ(TV_SetBy(-1.0), 15);
    TavroLinux = saved;
    EXPECT_DOUBLE_EQ(r.By, -1.0);  // the running system still has the value
    EXPECT_EQ(ReadFile(home_.settingsFile()), good);
}

TEST_F(SettingsTest, ConcurrentSettersInFourProcessesAlwaysLeaveAParsableFile) {
    Start();
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p) {
        pid_t child = fork();
        if (child == 0) {
            CTavroLinux* own = new CTavroLinux();  // never destroyed: keeps the segment
            if (own->CreateSharedMemory() != 0) _exit(2);
            for (int i = 0; i < 40; ++i) {
                own->SharedData->ClickStill = p * 100 + i;
                if (own->WriteSettings() != 0) _exit(3);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    // Meanwhile the file must parse every time this process reads it.
    int reads = 0;
    bool allParsed = true;
    for (;;) {
        int running = 0;
        for (pid_t c : children) running += waitpid(c, nullptr, WNOHANG) == 0 ? 1 : 0;
        std::string content = ReadFile(home_.settingsFile());
        allParsed = allParsed && content.find("</Quorvel>\n") != std::string::npos;
        ++reads;
        if (running == 0) break;
    }
    EXPECT_TRUE(allParsed) << "after " << reads << " reads";
    Log().clear();
    platform_->ReadSettings();
    EXPECT_FALSE(Logged("XML"));
}

}  // namespace
