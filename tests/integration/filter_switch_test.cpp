// Choosing the stabiliser with `tavro filter` while the real daemon runs the
// simulated receiver: the choice is saved in the daemon's configuration, the
// running daemon takes it up without a restart, and the stabilised pointer
// position never jumps by more than about one packet's step while it does.
#include "DaemonStatus.h"
#include "Process.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <sys/shm.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

// The handset sweeps right by 37.5 camera px/s at 60 packets/s: 187.5
// calibration px/s, 3.125 px per packet (no display: display = calibration).
constexpr double kPacketStep = 187.5 / 60;
// The stabilised position (StabX, the target every pass moves the pointer
// to in its sub-frames) is watched together with its input, the calibrated
// position CompX.  On a loaded machine the simulator's packets can leave in
// a burst after a stall, and then the aim itself moves by several steps in
// one packet; so a move of the output is measured against the largest step
// of the input in the last few passes (or one nominal packet step, if that
// is larger).  Neither stabiliser moves further than that by itself; a
// switch that restarted from a stale or zero position would.  The exact
// bound is checked in virtual time too (adaptive_filter_test.cpp).
constexpr double kAllowance = 1.5;

SharedDeviceState* AttachRecord() {
    const int id = shmget(TAVRO_SHARED_MEMORY_KEY, TAVRO_SHARED_MEMORY_SIZE, 0666);
    void* address = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    return address == reinterpret_cast<void*>(-1) ? nullptr : static_cast<SharedDeviceState*>(address);
}

std::string StatusFilter() {
    std::string error;
    const tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
    return status == nullptr ? "" : std::string(status->Filter, strnlen(status->Filter, sizeof status->Filter));
}

// Samples handset 0's stabilised and calibrated x every millisecond (passes
// come every 16.7 ms) and keeps the worst output move.
class PointerWatch {
public:
    explicit PointerWatch(const SharedDeviceState* record) : record_(record), thread_([this] { Run(); }) {}
    ~PointerWatch() {
        stop_ = true;
        thread_.join();
    }
    // The largest output move over what the input allowed (at most 1 is good).
    double WorstRatio() {
        std::lock_guard<std::mutex> lock(mutex_);
        return worst_;
    }
    double Travelled() {
        std::lock_guard<std::mutex> lock(mutex_);
        return travelled_;
    }
    void Restart() {
        std::lock_guard<std::mutex> lock(mutex_);
        worst_ = travelled_ = 0;
    }

private:
    void Run() {
        double lastOut = Read(record_->StabX[0]), lastIn = Read(record_->CompX[0]);
        double inputSteps[4] = {};
        int next = 0;
        while (!stop_) {
            std::this_thread::sleep_for(1ms);
            const double in = Read(record_->CompX[0]), out = Read(record_->StabX[0]);
            std::lock_guard<std::mutex> lock(mutex_);
            if (std::isfinite(in) && std::isfinite(lastIn) && in != lastIn) {
                inputSteps[next++ % 4] = std::fabs(in - lastIn);
            }
            if (std::isfinite(out) && std::isfinite(lastOut) && out != lastOut) {
                double allowed = kPacketStep;
                for (double step : inputSteps) allowed = std::max(allowed, step);
                worst_ = std::max(worst_, std::fabs(out - lastOut) / (kAllowance * allowed));
                travelled_ += out - lastOut;
            }
            lastIn = in;
            lastOut = out;
        }
    }
    static double Read(const double& field) { return *static_cast<const volatile double*>(&field); }

    const SharedDeviceState* record_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    double worst_ = 0, travelled_ = 0;
    std::thread thread_;
};

class FilterSwitch : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        unsetenv("XDG_CONFIG_HOME");
        WriteFile(script_, "rate 60\nat 0 0 x=60 y=144\nat 8 0 x=360 y=144\nend 8\n");
        simulator_ = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, std::vector<std::string>{
            "--script", script_, "--loop", "--command-log", home_.path() + "/commands.log"});
        ASSERT_TRUE(simulator_->readLine(&slave_));
    }
    std::unique_ptr<ChildProcess> StartDaemon() {
        auto daemon = std::make_unique<ChildProcess>(TAVROD_PATH, std::vector<std::string>{"--device", slave_});
        EXPECT_TRUE(daemon->waitForOutput("running the receiver")) << daemon->output();
        return daemon;
    }
    std::string Config() { return ReadFile(home_.path() + "/.config/tavro/tavrod.conf"); }

    TempHome home_;
    const std::string script_ = home_.path() + "/sweep.script";
    std::unique_ptr<ChildProcess> simulator_;
    std::string slave_;
};

