// Start-up of the platform object: the shared segment, the record's start
// values, what another process's start-up resets and keeps, the settings
// paths and the debug-line format.
#include "TavroLinux.h"
#include "KitSegmentTest.h"
#include "DaemonStatus.h"
#include "DeviceRunMarker.h"
#include "tavrodev.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using tavro::test::TempHome;

namespace {

// Platform object whose debug lines are kept instead of discarded.
class DebugCapturingPlatform : public CTavroLinux {
public:
    int OutputDebugString(char* line) override {
        lines.push_back(line);
        return 0;
    }
    std::vector<std::string> lines;
};

// Runs `body` in a child process and returns its exit status.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class StartupTest : public tavro::test::KitSegmentTest {};

TEST_F(StartupTest, FreshSegmentHoldsStartValuesAndDefaults) {
    CTavroLinux platform;
    ASSERT_EQ(platform.Initialize(), 0);
    const SharedDeviceState& r = *platform.SharedData;
    for (int u = 0; u < 4; ++u) {
        EXPECT_EQ(r.Buttons[u], -1);
        EXPECT_EQ(r.X[u], 0.0);
        EXPECT_EQ(r.XYCounter[u], 0);
    }
    EXPECT_EQ(r.MoveEnabled, 1);
    EXPECT_EQ(r.DirectPoint, 1);
    EXPECT_EQ(r.MouseClick, 1);
    EXPECT_EQ(r.QuickClick, 1);
    EXPECT_EQ(r.RotationCompensation, 1);
    EXPECT_EQ(r.CurrentUser, 0);
    EXPECT_EQ(r.PacketUser, 99);
    EXPECT_EQ(r.MicWriteIndex, 1023);
    // Settings fields hold the defaults (there was no file).
    EXPECT_EQ(r.ClickStill, 12);
    EXPECT_EQ(r.BaudRate, 115200);
    EXPECT_EQ(r.XYCounterMax, 3);
    EXPECT_DOUBLE_EQ(r.CalDistance, 3.1);
    EXPECT_DOUBLE_EQ(r.Bx, -250.0);
    EXPECT_STREQ(r.DeviceName, "/dev/ttyUSB0");
    EXPECT_STREQ(r.TavroMenuPath, "Start_TavroMENU.exe");
    EXPECT_EQ(std::string(r.SettingsDirectory), home_.path() + "/.QuorVel");
    EXPECT_EQ(std::string(r.IniFileName), home_.settingsFile());
}

TEST_F(StartupTest, AnotherProcessStartupResetsRequestsButKeepsSomeFields) {
    CTavroLinux platform;
    ASSERT_EQ(platform.Initialize(), 0);
    SharedDeviceState& r = *platform.SharedData;
    r.GetIRCodeRequest = 1;
    r.ActivateCursor = 0;
    r.DeviceOpened = 1;
    r.HIDMouseAtStart = 1;
    r.StopRequest = 1;
    r.IRBlastRequest = 1;
    r.LearnCodeRequest = 1;
    r.MicData[5][3] = 7;
    r.X[2] = 500.0;
    r.CurrentUser = 3;

    int status = InChild([] {
        CTavroLinux* other = new CTavroLinux();  // never destroyed: keeps the segment
        return other->Initialize();
    });
    ASSERT_EQ(status, 0);

    EXPECT_EQ(r.GetIRCodeRequest, 1);
    EXPECT_EQ(r.ActivateCursor, 0);
    EXPECT_EQ(r.DeviceOpened, 1);
    EXPECT_EQ(r.HIDMouseAtStart, 1);
    EXPECT_EQ(r.StopRequest, 0);
    EXPECT_EQ(r.IRBlastRequest, 0);
    EXPECT_EQ(r.LearnCodeRequest, 0);
    EXPECT_EQ(r.MicData[5][3], 0);
    EXPECT_EQ(r.X[2], 0.0);
    EXPECT_EQ(r.CurrentUser, 0);
}

TEST_F(StartupTest, TwoProcessesSeeEachOthersWritesAtOnce) {
    CTavroLinux platform;
    ASSERT_EQ(platform.Initialize(), 0);
    SharedDeviceState& r = *platform.SharedData;
    r.LastError = 0;
    pid_t child = fork();
    if (child == 0) {
        CTavroLinux* other = new CTavroLinux();  // never destroyed: keeps the segment
        if (other->CreateSharedMemory() != 0) _exit(2);
        other->SharedData->X[1] = 123.5;
        bool answered = tavro::test::WaitFor([&] { return other->SharedData->LastError == 42; });
        _exit(answered ? 0 : 1);
    }
    EXPECT_TRUE(tavro::test::WaitFor([&] { return r.X[1] == 123.5; }));
    r.LastError = 42;
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(StartupTest, StaleSegmentOfAnotherSizeIsRefused) {
    for (size_t size : {size_t{100}, size_t{TAVRO_SHARED_MEMORY_SIZE + 4096}}) {
        int stale = shmget(TAVRO_SHARED_MEMORY_KEY, size, IPC_CREAT | 0666);
        ASSERT_GE(stale, 0);
        Log().clear();
        {
            CTavroLinux platform;
            EXPECT_EQ(platform.Initialize(), 1) << size;
            EXPECT_EQ(platform.SharedData, nullptr);
        }
        // The log and every program's message name the reason and the fix.
        const std::string problem = "an old segment with key 1103 of " + std::to_string(size) +
                                    " bytes is in the way (the kit needs 33432); remove it with: ipcrm -M 1103";
        EXPECT_EQ(std::string(CTavroLinux::SharedMemoryProblem), problem);
        EXPECT_TRUE(Logged("Unable to create sharedmemory: " + problem)) << Log().back();
        // The failed object did not remove the segment that is not its own.
        EXPECT_EQ(shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0), stale);
        shmctl(stale, IPC_RMID, nullptr);
    }
}

// The status segment says which settings file the record's values came
// from and which process loaded them, at every start-up.
TEST_F(StartupTest, EveryStartupRecordsWhereTheSettingsCameFrom) {
    CTavroLinux platform;
    const int64_t before = tavro::UnixNowNs();
    ASSERT_EQ(platform.Initialize(), 0);
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
    ASSERT_NE(status, nullptr) << error;
    EXPECT_EQ(std::string(status->SettingsPath), home_.settingsFile());
    EXPECT_EQ(status->SettingsLoadedByPid, getpid());
    EXPECT_EQ(std::string(status->SettingsLoadedBy), program_invocation_short_name);
    EXPECT_EQ(status->SettingsFromDefaults, 0);
    EXPECT_GE(status->SettingsLoadedUnixNs, before);
    EXPECT_LE(status->SettingsLoadedUnixNs, tavro::UnixNowNs());

    // Another program with another home replaces the values: it says so.
    TempHome other;
    tavro::test::WriteFile(other.settingsFile(), "<Quorvel><Settings><Mx>1</Mx>");  // broken
    int childStatus = InChild([&] {
        CTavroLinux* second = new CTavroLinux();  // never destroyed: keeps the segment
        return second->Initialize();
    });
    setenv("HOME", home_.path().c_str(), 1);
    ASSERT_EQ(childStatus, 0);
    EXPECT_EQ(std::string(status->SettingsPath), other.settingsFile());
    EXPECT_NE(status->SettingsLoadedByPid, getpid());
    EXPECT_EQ(status->SettingsFromDefaults, 1);
    shmdt(status);
}

TEST_F(StartupTest, EveryLogMessageIsOneLine) {
    CTavroLinux::AddToMessageLog("Error setting TIOCEXCL on /dev/x - Inappropriate ioctl for device(25).\n");
    CTavroLinux::AddToMessageLog("XML Parsing error inside file 'f'.\nUnmatched end tag\n  At line 9\n\n");
    CTavroLinux::AddToMessageLog("\n\n");
    CTavroLinux::AddToMessageLog("");
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Error setting TIOCEXCL on /dev/x - Inappropriate ioctl for device(25).",
                         "XML Parsing error inside file 'f'. Unmatched end tag; At line 9"}));
}

