// The device daemon as its own process on the simulated receiver: start
// failures, stopping, serving other processes, a receiver missing at start or
// unplugged and plugged in again, one daemon only, SIGHUP, the status it
// publishes, and the X server going away.
#include "DaemonStatus.h"
#include "OtherUser.h"
#include "Process.h"
#include "SharedDeviceState.h"
#include "Pty.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <memory>
#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

// The daemon's record, attached as any client process would.
SharedDeviceState* AttachRecord() {
    int id = shmget(TAVRO_SHARED_MEMORY_KEY, TAVRO_SHARED_MEMORY_SIZE, 0666);
    void* address = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    return address == reinterpret_cast<void*>(-1) ? nullptr : static_cast<SharedDeviceState*>(address);
}

// The simulated receiver, logging commands to a file of its own.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) {
        static int count = 0;
        log_ = std::string(getenv("HOME")) + "/commands-" + std::to_string(++count) + ".log";
        args.insert(args.end(), {"--command-log", log_});
        process_ = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, args);
        process_->readLine(&slave_);
    }
    const std::string& slave() const { return slave_; }
    bool got(const std::string& hex) {
        return WaitFor([&] { return ReadFile(log_).find("rx " + hex + "  ") != std::string::npos; });
    }

private:
    std::string log_, slave_;
    std::unique_ptr<ChildProcess> process_;
};

uid_t OwnerOf(pid_t pid) {
    struct stat process{};
    return stat(("/proc/" + std::to_string(pid)).c_str(), &process) == 0 ? process.st_uid : 0;
}

// Processor time used by a process, in clock ticks.
long CpuTicks(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stol(field);  // user and system time
    return ticks;
}

class Daemon : public testing::Test {
protected:
    void SetUp() override { TAVRO_REQUIRE_PRIVATE_IPC(); }
    TempHome home_;  // each test's own settings and configuration
    const std::string link = home_.path() + "/receiver";
};

// The lines of the output that contain the text.
std::vector<std::string> LinesWith(const std::string& output, const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);)
        if (line.find(text) != std::string::npos) lines.push_back(line);
    return lines;
}

TEST_F(Daemon, StartFailuresAndBadOptionsAreExplainedInOneLine) {
    std::string output;
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", "/dev/null"}, &output), 1);
    EXPECT_EQ(LinesWith(output, "/dev/null"),
              std::vector<std::string>{"tavrod: cannot configure the receiver /dev/null: Error setting TIOCEXCL "
                                       "on /dev/null - Inappropriate ioctl for device(25)"});
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--output", "wayland"}, &output), 2);
    EXPECT_EQ(output, "tavrod: --output takes auto, x11 or uinput, not \"wayland\"\n");
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--screen", "1920x"}, &output), 2);
    EXPECT_EQ(output, "tavrod: --screen takes the desktop's size as WxH, for example 1920x1080, not \"1920x\"\n");
    // A bad value in the configuration file is named with the file.
    WriteFile(std::string(getenv("HOME")) + "/.config/tavro/tavrod.conf", "output = wayland\n");
    EXPECT_EQ(RunProgram(TAVROD_PATH, {}, &output), 2);
    EXPECT_EQ(output, "tavrod: " + std::string(getenv("HOME")) +
                          "/.config/tavro/tavrod.conf: output must be auto, x11 or uinput, not \"wayland\"\n");
    unlink((std::string(getenv("HOME")) + "/.config/tavro/tavrod.conf").c_str());
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--help"}, &output), 0);
    EXPECT_NE(output.find("--output WHERE"), std::string::npos);
    EXPECT_NE(output.find("--screen WxH"), std::string::npos);
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--version"}, &output), 0);
    EXPECT_EQ(output.rfind("tavrod (Tavro driver kit) ", 0), 0u) << output;
}

