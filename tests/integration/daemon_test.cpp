// The device daemon as its own process on the simulated receiver: start
// failures, stopping, serving other processes, and a receiver unplugged and
// plugged in again.
#include "Process.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
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
    const std::string link = std::string(getenv("HOME")) + "/receiver";
};

TEST_F(Daemon, StartFailuresAreExplainedInOneLine) {
    std::string output;
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", "/nonexistent/ttyUSB7"}, &output), 1);
    EXPECT_EQ(output, "tavrod: cannot open the receiver /nonexistent/ttyUSB7: No such file or directory\n");
    EXPECT_EQ(RunProgram(TAVROD_PATH, {"--device", "/dev/null"}, &output), 1);
    EXPECT_EQ(output, "tavrod: cannot configure the receiver /dev/null: Error setting TIOCEXCL on /dev/null - "
                      "Inappropriate ioctl for device(25)\n");
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
