// The running device on a pseudo-terminal: every command on the wire in the
// writer's order, requests from another process, stopping, each pass on its
// own copy of the packet, the sub-frame waits that a stop or a newer packet
// ends, a handset without its worker, and the pipeline's counts.
#include "CalculationWorkers.h"
#include "DaemonStatus.h"
#include "DeviceHarness.h"

#include <sys/shm.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

// A kit whose command writer can be held between two passes, so that the
// next pass sees several requests together.
class GatedKit : public CTavroLinux {
public:
    int TV_Sleep(int microseconds) override {
        CTavroLinux::TV_Sleep(microseconds);
        if (microseconds == 50000) {  // the writer's poll period
            waiting = true;
            std::lock_guard<std::mutex> lock(gate);
            waiting = false;
        }
        return 0;
    }
    int SendCommand(unsigned char* buffer, unsigned long length) override {
        if (buffer[0] == 0x08) learnFlagAtSend = SharedData->LearnInProgress;
        return CTavroLinux::SendCommand(buffer, length);
    }
    std::mutex gate;
    std::atomic<bool> waiting{false};
    std::atomic<int> learnFlagAtSend{-1};
};

// A kit of type Kit on a pseudo-terminal, in the test's own IPC namespace.
template <typename Kit>
class KitOnPty : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_TRUE(device.initialized);
    }
    LogCapture log;
    PtyPair pty;
    KitOn<Kit> device{pty.slavePath()};
    Kit& kit = device.kit;
};

class DeviceThreads : public KitOnPty<GatedKit> {
protected:
    template <typename F>
    void RaiseTogether(F raise) {
        std::lock_guard<std::mutex> lock(kit.gate);
        ASSERT_TRUE(WaitFor([&] { return kit.waiting.load(); }));
        raise(device.record());
    }
    // One framed packet of a type the decoder ignores: the device is a receiver.
    void ShowReceiver() {
        pty.write(Packet(40, {0}));
        ASSERT_TRUE(WaitFor([&] {
            const std::shared_ptr<tavro::ReceiverTty> tty = kit.OpenTty();
            return tty && tty->answered.load();
        }));
    }
};

TEST_F(DeviceThreads, EveryCommandGoesOutInServiceOrder) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ShowReceiver();
    RaiseTogether([](SharedDeviceState& r) {
        r.HIDMouseMode = 4;
        const int32_t calibration[6] = {-1, 258, 0, 0x01020304, -2, 7};
        std::memcpy(r.HIDCal, calibration, sizeof calibration);
        r.HIDAntiShakeValue = 0x12345;  // low 16 bits go out
        r.HIDAntiShakeLevel = 200;      // capped at 8
        r.MotorValue = 0x109;
        r.MotorSetting = 0x42;
        r.IRCodeLength = 3;  // one word announced, three bytes sent
        r.IRCode[0] = 0xAA, r.IRCode[1] = 0xBB, r.IRCode[2] = 0xCC;
        r.Threshold = 127, r.Gain = 63, r.Exposure = 255;
        r.InfoKind = 9, r.DebugValue = -1, r.PODChannel = 300;
        for (int i = 0; i < 5; ++i) r.ProgramIDBytes[i] = static_cast<uint8_t>(i + 1);
        // Raised in reverse on purpose: the order on the wire is the writer's.
        for (uint8_t* flag : {&r.ProgramIDRequest, &r.ClearHatRequest, &r.FrequencyRequest, &r.DebugRequest,
                              &r.GetInfoRequest, &r.SetExposureRequest, &r.SetGainRequest, &r.SetThreshRequest,
                              &r.IRBlastRequest, &r.StopMotorRequest, &r.SendIRCodeRequest, &r.GetIRCodeRequest,
                              &r.LearnCodeRequest, &r.StartMotorRequest, &r.HIDMappingsRequest,
                              &r.HIDDefaultRequest, &r.HIDAntiShakeRequest, &r.HIDCalRequest, &r.HIDMouseRequest})
            *flag = 1;
    });
    const Bytes expected = {
        0x17, 0x01, 0x04,                                                        // HID mouse
        0x18, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00,  // HID calibration
        0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x00, 0x00,
        0x19, 0x03, 0x45, 0x23, 0x08,        // HID anti-shake
        0x1A, 0x01, 0x01, 0x1B, 0x01, 0x01,  // HID default, HID mappings
        0x02, 0x02, 0x09, 0x42,              // start motor
        0x08, 0x02, 0x0A, 0x00,              // learn code
        0x09, 0x00,                          // get IR code
        0x09, 0x01, 0xAA, 0xBB, 0xCC,        // send IR code
        0x02, 0x00, 0x0C, 0x00,              // stop motor, IR blast
        0x03, 0x01, 0x7F, 0x04, 0x01, 0x3F, 0x05, 0x01, 0xFF,  // threshold, gain, exposure
        0x10, 0x01, 0x09, 0x12, 0x01, 0xFF, 0x0D, 0x01, 0x2C,  // information, debug, channel
        0x15, 0x00, 0x02,                                      // clear HAT
        0x14, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05};             // program id
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_TRUE(pty.drain(100ms).empty()) << "a command went out twice";
    const SharedDeviceState& r = device.record();
    EXPECT_EQ(0, r.HIDMouseRequest + r.HIDCalRequest + r.HIDAntiShakeRequest + r.HIDDefaultRequest +
                     r.HIDMappingsRequest + r.StartMotorRequest + r.LearnCodeRequest + r.GetIRCodeRequest +
                     r.SendIRCodeRequest + r.StopMotorRequest + r.IRBlastRequest + r.SetThreshRequest +
                     r.SetGainRequest + r.SetExposureRequest + r.GetInfoRequest + r.DebugRequest +
                     r.FrequencyRequest + r.ClearHatRequest + r.ProgramIDRequest)
        << "a flag was not lowered";
    EXPECT_EQ(kit.learnFlagAtSend.load(), 1) << "LearnInProgress is raised before the learn command";
}