TEST_F(Daemon, UnknownConfigurationKeysAreNamedInOneShortLine) {
    const std::string config = home_.path() + "/.config/tavro/tavrod.conf";
    std::string text = std::string(100, 'a') + " = 1\nouptut = x11\noutput = auto\n";
    for (int n = 0; n < 2000; ++n) text += "zz" + std::to_string(1000 + n) + " = 1\n";
    WriteFile(config, text);
    std::string output;
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", "/dev/null"}, &output), 1);
    EXPECT_EQ(LinesWith(output, "unknown"),
              std::vector<std::string>{"tavrod: " + config + ": 2002 unknown keys ignored: \"" +
                                       std::string(40, 'a') + "...\", \"ouptut\", \"zz1000\", \"zz1001\", "
                                       "\"zz1002\" and 1997 more (tavrod reads output, screen and filter)"})
        << output;
}

TEST_F(Daemon, WithoutADisplaySaysOnStandardErrorThatPointerAndKeysAreOff) {
    Simulator simulator({"--rate", "50"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave(), "--output", "x11"});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    EXPECT_NE(daemon.output().find("no X display"), std::string::npos) << daemon.output();
}

TEST_F(Daemon, WaitsForAReceiverMissingAtStartAndRunsWhenItAppears) {
    ChildProcess daemon(TAVROD_PATH, {"--device", link});
    ASSERT_TRUE(daemon.waitForOutput("tavrod: waiting for " + link + " (No such file or directory)\n"))
        << daemon.output();
    std::this_thread::sleep_for(600ms);  // a few probes pass: still one line
    EXPECT_TRUE(daemon.running());
    Simulator receiver({"--rate", "50", "--link", link});  // plugged in now
    ASSERT_TRUE(daemon.waitForOutput("tavrod: running the receiver on " + link + "\n")) << daemon.output();
    EXPECT_EQ(LinesWith(daemon.output(), "waiting for").size(), 1u) << daemon.output();
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    record->IRBlastRequest = 1;
    EXPECT_TRUE(receiver.got("0c 00"));
    shmdt(record);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
}

TEST_F(Daemon, APermissionErrorEndsItWithTheFix) {
    PtyPair pty;
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0600), 0);
    // As a user without rights on the tty (root passes every permission check).
    std::string output;
    const int status = RunProgramAsUser(65534, TAVROD_PATH, {"--device", pty.slavePath()}, &output);
    if (getuid() != 0 && status == 127) GTEST_SKIP() << "cannot change user: " << output;
    EXPECT_EQ(status, 1) << output;
    EXPECT_EQ(LinesWith(output, "cannot open the receiver"),
              std::vector<std::string>{"tavrod: cannot open the receiver " + pty.slavePath() +
                                       ": Permission denied; join the dialout group (sudo adduser $USER "
                                       "dialout, then log in again) or install the udev rule "
                                       "60-tavro-receiver.rules"})
        << output;
}

// The daemon's status segment, as `tavro status` reads it.
tavro::DaemonStatus* Status() {
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
    EXPECT_NE(status, nullptr) << error;
    return status;
}

TEST_F(Daemon, ASecondDaemonIsRefusedWithTheFirstOnesProcessIdEvenAsRoot) {
    Simulator simulator({"--rate", "50"});
    auto first = std::make_unique<ChildProcess>(TAVROD_PATH, std::vector<std::string>{"--device", simulator.slave()});
    ASSERT_TRUE(first->waitForOutput("running the receiver")) << first->output();
    const std::string refusal = "tavrod: another tavrod (user " + std::string(getpwuid(getuid())->pw_name) +
                                ", process " + std::to_string(first->pid()) +
                                ") already runs the receiver; stop it first (kill " +
                                std::to_string(first->pid()) + ")\n";
    std::string output;
    // On the same receiver, and on another one.
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", simulator.slave()}, &output), 3);
    EXPECT_EQ(output, refusal);
    Simulator other({"--rate", "50"});
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", other.slave()}, &output), 3);
    EXPECT_EQ(output, refusal);
    EXPECT_TRUE(first->running());

    // A daemon that cannot see the first one's claim (another IPC namespace,
    // as in a container) is still refused the same receiver.
    if (getuid() == 0) {
        EXPECT_EQ(RunProgram("/usr/bin/unshare", {"--ipc", TAVROD_PATH, "--device", simulator.slave()}, &output), 3);
        EXPECT_EQ(LinesWith(output, "already run"),
                  std::vector<std::string>{"tavrod: the receiver " + simulator.slave() +
                                           " is already run by another tavrod (process " +
                                           std::to_string(first->pid()) + "); stop it first (kill " +
                                           std::to_string(first->pid()) + ")"})
            << output;
    }

    // Killed without a chance to clean up, the first gives the claim back.
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait(2000ms), 128 + SIGKILL);
    first.reset();
    ChildProcess second(TAVROD_PATH, {"--device", simulator.slave()});
    EXPECT_TRUE(second.waitForOutput("running the receiver")) << second.output();
    second.signal(SIGTERM);
    EXPECT_EQ(second.wait(2000ms), 0);
}