TEST_F(FilterSwitch, TheRunningDaemonTakesUpTheChoiceWithoutAJump) {
    auto daemon = StartDaemon();
    // No configuration yet: the default, the adaptive filter.
    EXPECT_TRUE(WaitFor([] { return StatusFilter() == "adaptive"; })) << StatusFilter();
    SharedDeviceState* record = AttachRecord();
    ASSERT_NE(record, nullptr);
    PointerWatch watch(record);

    // The pointer's first pass comes from wherever it was (0 after start-up).
    ASSERT_TRUE(WaitFor([&] { return watch.Travelled() > 100; }, 5000ms)) << "the pointer does not follow";
    watch.Restart();
    std::this_thread::sleep_for(300ms);
    const double unswitched = watch.WorstRatio();
    EXPECT_LE(unswitched, 1.0);
    for (const char* choice : {"builtin", "adaptive", "builtin"}) {
        SCOPED_TRACE(choice);
        // Moving before, during and after the switch.
        ASSERT_TRUE(WaitFor([&] { return watch.Travelled() > 20; }, 5000ms)) << "the pointer does not follow";
        std::string output;
        EXPECT_EQ(RunProgram(TAVRO_PATH, {"filter", choice}, &output), 0) << output;
        EXPECT_EQ(output, std::string("filter: ") + choice + " (the running daemon uses it now)\n");
        EXPECT_EQ(StatusFilter(), choice);
        EXPECT_NE(Config().find(std::string("filter = ") + choice + "\n"), std::string::npos) << Config();
        std::this_thread::sleep_for(300ms);  // some packets on the new stabiliser
        EXPECT_LE(watch.WorstRatio(), 1.0) << "the pointer jumped (without a switch: " << unswitched << ")";
        EXPECT_GT(watch.Travelled(), 20.0);
        watch.Restart();
    }
    EXPECT_EQ(RunProgram(TAVRO_PATH, {"filter"}, nullptr), 0);
}

TEST_F(FilterSwitch, TheChoiceIsKeptForTheNextDaemonAndAnEditOfTheFileIsFollowed) {
    std::string output;
    EXPECT_EQ(RunProgram(TAVRO_PATH, {"filter", "adaptive"}, &output), 0);
    EXPECT_EQ(output, "filter: adaptive (saved; tavrod uses it when it starts)\n");
    EXPECT_EQ(RunProgram(TAVRO_PATH, {"filter", "smooth"}, &output), 2);
    EXPECT_EQ(output, "tavro: unknown filter \"smooth\": use builtin or adaptive\n");
    EXPECT_EQ(Config(), "# tavrod configuration\nfilter = adaptive\n") << "a wrong value changes nothing";

    auto daemon = StartDaemon();
    EXPECT_TRUE(WaitFor([] { return StatusFilter() == "adaptive"; })) << StatusFilter();
    EXPECT_EQ(RunProgram(TAVRO_PATH, {"filter"}, &output), 0);
    EXPECT_NE(output.find("in use: adaptive (tavrod, process " + std::to_string(daemon->pid()) + ")"),
              std::string::npos) << output;

    // A hand edit of the file is followed too; a value the daemon does not
    // know keeps the running choice (and says why in the system log).
    WriteFile(home_.path() + "/.config/tavro/tavrod.conf", "filter = builtin\n");
    EXPECT_TRUE(WaitFor([] { return StatusFilter() == "builtin"; }, 3000ms));
    WriteFile(home_.path() + "/.config/tavro/tavrod.conf", "# edited\nfilter = fancy\nfilter = adaptive\n");
    EXPECT_TRUE(WaitFor([] { return StatusFilter() == "adaptive"; }, 3000ms)) << "the last line counts";
    WriteFile(home_.path() + "/.config/tavro/tavrod.conf", "filter = fancy\n");
    std::this_thread::sleep_for(1200ms);  // more than two looks at the file
    EXPECT_EQ(StatusFilter(), "adaptive");
}

}  // namespace