TEST_F(DeviceThreads, RequestFromAnotherProcessIsServedWithinAPollPeriod) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ShowReceiver();
    auto start = std::chrono::steady_clock::now();
    if (fork() == 0) {
        int id = shmget(TAVRO_SHARED_MEMORY_KEY, TAVRO_SHARED_MEMORY_SIZE, 0666);
        void* record = shmat(id, nullptr, 0);
        if (id < 0 || record == reinterpret_cast<void*>(-1)) _exit(1);
        static_cast<SharedDeviceState*>(record)->IRBlastRequest = 1;
        _exit(0);
    }
    EXPECT_EQ(pty.read(2, 1000ms), (Bytes{0x0C, 0x00}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms * kSanitizerSlowdown);
    int status = -1;
    wait(&status);
    EXPECT_EQ(status, 0);
}

TEST_F(DeviceThreads, NoCommandGoesOutUntilTheDeviceSendsAFramedPacket) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    device.record().IRBlastRequest = 1;
    EXPECT_EQ(pty.drain(500ms), Bytes{}) << "a command went to a device that never framed a packet";
    EXPECT_EQ(device.record().IRBlastRequest, 1) << "the request did not wait";
    ShowReceiver();
    EXPECT_EQ(pty.read(2, 1000ms), (Bytes{0x0C, 0x00}));
    EXPECT_EQ(pty.drain(300ms), Bytes{}) << "the command went out more than once";
}

TEST_F(DeviceThreads, StopWithASilentReceiverEndsStartDevice) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ASSERT_FALSE(running.ended(200ms)) << "StartDevice returned without a stop";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(running.Stop(1000ms), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_FALSE(kit.ReaderRunning()) << "StartDevice returned before the reader ended";
}

TEST_F(DeviceThreads, RequestPendingWhenTheStopComesStillGoesOut) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ShowReceiver();
    RaiseTogether([](SharedDeviceState& r) { r.IRBlastRequest = r.StopRequest = 1; });
    EXPECT_TRUE(running.ended(1000ms));
    EXPECT_EQ(pty.read(2, 1000ms), (Bytes{0x0C, 0x00}));
}

Bytes Tracking(int user, int ax) {
    return Packet(1, TrackingPayload(user, 0xFFFF, static_cast<uint16_t>(ax), 14400, 50,
                                     static_cast<uint16_t>(ax - 4000), 14400, 50));
}

TEST_F(DeviceThreads, EachPassWorksOnItsOwnPacket) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    // One burst: a pass that read the record when it started would see a
    // later handset's packet.
    pty.write(Tracking(0, 20000));
    pty.write(Tracking(1, 21000));
    pty.write(Tracking(2, 22000));
    pty.write(Tracking(3, 23000));
    ASSERT_TRUE(WaitFor([&] { return device.record().RawX[3] != 0.0; }));
    ASSERT_TRUE(WaitForPasses(kit));
    for (int user = 0; user < 4; ++user)
        EXPECT_DOUBLE_EQ(device.record().RawX[user], (2 * (20000 + 1000 * user) - 4000) / 200.0) << user;
}