TEST_F(Daemon, PublishesItsStateAndClearsItOnAStop) {
    Simulator simulator({"--rate", "50"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave()});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    tavro::DaemonStatus* status = Status();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->DaemonPid, daemon.pid());
    EXPECT_TRUE(tavro::DaemonAlive(*status));
    EXPECT_EQ(status->ReceiverConnected, 1);
    EXPECT_EQ(std::string(status->ReceiverPath), simulator.slave());
    EXPECT_GT(status->DaemonStartedUnixNs, tavro::UnixNowNs() - 60'000'000'000LL);
    EXPECT_EQ(std::string(status->SettingsLoadedBy), "tavrod");
    EXPECT_NE(std::string(status->Output), "");
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
    EXPECT_EQ(status->DaemonPid, 0);
    EXPECT_EQ(status->ReceiverConnected, 0);
    shmdt(status);
}

TEST_F(Daemon, SighupRereadsTheConfigurationAndTheSettingsAndKeepsRunning) {
    const std::string config = std::string(getenv("HOME")) + "/.config/tavro/tavrod.conf";
    WriteFile(config, "# mine\nscreen = 800x600\n");
    Simulator simulator({"--rate", "50"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave(), "--output", "x11"});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    EXPECT_NE(daemon.output().find("800x600"), std::string::npos) << daemon.output();
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    const std::string settings = std::string(getenv("HOME")) + "/.QuorVel/Tavro.xml";
    std::string file = ReadFile(settings);
    const std::string from = "<StabThresh>7.000000</StabThresh>";
    ASSERT_NE(file.find(from), std::string::npos);
    WriteFile(settings, file.replace(file.find(from), from.size(), "<StabThresh>9.500000</StabThresh>"));
    WriteFile(config, "# mine\nscreen = 1024x768\n");

    daemon.signal(SIGHUP);
    EXPECT_TRUE(daemon.waitForOutput("tavrod: SIGHUP: reread the configuration (output x11, screen 1024x768) "
                                     "and the settings file " + settings + "\n"))
        << daemon.output();
    EXPECT_TRUE(WaitFor([&] { return record->StabThresh == 9.5; })) << record->StabThresh;
    // The new size took effect: the device ran again with a new output.
    EXPECT_TRUE(WaitFor([&] { return LinesWith(daemon.output(), "running the receiver").size() == 2; }))
        << daemon.output();
    EXPECT_TRUE(daemon.running());
    record->IRBlastRequest = 1;
    EXPECT_TRUE(simulator.got("0c 00"));

    // A configuration that does not parse keeps the running one.
    WriteFile(config, "screen 1024x768\n");
    daemon.signal(SIGHUP);
    EXPECT_TRUE(daemon.waitForOutput("SIGHUP: cannot use the configuration: " + config +
                                     ":1: expected \"key = value\", found \"screen 1024x768\"; keeping "
                                     "the running one\n"))
        << daemon.output();
    EXPECT_TRUE(daemon.running());
    shmdt(record);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
}