TEST_F(StartupTest, DestroyingTheObjectRemovesTheSegment) {
    {
        CTavroLinux platform;
        ASSERT_EQ(platform.Initialize(), 0);
    }
    errno = 0;
    EXPECT_LT(shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(StartupTest, SettingsDirectoryWithBlanksAndQuotesIsCreatedWithoutAShell) {
    std::string odd = home_.path() + "/my home; touch pwned 'x'";
    ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
    setenv("HOME", odd.c_str(), 1);
    CTavroLinux platform;
    ASSERT_EQ(platform.Initialize(), 0);
    struct stat info {};
    EXPECT_EQ(stat((odd + "/.QuorVel").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_NE(access("pwned", F_OK), 0);
    EXPECT_EQ(std::string(platform.SharedData->IniFileName), odd + "/.QuorVel/Tavro.xml");
    setenv("HOME", home_.path().c_str(), 1);
}

TEST_F(StartupTest, HomeFromPasswordDatabaseWhenUnset) {
    CTavroLinux platform;
    ASSERT_EQ(platform.CreateSharedMemory(), 0);
    unsetenv("HOME");
    platform.GetSharedDataPath();
    setenv("HOME", home_.path().c_str(), 1);
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(platform.SharedData->SettingsDirectory),
              std::string(entry->pw_dir) + "/.QuorVel");
}

TEST_F(StartupTest, PathTooLongForItsFieldFailsInsteadOfBeingCut) {
    // The directory fits its field, the file path does not.
    std::string longHome = "/" + std::string(240, 'h');
    setenv("HOME", longHome.c_str(), 1);
    DebugCapturingPlatform platform;
    EXPECT_NE(platform.Initialize(), 0);
    setenv("HOME", home_.path().c_str(), 1);
    ASSERT_NE(platform.SharedData, nullptr);
    EXPECT_STREQ(platform.SharedData->IniFileName, "");
    ASSERT_FALSE(platform.lines.empty());
    EXPECT_NE(platform.lines[0].find("message : TV_GetIniFileName() failed"), std::string::npos);
    // The run still has sensible settings.
    EXPECT_EQ(platform.SharedData->BaudRate, 115200);
}

TEST_F(StartupTest, DebugLinesMarkFailuresAndAreCutAt255Characters) {
    DebugCapturingPlatform platform;
    char message[] = "hello";
    char file[] = "TavroCore";
    platform.WriteDebugStr(message, file, 42, 1);
    platform.WriteDebugStr(message, file, 43, 0);
    std::string longText(400, 'x');
    platform.WriteDebugStr(longText.data(), file, 44, 0);
    ASSERT_EQ(platform.lines.size(), 3u);
    EXPECT_EQ(platform.lines[0].rfind("** ", 0), 0u);
    EXPECT_NE(platform.lines[0].find(" file : TavroCore line : 42 message : hello\n"),
              std::string::npos);
    EXPECT_EQ(platform.lines[1].rfind("   ", 0), 0u);
    EXPECT_EQ(platform.lines[1].back(), '\n');
    EXPECT_EQ(platform.lines[2].size(), 255u);
}

}  // namespace

namespace {

// A program starting up through the API while a device runs on the record,
// with another home whose settings file differs from the running values.
class StartupWhileADeviceRuns : public tavro::test::KitSegmentTest,
                                public testing::WithParamInterface<int (*)()> {};

TEST_P(StartupWhileADeviceRuns, ChangesNoByteOfTheRecordAndWritesNoFile) {
    CTavroLinux platform;
    ASSERT_EQ(platform.Initialize(), 0);
    SharedDeviceState& r = *platform.SharedData;
    r.X[0] = 730.0;
    r.Y[0] = 480.0;
    r.DirectPoint = 0;
    r.SmartPoint = 1;
    r.CurrentUser = 2;
    r.IRBlastRequest = 1;
    r.LearnCodeRequest = 1;
    r.Buttons[1] = 0x7fef;
    r.History[0][0] = HistoryEntry{12.5, 1.0, 2.0, 3.0, 4.0};
    r.MicData[5][3] = 7;
    const tavro::DeviceRunMarker running(CTavroLinux::SharedMemoryKey);
    std::vector<unsigned char> before(reinterpret_cast<unsigned char*>(&r),
                                      reinterpret_cast<unsigned char*>(&r) + sizeof r);

    TempHome other;
    const std::string file = "<?xml version=\"1.0\"?><Quorvel><Settings><StabThresh>3</StabThresh>"
                             "</Settings></Quorvel>";
    tavro::test::WriteFile(other.settingsFile(), file);
    int (*start)() = GetParam();
    int status = InChild([start] {
        if (start() != 0) return 2;
        // The program still has its own file's settings.
        return TavroLinux->FileSettings() != nullptr && TavroLinux->FileSettings()->StabThresh == 3.0 ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::memcmp(before.data(), &r, sizeof r), 0);
    EXPECT_EQ(tavro::test::ReadFile(other.settingsFile()), file);
}

INSTANTIATE_TEST_SUITE_P(Api, StartupWhileADeviceRuns, testing::Values(&TV_Initialize, &TV_Attach));

TEST_F(StartupTest, AttachingANewRecordStoresTheStartValuesAndCreatesNoFile) {
    int status = InChild([] { return TV_Attach(); });
    ASSERT_EQ(status, 0);
    CTavroLinux viewer;
    ASSERT_EQ(viewer.CreateSharedMemory(), 0);
    const SharedDeviceState& r = *viewer.SharedData;
    EXPECT_EQ(r.Buttons[3], -1);
    EXPECT_EQ(r.PacketUser, 99);
    EXPECT_EQ(r.StabThresh, 7.0);
    struct stat info {};
    EXPECT_NE(stat((home_.path() + "/.QuorVel").c_str(), &info), 0);
}

}  // namespace