// Passes of half a second per sub-frame: what ends a sub-frame wait shows.
class SlowPasses : public DeviceThreads {
protected:
    void SetUp() override {
        DeviceThreads::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        device.record().SleepingFactor = 1000;
        device.record().SubframeInterpolation = 2;
    }
};

TEST_F(SlowPasses, StopEndsAPassInItsSubframeWait) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    const unsigned before = kit.PassSequence[0].load();
    pty.write(Tracking(0, 20000));
    ASSERT_TRUE(WaitFor([&] { return kit.PassSequence[0].load() != before; }));
    ASSERT_EQ(kit.Counts.RunningPasses.load(), 1) << "the pass is in its first wait";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(running.Stop(1000ms), 0);
    EXPECT_EQ(kit.Counts.RunningPasses.load(), 0) << "StartDevice returned before the worker ended";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms) << "the wait ran its full time";
}

TEST_F(SlowPasses, NewerPacketEndsTheOlderPassesWaitAtOnce) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    const unsigned before = kit.PassSequence[0].load();
    pty.write(Tracking(0, 20000));
    ASSERT_TRUE(WaitFor([&] { return kit.PassSequence[0].load() == before + 1; }));
    const auto start = std::chrono::steady_clock::now();
    pty.write(Tracking(0, 21000));
    ASSERT_TRUE(WaitFor([&] { return kit.PassSequence[0].load() == before + 2; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms) << "the newer pass waited for the older";
    EXPECT_DOUBLE_EQ(device.record().RawX[0], (2 * 21000 - 4000) / 200.0);
}

// A handset that does not drive the pointer: its worker's timer, not the
// packet's arrival, plays the later sub-frame, one pause after the first,
// and the record ends on the pass's target.
TEST_F(SlowPasses, LaterSubframeFollowsOnePauseLaterAndEndsOnTheTarget) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    const SharedDeviceState& r = device.record();
    ASSERT_NE(r.CurrentUser, 1);
    const double before = r.X[1];
    pty.write(Tracking(1, 20000));
    ASSERT_TRUE(WaitFor([&] { return r.X[1] != before; }, 2000ms)) << "no first sub-frame";
    const auto first = std::chrono::steady_clock::now();
    const double halfWay = r.X[1];
    ASSERT_TRUE(WaitFor([&] { return r.X[1] != halfWay; }, 2000ms)) << "no second sub-frame";
    EXPECT_GE(std::chrono::steady_clock::now() - first, 400ms) << "played before its time";
    ASSERT_TRUE(WaitForPasses(kit, 2000ms));
    double x = r.StabX[1], y = r.StabY[1];
    kit.CalculatePODCoordinates(&x, &y);
    kit.CalculateScreenBorders(&x, &y, 1);
    EXPECT_DOUBLE_EQ(r.X[1], x);
    EXPECT_DOUBLE_EQ(r.Y[1], y);
    EXPECT_EQ(kit.RunningWorkers(), 1) << "one worker, of handset 1";
}

// While it exists, a run's workers get no timer, as when no descriptor can
// be opened: no handset can have a worker.
class NoWorkerTimers {
public:
    NoWorkerTimers() : saved_(tavro::CalculationWorkers::MakeTimer) {
        tavro::CalculationWorkers::MakeTimer = [] {
            errno = EMFILE;
            return -1;
        };
    }
    ~NoWorkerTimers() { tavro::CalculationWorkers::MakeTimer = saved_; }

private:
    int (*saved_)();
};

// A handset whose worker cannot start keeps up with its packets: each pass
// is computed on arrival and the pointer goes to its target at once, rather
// than the reader waiting out every sub-frame (a second a packet here) while
// the tty fills; the failure is logged once, not once a packet.
TEST_F(SlowPasses, WithoutItsWorkerAHandsetGoesToEachTargetAtOnce) {
    const NoWorkerTimers noTimers;
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    const SharedDeviceState& r = device.record();
    const unsigned before = kit.PassSequence[1].load();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) pty.write(Tracking(1, static_cast<uint16_t>(20000 + 100 * i)));
    ASSERT_TRUE(WaitFor([&] { return kit.PassSequence[1].load() == before + 10; }, 3000ms));
    ASSERT_TRUE(WaitForPasses(kit, 1000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms) << "the reader waited out the sub-frames";
    double x = r.StabX[1], y = r.StabY[1];
    kit.CalculatePODCoordinates(&x, &y);
    kit.CalculateScreenBorders(&x, &y, 1);
    EXPECT_DOUBLE_EQ(r.X[1], x);
    EXPECT_DOUBLE_EQ(r.Y[1], y);
    EXPECT_EQ(kit.RunningWorkers(), 0);
    EXPECT_EQ(LogCapture::Count("no timer for handset 1"), 1);
}