TEST_F(Daemon, SighupMovesToTheReceiverTheSettingsNowName) {
    Simulator first({"--rate", "50"}), second({"--rate", "50"});
    const std::string settings = home_.settingsFile();
    auto settingsNaming = [&](const std::string& tty) {
        WriteFile(settings, "<?xml version=\"1.0\"?><Quorvel><Settings><DeviceName>" + tty +
                                "</DeviceName></Settings></Quorvel>");
    };
    settingsNaming(first.slave());
    ChildProcess daemon(TAVROD_PATH, {});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver on " + first.slave())) << daemon.output();
    settingsNaming(second.slave());
    daemon.signal(SIGHUP);
    ASSERT_TRUE(daemon.waitForOutput("the receiver is now " + second.slave() + " (was " + first.slave() + ")"))
        << daemon.output();
    ASSERT_TRUE(daemon.waitForOutput("running the receiver on " + second.slave())) << daemon.output();
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    record->IRBlastRequest = 1;
    EXPECT_TRUE(second.got("0c 00"));
    shmdt(record);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
}

TEST_F(Daemon, AProgramStartedWithAnotherHomeLeavesItsSettingsAlone) {
    Simulator simulator({"--rate", "50"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave()});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    // Another program, started with another home whose file differs, sees
    // and keeps the values the daemon runs on.
    TempHome other;
    WriteFile(other.settingsFile(), "<?xml version=\"1.0\"?><Quorvel><Settings><Mx>2.5</Mx>"
                                    "<StabThresh>3</StabThresh></Settings></Quorvel>");
    std::string output;
    int status = RunProgram(TAVRO_PATH, {"get", "Mx"}, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "5.000000\n");
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->StabThresh, 7.0);
    EXPECT_EQ(std::string(record->IniFileName), home_.settingsFile());
    shmdt(record);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
    EXPECT_EQ(daemon.output().find("the running settings were replaced"), std::string::npos)
        << daemon.output();
}

