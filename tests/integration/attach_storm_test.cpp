// Programs attaching and leaving by the dozen while the real daemon runs the
// simulated receiver: the requests of another client each reach the wire
// exactly once, and the settings an attaching program reads never show in
// the daemon's live record.
#include "Process.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"
#include "tavrodev.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

class AttachStorm : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
        log_ = home_.path() + "/commands.log";
        simulator_ = std::make_unique<ChildProcess>(
            TAVRO_SIM_PATH, std::vector<std::string>{"--rate", "50", "--pattern", "still", "--command-log", log_});
        std::string slave;
        ASSERT_TRUE(simulator_->readLine(&slave));
        daemon_ = std::make_unique<ChildProcess>(TAVROD_PATH, std::vector<std::string>{"--device", slave});
        ASSERT_TRUE(daemon_->waitForOutput("running the receiver")) << daemon_->output();
        const int id = shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0);
        ASSERT_GE(id, 0);
        record_ = static_cast<SharedDeviceState*>(shmat(id, nullptr, 0));
        ASSERT_NE(record_, reinterpret_cast<SharedDeviceState*>(-1));
    }
    void TearDown() override {
        StopAttachers();
        if (record_ != nullptr && record_ != reinterpret_cast<SharedDeviceState*>(-1)) shmdt(record_);
        daemon_.reset();
        simulator_.reset();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }

    // `count` processes, each running `tavro get StabThresh` in a loop until
    // told to stop; each says how many attaches it made, or why one failed.
    void StartAttachers(int count) {
        const std::string script = "n=0; while [ ! -e \"$0\" ]; do \"$1\" get StabThresh >/dev/null 2>\"$0.err$$\" || "
                                   "{ echo \"failed: $(cat \"$0.err$$\")\"; exit 1; }; n=$((n+1)); done; "
                                   "echo \"attaches $n\"";
        for (int i = 0; i < count; ++i)
            attachers_.push_back(std::make_unique<ChildProcess>(
                "/bin/sh", std::vector<std::string>{"-c", script, stop_, TAVRO_PATH}));
    }
    // Stops them; the total of attaches they made, with every failure added
    // to *failures.
    long StopAttachers(std::string* failures = nullptr) {
        WriteFile(stop_, "");
        long total = 0;
        for (auto& attacher : attachers_) {
            const int status = attacher->wait(20000ms);
            const std::string output = attacher->output();
            long made = 0;
            if (status != 0 || std::sscanf(output.c_str(), "attaches %ld", &made) != 1) {
                if (failures != nullptr) *failures += "exit " + std::to_string(status) + ": " + output;
            }
            total += made;
        }
        attachers_.clear();
        unlink(stop_.c_str());
        return total;
    }
    // Command log lines whose name is `name`.
    int Logged(const std::string& name) const {
        std::istringstream in(ReadFile(log_));
        int count = 0;
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find("  ");
            count += at != std::string::npos && line.compare(at + 2, name.size(), name) == 0;
        }
        return count;
    }

    TempHome home_;
    std::string log_;
    std::string stop_ = home_.path() + "/stop";
    std::unique_ptr<ChildProcess> simulator_, daemon_;
    std::vector<std::unique_ptr<ChildProcess>> attachers_;
    SharedDeviceState* record_ = nullptr;
};

TEST_F(AttachStorm, EveryRequestReachesTheWireExactlyOnce) {
    ASSERT_EQ(TV_Attach(), 0);
    SharedDeviceState& r = *record_;  // the same record, to see when a request is served
    StartAttachers(20);
    // Five kinds a round, each raised again only once the writer has sent
    // it, so that no two requests of a kind merge: 1,000 commands.
    const int rounds = 200;
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    int round = 0;
    for (; round < rounds && std::chrono::steady_clock::now() < deadline; ++round) {
        TV_SendIRBlast();
        TV_SetThreshold(round % 128);
        TV_SetGain(round % 64);
        TV_SetExposure(round % 256);
        TV_Debug(round);
        const bool served = WaitFor([&] {
            return !tavro::RequestPending(r.IRBlastRequest) && !tavro::RequestPending(r.SetThreshRequest) &&
                   !tavro::RequestPending(r.SetGainRequest) && !tavro::RequestPending(r.SetExposureRequest) &&
                   !tavro::RequestPending(r.DebugRequest);
        }, 10000ms);
        if (!served) break;
    }
    std::string failures;
    const long attaches = StopAttachers(&failures);
    EXPECT_EQ(failures, "");
    ASSERT_EQ(round, rounds) << "the writer stopped serving";
    EXPECT_GE(attaches, 20) << "no storm while the requests went out";
    RecordProperty("attaches", static_cast<int>(attaches));
    const char* kinds[] = {"ir-blast", "set-threshold ", "set-gain ", "set-exposure ", "debug "};
    auto total = [&] {
        int sum = 0;
        for (const char* kind : kinds) sum += Logged(kind);
        return sum;
    };
    EXPECT_TRUE(WaitFor([&] { return total() >= 5 * rounds; }, 5000ms));
    std::this_thread::sleep_for(300ms);  // a few writer passes: a doubled command would show now
    for (const char* kind : kinds) EXPECT_EQ(Logged(kind), rounds) << kind;
}

TEST_F(AttachStorm, SettingsAnAttachingProgramReadsNeverShowInTheLiveRecord) {
    ASSERT_EQ(tavro::LoadField(record_->StabThresh), 7.0);
    TempHome other;  // the attaching programs' home, with its own settings file
    WriteFile(other.settingsFile(), "<?xml version=\"1.0\"?><Quorvel><Settings><StabThresh>9</StabThresh>"
                                    "</Settings></Quorvel>");
    std::atomic<bool> watching{true};
    std::atomic<long> samples{0}, seen{0};
    std::thread watcher([&] {
        while (watching) {
            if (tavro::LoadField(record_->StabThresh) != 7.0) ++seen;
            ++samples;
            std::this_thread::sleep_for(200us);
        }
    });
    StartAttachers(4);
    // Beside them the demo, which starts with TV_Initialize, for one line each.
    for (int n = 0; n < 50; ++n) {
        ChildProcess demo(TAVRO_DEMO_PATH, {});
        std::string line;
        EXPECT_TRUE(demo.readLine(&line)) << demo.output();
        demo.signal(SIGTERM);
        demo.wait();
    }
    std::string failures;
    const long attaches = StopAttachers(&failures);
    watching = false;
    watcher.join();
    EXPECT_EQ(failures, "");
    EXPECT_GE(attaches, 4);
    RecordProperty("attaches", static_cast<int>(attaches));
    RecordProperty("samples", static_cast<int>(samples.load()));
    EXPECT_GE(samples.load(), 200);
    EXPECT_EQ(seen.load(), 0) << "of " << samples.load() << " samples";
}

}  // namespace