// A kit whose key handling can be held in the middle of a pass, as a desktop
// that stops taking events holds the reader (at most 10 s here).
class HeldPassKit : public CTavroLinux {
public:
    int HandleNorthEvents() override {
        if (hold.load()) {
            held = true;
            for (int i = 0; hold.load() && i < 2000; ++i) std::this_thread::sleep_for(5ms);
        }
        return CTavroLinux::HandleNorthEvents();
    }
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
};

// The threads of this process whose names begin with `prefix`: id to name.
std::map<std::string, std::string> Threads(const std::string& prefix) {
    std::map<std::string, std::string> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind(prefix, 0) == 0) threads[task.path().filename()] = name;
    }
    return threads;
}

// Threads of this process named as the device's reader.
int ReaderThreads() { return static_cast<int>(Threads("tavro-reader").size()); }

class HeldPass : public KitOnPty<HeldPassKit> {
protected:
    // Starts the device, holds its reader in a pass and stops it: the end
    // goes on after its wait for the reader, which stays held in the pass.
    void EndARunWhileItsReaderIsHeld() {
        kit.hold = true;
        auto run = std::async(std::launch::async, [&] { return kit.StartDevice(); });
        ASSERT_TRUE(WaitFor([&] { return kit.ReaderRunning(); }));
        pty.write(Tracking(0, 20000));
        ASSERT_TRUE(WaitFor([&] { return kit.held.load(); }));
        device.record().StopRequest = 1;
        ASSERT_EQ(run.wait_for(5s), std::future_status::ready) << "the stop waited for the reader";
    }
};

// The device's end waits 2 s for a reader stuck in a pass, then goes on.  A
// pass the reader finishes after that belongs to the run that ended: its
// motion must not move the pointer when the device starts again.
TEST_F(HeldPass, APassFinishedAfterTheStopDoesNotMoveTheNextRun) {
    const SharedDeviceState& r = device.record();
    double settled = 0;
    {
        RunningDevice running(kit);
        ASSERT_TRUE(running.started());
        const unsigned before = kit.PassSequence[0].load();
        pty.write(Tracking(0, 20000));
        ASSERT_TRUE(WaitFor([&] { return kit.PassSequence[0].load() == before + 1; }));
        ASSERT_TRUE(WaitForPasses(kit, 2000ms));
        settled = r.X[0];
        kit.hold = true;
        pty.write(Tracking(0, 26000));
        ASSERT_TRUE(WaitFor([&] { return kit.held.load(); }));
        device.record().StopRequest = 1;
        ASSERT_TRUE(WaitFor([&] { return running.ended(0ms); }, 5000ms)) << "the stop waited for the reader";
        kit.hold = false;
        EXPECT_EQ(running.Stop(), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return ReaderThreads() == 0; }, 2000ms));
    EXPECT_EQ(kit.Counts.RunningPasses.load(), 0);
    device.record().StopRequest = 0;
    {
        RunningDevice running(kit);
        ASSERT_TRUE(running.started());
        std::this_thread::sleep_for(300ms);
        EXPECT_DOUBLE_EQ(r.X[0], settled) << "the old run's pass moved the pointer";
        EXPECT_EQ(kit.Counts.RunningPasses.load(), 0);
    }
}

// A reader stuck in a pass past the stop (a frozen desktop) is left behind
// when the device starts again, as after a replug: once free it leaves,
// instead of reading the new run's tty beside the new reader.
TEST_F(HeldPass, AReaderLeftBehindByItsRunLeavesOnceFree) {
    ASSERT_NO_FATAL_FAILURE(EndARunWhileItsReaderIsHeld());
    device.record().StopRequest = 0;
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ASSERT_TRUE(WaitFor([&] { return ReaderThreads() == 2; })) << "the old reader is held";
    kit.hold = false;
    EXPECT_TRUE(WaitFor([&] { return ReaderThreads() == 1; }, 2000ms)) << "the old reader reads on";
    EXPECT_TRUE(kit.ReaderRunning()) << "the old reader cleared the new run's flag";
    const unsigned before = kit.PassSequence[1].load();
    pty.write(Tracking(1, 21000));
    EXPECT_TRUE(WaitFor([&] { return kit.PassSequence[1].load() == before + 1; }));
}