// The system log as the daemon writes it: a datagram socket of the test's
// own put at /dev/log for the daemon alone, in a private mount namespace (the
// machine's /dev is not touched).  Root only.
class CapturedSystemLog {
public:
    CapturedSystemLog() {
        path_ = std::string(getenv("HOME")) + "/log.socket";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~CapturedSystemLog() {
        if (fd_ >= 0) close(fd_);
    }
    bool ready() const { return fd_ >= 0 && getuid() == 0; }
    // The program and arguments that run `args` with this log as /dev/log.
    std::vector<std::string> Wrap(const std::vector<std::string>& args) const {
        const std::string dev = std::string(getenv("HOME")) + "/dev";
        std::string script =
            "set -e; d=" + dev + "; mkdir -p $d; for e in /dev/null /dev/zero /dev/full /dev/random "
            "/dev/urandom /dev/tty /dev/ptmx /dev/pts /dev/shm /dev/uinput /dev/fd; do "
            "[ -e $e ] || [ -L $e ] || continue; n=$d/${e##*/}; "
            "if [ -L $e ]; then cp -P $e $n; elif [ -d $e ]; then mkdir -p $n; mount --rbind $e $n; "
            "elif [ $e != /dev/log ]; then touch $n; mount --bind $e $n; fi; done; "
            "touch $d/log; mount --bind " + path_ + " $d/log; mount --rbind $d /dev; exec \"$@\"";
        std::vector<std::string> wrapped{"--mount", "--propagation", "private", "sh", "-c", script, "sh"};
        wrapped.insert(wrapped.end(), args.begin(), args.end());
        return wrapped;
    }
    // Every entry that came so far, without the "<PRI>TIME HOST" header.
    const std::vector<std::string>& Entries() {
        char buffer[2048];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            entries_.emplace_back(buffer, static_cast<size_t>(n));
        return entries_;
    }
    bool Has(const std::string& text) {
        return WaitFor([&] {
            for (const std::string& entry : Entries())
                if (entry.find(text) != std::string::npos) return true;
            return false;
        });
    }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> entries_;
};

TEST_F(Daemon, EveryEventIsOneLineInTheSystemLog) {
    CapturedSystemLog log;
    if (!log.ready()) GTEST_SKIP() << "needs root for a private /dev/log";
    auto receiver = std::make_unique<Simulator>(std::vector<std::string>{"--rate", "100", "--link", link});
    // Packets pile up in the tty while no daemon reads it: a start-up backlog.
    std::this_thread::sleep_for(500ms);
    ChildProcess daemon("/usr/bin/unshare", log.Wrap({TAVROD_PATH, "--device", link}));
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    receiver.reset();
    ASSERT_TRUE(daemon.waitForOutput("is gone")) << daemon.output();
    receiver = std::make_unique<Simulator>(std::vector<std::string>{"--rate", "50", "--link", link});
    ASSERT_TRUE(daemon.waitForOutput("is back")) << daemon.output();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0) << daemon.output();
    const std::string identity = "Tavro[" + std::to_string(daemon.pid()) + "]: ";
    for (const std::string& event : std::vector<std::string>{"tavrod: started (process ", "tavrod: running the receiver on " + link,
                                     "tavrod: receiver " + link + " is gone; waiting for it to come back",
                                     "tavrod: receiver " + link + " is back", "tavrod: stopped"})
        EXPECT_TRUE(log.Has(identity + event)) << event;
    // Whatever the daemon and the kit logged: one line each, nothing blank.
    for (const std::string& entry : log.Entries()) {
        EXPECT_EQ(entry.find('\n'), std::string::npos) << entry;
        EXPECT_NE(entry.back(), ' ') << entry;
        EXPECT_EQ(entry.rfind("<134>", 0), 0u) << entry;  // LOG_LOCAL0 | LOG_INFO
    }
    // A start-up backlog of old packets is dropped, not an alarm.
    for (const std::string& entry : log.Entries()) {
        EXPECT_EQ(entry.find("Too many calculation passes"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("are dropped"), std::string::npos) << entry;
    }
}

TEST_F(Daemon, AStaleRecordSegmentIsNamedWithItsFix) {
    const int stale = shmget(TAVRO_SHARED_MEMORY_KEY, 100, IPC_CREAT | 0666);
    ASSERT_GE(stale, 0);
    std::string output;
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", "/dev/null"}, &output), 1);
    shmctl(stale, IPC_RMID, nullptr);
    EXPECT_EQ(output, "tavrod: cannot attach the kit's shared record (key 1103): an old segment with key 1103 "
                      "of 100 bytes is in the way (the kit needs 33432); remove it with: ipcrm -M 1103\n");
}

// A segment this user may not look at is named by its size and owner from
// the system's listing, with the one who can remove it.
TEST_F(Daemon, AnotherUsersSegmentIsNamedWithItsOwner) {
    for (size_t size : {size_t{100}, size_t{TAVRO_SHARED_MEMORY_SIZE}}) {
        const int theirs = shmget(TAVRO_SHARED_MEMORY_KEY, size, IPC_CREAT | 0600);  // root's
        ASSERT_GE(theirs, 0);
        std::string output;
        const int status = RunProgramAsUser(65534, TAVROD_PATH, {"--device", "/dev/null"}, &output);
        shmctl(theirs, IPC_RMID, nullptr);
        if (status == 127) GTEST_SKIP() << "cannot run a program as another user: " << output;
        EXPECT_EQ(status, 1) << output;
        const std::string expected =
            size == 100 ? "an old segment with key 1103 of 100 bytes, owned by user root, is in the way "
                          "(the kit needs 33432); ask that user or root to remove it with: ipcrm -M 1103"
                        : "the segment with key 1103 belongs to user root and is not shared with you; "
                          "run as that user, or ask that user or root to remove it with: ipcrm -M 1103";
        EXPECT_NE(output.find(expected), std::string::npos) << output;
    }
}

TEST_F(Daemon, AStatusSegmentOfTheWrongSizeIsNamedWithItsFix) {
    const int key = tavro::DaemonStatusKey(TAVRO_SHARED_MEMORY_KEY);
    const int stale = shmget(key, 16, IPC_CREAT | 0666);
    ASSERT_GE(stale, 0);
    std::string error;
    EXPECT_EQ(tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error), nullptr);
    shmctl(stale, IPC_RMID, nullptr);
    EXPECT_NE(error.find("wrong size; remove it with: ipcrm -M " + std::to_string(key)), std::string::npos) << error;
}

// The lock file a process holds open, found through its descriptors.
std::string LockFileOf(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 256; ++fd) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 5 && std::string(target, n).compare(n - 5, 5, ".lock") == 0) return std::string(target, n);
    }
    return "";
}

// In the user's runtime directory, and without one (/run/user/<uid> or /tmp).
class DaemonClaim : public Daemon, public testing::WithParamInterface<bool> {
protected:
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
};

TEST_P(DaemonClaim, AnotherUserCanNeitherBlockNorLiftIt) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string runtime = home_.path() + "/runtime";
    if (GetParam()) {
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    // In the way: another user's raised semaphore where the claim used to
    // be, and a live process of theirs named as the daemon.
    const int key = tavro::DaemonStatusKey(TAVRO_SHARED_MEMORY_KEY);
    const int semaphore = semget(key, 1, IPC_CREAT | 0666);
    ASSERT_GE(semaphore, 0);
    ASSERT_EQ(semctl(semaphore, 0, SETVAL, 1), 0);
    semid_ds info{};
    ASSERT_EQ(semctl(semaphore, 0, IPC_STAT, &info), 0);
    info.sem_perm.uid = 65534;
    ASSERT_EQ(semctl(semaphore, 0, IPC_SET, &info), 0);
    const pid_t squatter = fork();
    if (squatter == 0) {
        if (setuid(65534) == 0) pause();
        _exit(1);
    }
    ASSERT_TRUE(WaitFor([&] { return OwnerOf(squatter) == 65534; }, 2000ms));
    tavro::DaemonStatus* status = Status();
    ASSERT_NE(status, nullptr);
    status->DaemonPid = squatter;

    Simulator simulator({"--rate", "50"});
    ChildProcess first(TAVROD_PATH, {"--device", simulator.slave()});
    EXPECT_TRUE(first.waitForOutput("running the receiver")) << first.output();
    const std::string lock = LockFileOf(first.pid());
    if (GetParam()) EXPECT_EQ(lock.rfind(runtime + "/", 0), 0u) << lock;
    else EXPECT_TRUE(lock.rfind("/tmp/", 0) == 0 || lock.rfind("/run/user/", 0) == 0) << lock;

    // The other user tries to lift it: removes their semaphore, clears the
    // status, and goes for the lock file.
    semctl(semaphore, 0, IPC_RMID);
    status->DaemonPid = 0;
    const pid_t lifter = fork();
    if (lifter == 0) {
        if (setuid(65534) != 0) _exit(1);
        unlink(lock.c_str());
        const int fd = open(lock.c_str(), O_RDWR);
        _exit(fd >= 0 ? 2 : 0);
    }
    int lifted = -1;
    waitpid(lifter, &lifted, 0);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    shmdt(status);
    EXPECT_EQ(lifted, 0) << "the other user could open the lock file";
    std::string output;
    Simulator other({"--rate", "50"});
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", other.slave()}, &output), 3);
    EXPECT_EQ(output, "tavrod: another tavrod (user root, process " + std::to_string(first.pid()) +
                          ") already runs the receiver; stop it first (kill " + std::to_string(first.pid()) +
                          ")\n");
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(2000ms), 0);
    EXPECT_NE(access(lock.c_str(), F_OK), 0) << "the lock file outlived its daemon";
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonClaim, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "InTheRuntimeDirectory" : "InTmp");
                         });