// A reader held in a pass past its run's end while the receiver comes back
// on another tty (a replug): once free it leaves, reading nothing more of
// its own tty, and every packet of the new tty goes to the new run.
TEST_F(HeldPass, AReaderLeftBehindNeverReadsTheNextRunsTty) {
    ASSERT_NO_FATAL_FAILURE(EndARunWhileItsReaderIsHeld());
    kit.CloseDevice();  // as the daemon lets the gone receiver go
    PtyPair next;
    SetDeviceName(device.record(), next.slavePath());
    device.record().StopRequest = 0;
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    // Written while the old reader is held: whichever reader is free first
    // could take them.
    const unsigned before = kit.PassSequence[1].load();
    for (int i = 0; i < 20; ++i) next.write(Tracking(1, static_cast<uint16_t>(21000 + 10 * i)));
    kit.hold = false;
    ASSERT_TRUE(WaitFor([&] { return ReaderThreads() == 1; }, 2000ms)) << "the old reader reads on";
    const unsigned oldTty = kit.PassSequence[2].load();
    pty.write(Tracking(2, 22000));
    EXPECT_TRUE(WaitFor([&] { return kit.PassSequence[1].load() == before + 20; }))
        << kit.PassSequence[1].load() - before << " of 20 packets of the new tty reached the new run";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(kit.PassSequence[2].load(), oldTty) << "the old tty was read after its run ended";
}

// Every thread a run starts (reader, writer, output thread, the workers of
// the handsets that sent packets) is gone once StartDevice is back.
TEST_F(DeviceThreads, ARunsThreadsAreGoneWithIt) {
    const auto before = Threads("tavro-");
    std::map<std::string, std::string> during;
    {
        RunningDevice running(kit);
        ASSERT_TRUE(running.started());
        pty.write(Tracking(0, 20000));
        pty.write(Tracking(3, 21000));
        // A new thread bears its creator's name until it names itself.
        const std::multiset<std::string> expected{"tavro-calc-0", "tavro-calc-3", "tavro-output",
                                                  "tavro-reader", "tavro-writer"};
        std::multiset<std::string> names;
        EXPECT_TRUE(WaitFor([&] {
            during.clear();
            names.clear();
            for (const auto& [id, name] : Threads("tavro-"))
                if (before.count(id) == 0) during[id] = name, names.insert(name);
            return names == expected;
        })) << testing::PrintToString(names);
        EXPECT_EQ(running.Stop(), 0);
    }
    const auto after = Threads("tavro-");
    for (const auto& [id, name] : during) EXPECT_EQ(after.count(id), 0u) << name << " outlived its run";
}

TEST_F(DeviceThreads, CountsGoToTheStatusSegmentAndThePlatformObject) {
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    ASSERT_NE(status, nullptr) << error;
    pty.write(Tracking(2, 20000));  // before the status is set: counted in the object
    {
        RunningDevice running(kit);
        ASSERT_TRUE(running.started());
        ASSERT_TRUE(WaitFor([&] { return kit.Counts.PacketsPerHandset[2].load() == 1; }));
    }
    // Set between two runs, as the daemon sets it before it starts the device
    // (the object's threads read it unguarded); the test reads the status
    // through an attachment of its own, as another program does.
    kit.RunOptions.Status = status;
    status = tavro::AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    ASSERT_NE(status, nullptr) << error;
    device.record().StopRequest = 0;
    {
        RunningDevice running(kit);
        ASSERT_TRUE(running.started());
        pty.write(Tracking(1, 20000));
        ASSERT_TRUE(WaitFor([&] { return status->PacketsDecoded == 2; })) << "the earlier count was not copied";
        EXPECT_EQ(status->PacketsPerHandset[1], 1u);
        EXPECT_EQ(status->PacketsPerHandset[2], 1u);
        EXPECT_GT(status->LastPacketUnixNs, 0);
        EXPECT_EQ(status->PassesDropped, 0u);
    }
    shmdt(kit.RunOptions.Status);
    kit.RunOptions.Status = nullptr;
    shmdt(status);
}

}  // namespace