TEST_F(Daemon, AnotherUsersDaemonIsNamedWithItsOwnerByTheClaimAndByTheReceiver) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run a daemon as another user";
    Simulator first({"--rate", "50"});
    ASSERT_EQ(chmod(first.slave().c_str(), 0666), 0);
    std::string theirs;
    int theirExit = -1;
    std::thread other([&] {
        theirExit = RunProgramAsUser(65534, TAVROD_PATH, {"--device", first.slave()}, &theirs, 30000ms);
    });
    tavro::DaemonStatus* status = Status();
    ASSERT_NE(status, nullptr);
    const bool up = WaitFor([&] { return status->ReceiverConnected == 1 && OwnerOf(status->DaemonPid) == 65534; },
                            10000ms);
    const std::string pid = std::to_string(status->DaemonPid);
    const std::string who = "another tavrod (user " + std::string(getpwuid(65534)->pw_name) + ", process " + pid + ")";
    std::string output, inContainer;
    Simulator second({"--rate", "50"});
    const int refused = RunProgram(TAVROD_PATH, {"--device", second.slave()}, &output);
    // Another IPC namespace does not see the record: the receiver's lock names it.
    const int refusedThere =
        RunProgram("/usr/bin/unshare", {"--ipc", TAVROD_PATH, "--device", first.slave()}, &inContainer);
    SharedDeviceState* record = AttachRecord();
    if (record != nullptr) record->StopRequest = 1;
    other.join();
    shmdt(record);
    shmdt(status);
    ASSERT_TRUE(up) << theirs;
    EXPECT_EQ(theirExit, 0) << theirs;
    EXPECT_EQ(refused, 3);
    EXPECT_EQ(output, "tavrod: " + who + " already runs the receiver; stop it first (kill " + pid + ")\n");
    EXPECT_EQ(refusedThere, 3);
    EXPECT_EQ(LinesWith(inContainer, "already run"),
              std::vector<std::string>{"tavrod: the receiver " + first.slave() + " is already run by " + who +
                                       "; stop it first (kill " + pid + ")"});
}

TEST_F(Daemon, AFilterChangeAgainstAnotherUsersDaemonNamesItsOwner) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
    const pid_t other = fork();
    if (other == 0) {
        if (setuid(65534) == 0) pause();
        _exit(1);
    }
    ASSERT_TRUE(WaitFor([&] { return OwnerOf(other) == 65534; }, 2000ms));
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
    ASSERT_NE(status, nullptr) << error;
    status->DaemonPid = other;
    std::string output;
    const int exit = RunProgram(TAVRO_PATH, {"filter", "adaptive"}, &output);
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    shmdt(status);
    EXPECT_EQ(exit, 3) << output;
    EXPECT_NE(output.find("is " + std::string(getpwuid(65534)->pw_name) + "'s"), std::string::npos) << output;
}

// An X server of the test's own that it can take away.
class OwnXServer {
public:
    OwnXServer() : process_("/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"}) {
        std::string line;
        while (process_.readLine(&line, 10000ms)) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                name_ = ":" + line;
                return;
            }
        }
    }
    const std::string& name() const { return name_; }
    void kill() {
        process_.signal(SIGKILL);
        process_.wait(5000ms);
    }

private:
    ChildProcess process_;
    std::string name_;
};

TEST_F(Daemon, TheXServerGoingAwayEndsItWithOneLineOfItsOwn) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    OwnXServer server;
    ASSERT_FALSE(server.name().empty());
    setenv("DISPLAY", server.name().c_str(), 1);
    Simulator simulator({"--rate", "50", "--pattern", "still"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave(), "--output", "x11"});
    unsetenv("DISPLAY");
    ASSERT_TRUE(daemon.waitForOutput("running the receiver")) << daemon.output();
    server.kill();
    EXPECT_EQ(daemon.wait(5000ms), 1) << daemon.output();
    const std::string output = daemon.output();
    EXPECT_NE(output.find("tavrod: the X display " + server.name() +
                          " went away (the X server ended or the session closed); exiting so that the "
                          "service manager can start tavrod again\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("XIO"), std::string::npos) << output;
}

class DaemonSignals : public Daemon, public testing::WithParamInterface<int> {};

TEST_P(DaemonSignals, EndTheDaemonCleanly) {
    Simulator simulator({"--rate", "50"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave()});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver"));
    daemon.signal(GetParam());
    EXPECT_EQ(daemon.wait(2000ms), 0);
    EXPECT_NE(daemon.output().find("tavrod: stopped"), std::string::npos) << daemon.output();
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonSignals, testing::Values(SIGTERM, SIGINT));

TEST_F(Daemon, ServesOtherProcessesThroughTheRecord) {
    Simulator simulator({"--rate", "50", "--pattern", "still"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave()});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver"));
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    // The still pattern aims at the camera centre.
    EXPECT_TRUE(WaitFor([&] { return std::abs(record->RawX[0] - 176.0) < 0.5; })) << record->RawX[0];
    record->IRBlastRequest = 1;
    EXPECT_TRUE(simulator.got("0c 00"));
    record->StopRequest = 1;
    EXPECT_EQ(daemon.wait(2000ms), 0);
    shmdt(record);
}

// Reads the process's output lines until one contains the text.
bool NextLineWith(ChildProcess& process, const std::string& text) {
    std::string line;
    while (process.readLine(&line))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST_F(Daemon, WaitsQuietlyForAnUnpluggedReceiverAndReopensIt) {
    auto receiver = std::make_unique<Simulator>(std::vector<std::string>{"--rate", "50", "--link", link});
    ChildProcess daemon(TAVROD_PATH, {"--device", link});
    ASSERT_TRUE(NextLineWith(daemon, "running the receiver on " + link));

    receiver.reset();  // unplugged: the tty hangs up and the path goes away
    ASSERT_TRUE(NextLineWith(daemon, "is gone; waiting for it to come back")) << daemon.output();
    long before = CpuTicks(daemon.pid());
    std::this_thread::sleep_for(1000ms);  // the span over which the daemon must stay idle
    EXPECT_LT(CpuTicks(daemon.pid()) - before, sysconf(_SC_CLK_TCK) / 10);

    receiver = std::make_unique<Simulator>(std::vector<std::string>{"--rate", "50", "--link", link});
    ASSERT_TRUE(NextLineWith(daemon, "receiver " + link + " is back"));
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    record->IRBlastRequest = 1;
    EXPECT_TRUE(receiver->got("0c 00")) << "commands do not reach the new receiver";
    shmdt(record);

    receiver.reset();  // gone again; a stop while waiting ends the daemon
    ASSERT_TRUE(NextLineWith(daemon, "is gone"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(1000ms), 0);
}

}  // namespace

namespace {

int Threads(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// Four handsets at the line's rate: the daemon's main thread serves its own
// loop (signals, the X connection, the configuration, other programs'
// keys), so the daemon has the device's threads and no more: the reader,
// the writer, one worker per handset, the output thread and itself.  It
// still follows an edit of its configuration and a SIGHUP meanwhile.
TEST_F(Daemon, KeepsToEightThreadsAtTheLinesRateAndStillServesItsOwnLoop) {
    Simulator simulator({"--rate", "160", "--handsets", "4"});
    ChildProcess daemon(TAVROD_PATH, {"--device", simulator.slave()});
    ASSERT_TRUE(daemon.waitForOutput("running the receiver"));
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
    ASSERT_NE(status, nullptr) << error;
    ASSERT_TRUE(WaitFor([&] { return status->PacketsPerHandset[3] > 100; })) << "all four handsets";
    int most = 0;
    for (int n = 0; n < 100; ++n) {
        most = std::max(most, Threads(daemon.pid()));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(most, 8 + kSanitizerThreads);

    WriteFile(home_.path() + "/.config/tavro/tavrod.conf", "filter = builtin\n");
    EXPECT_TRUE(WaitFor([&] { return std::string(status->Filter) == "builtin"; }, 3000ms))
        << "the edit of the configuration was not followed";
    daemon.signal(SIGHUP);
    EXPECT_TRUE(daemon.waitForOutput("SIGHUP: reread the configuration"));
    EXPECT_LE(Threads(daemon.pid()), 8 + kSanitizerThreads);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(2000ms), 0);
    shmdt(status);
}

}  // namespace
