// The calculation pipeline on a pseudo-terminal and a real X server: every
// tracking packet of every handset computed once, in arrival order, however
// the packets bunch up (bursts, a backlog after a replug, a flood); the
// pointer on the newest target; keys of the zoom key exactly as many as the
// distances ask for; a bounded number of threads and a prompt stop.
//
// A packet's sequence is carried in button line 12, which the button
// histories keep but no handler acts on: the active handset's menu handler
// records the line once per dispatched packet, and every handset's history
// register holds the line's last 32 values in the order they were computed.
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include "CalculationWorkers.h"
#include "DeviceHarness.h"
#include "XServer.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <map>
#include <random>
#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned kLine12 = 1u << 12;

// Records, for every packet of the active handset that reaches the button
// dispatch, button line 12 of that packet.  A test that measures the
// process's memory turns the recording off: the record grows with every
// packet.
class RecordingKit : public CTavroLinux {
public:
    int HandleMenuEvents() override {
        if (recording.load()) {
            const int user = SharedData->PacketUser;
            std::lock_guard<std::mutex> lock(mutex);
            dispatched[user].push_back(ButtonHistory[user][12] & 1u);
        }
        return CTavroLinux::HandleMenuEvents();
    }
    std::vector<unsigned> Dispatched(int user) {
        std::lock_guard<std::mutex> lock(mutex);
        return dispatched[user];
    }
    std::atomic<bool> recording{true};
    std::mutex mutex;
    std::vector<unsigned> dispatched[4];
};

// What one handset is sent: its aim and its sequence bits, in order.
struct Stream {
    std::vector<unsigned> bits;
    unsigned lastX = 0;
    unsigned long sent = 0;
};

Bytes TrackingPacket(int user, unsigned bit, unsigned x, unsigned held = 0xFFFF,
                     unsigned separation = 4000) {
    const unsigned buttons = bit ? (held & ~kLine12) : (held | kLine12);
    return Packet(1, TrackingPayload(user, static_cast<uint16_t>(buttons), static_cast<uint16_t>(x),
                                     14400, 50, static_cast<uint16_t>(x - separation), 14400, 50));
}

// The register the last `count` bits of the stream leave (bit 0 the newest).
unsigned ExpectedHistory(const std::vector<unsigned>& bits) {
    unsigned history = 0;
    for (unsigned bit : bits) history = (history << 1) | bit;
    return history;
}

class Pipeline : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_TRUE(device.initialized);
    }
    // Until every packet sent is through its pass.
    bool Settled(unsigned long total) {
        return WaitFor([&] {
            return kit.Counts.PacketsDecoded.load() >= total && kit.Counts.RunningPasses.load() == 0;
        }, 10s);
    }
    static std::pair<int, int> Pointer() {
        int x = -1, y = -1;
        QueryPointer(&x, &y);
        return {x, y};
    }
    // The pointer where the active handset's last move put it.
    bool PointerOnLastMove() {
        return WaitFor([&] {
            const SharedDeviceState& r = device.record();
            return Pointer() == std::make_pair(static_cast<int>(r.X[0]), static_cast<int>(r.Y[0]));
        }, 3s);
    }

    XvfbServer xvfb;  // first: the kit opens the display it announces
    LogCapture log;
    PtyPair pty;
    KitOn<RecordingKit> device{pty.slavePath()};
    RecordingKit& kit = device.kit;
};

TEST_F(Pipeline, BurstsOfEveryHandsetAreComputedInArrivalOrder) {
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    std::mt19937 random(20261208);
    Stream streams[4];
    unsigned long total = 0;
    // Rounds of at most 32 packets per handset, so that the history
    // registers checked after each round show every packet of the round.
    for (int round = 0; round < 6; ++round) {
        int inRound[4] = {};
        bool more = true;
        while (more) {
            more = false;
            Bytes burst;
            for (int user = 0; user < 4; ++user) {
                const int size = std::min<int>(2 + static_cast<int>(random() % 7), 32 - inRound[user]);
                for (int k = 0; k < size; ++k) {
                    Stream& s = streams[user];
                    const unsigned bit = random() & 1u;
                    s.lastX = 12000 + 40 * static_cast<unsigned>(s.bits.size() % 200) + 1000 * user;
                    s.bits.push_back(bit);
                    const Bytes packet = TrackingPacket(user, bit, s.lastX);
                    burst.insert(burst.end(), packet.begin(), packet.end());
                    ++total;
                }
                inRound[user] += size;
                more = more || inRound[user] < 32;
            }
            pty.write(burst);  // one handset's burst after another's, back to back
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
        }
        ASSERT_TRUE(Settled(total)) << "round " << round;
        for (int user = 0; user < 4; ++user) {
            EXPECT_EQ(kit.ButtonHistory[user][12], ExpectedHistory(streams[user].bits))
                << "handset " << user << ", round " << round << ": a pass out of order or lost";
            EXPECT_DOUBLE_EQ(device.record().RawX[user], (2.0 * streams[user].lastX - 4000) / 200)
                << "handset " << user << " does not hold its newest packet";
        }
    }
    // Every packet of the active handset dispatched once, in order.
    EXPECT_EQ(kit.Dispatched(0), streams[0].bits);
    for (int user = 0; user < 4; ++user)
        EXPECT_EQ(kit.Counts.PacketsPerHandset[user].load(), streams[user].bits.size());
    EXPECT_EQ(kit.Counts.DroppedPasses.load(), 0u);
    if (xvfb.started()) {
        EXPECT_TRUE(PointerOnLastMove());
    }
}

TEST_F(Pipeline, BacklogAfterAReplugIsProcessedWholeAndThePointerEndsOnTheNewest) {
    TAVRO_REQUIRE_X(xvfb);
    // While the receiver was away its packets queued in the tty; they are
    // all there when the device starts and are read back to back.
    std::mt19937 random(7);
    std::vector<unsigned> bits;
    Bytes backlog;
    for (int n = 0; n < 220; ++n) {
        const int user = n % 5 == 4 ? 1 : 0;  // a second handset in between
        const unsigned bit = random() & 1u;
        if (user == 0) bits.push_back(bit);
        // The aim sweeps, then rests on the newest target.
        const unsigned x = n < 180 ? 10000 + 50 * n : 22000;
        const Bytes packet = TrackingPacket(user, bit, x);
        backlog.insert(backlog.end(), packet.begin(), packet.end());
    }
    ASSERT_LT(backlog.size(), 4096u) << "more than the tty holds";
    pty.write(backlog);
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    ASSERT_TRUE(Settled(220));
    EXPECT_EQ(kit.Dispatched(0), bits) << "a packet's button update was lost or out of order";
    EXPECT_EQ(kit.Counts.DroppedPasses.load(), 0u);
    EXPECT_DOUBLE_EQ(device.record().RawX[0], (2.0 * 22000 - 4000) / 200);
    EXPECT_TRUE(PointerOnLastMove());
    // The pointer rests: the last pass has made all its moves.
    const auto resting = Pointer();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(Pointer(), resting);
    if (kit.Counts.MotionSkipped.load() > 0) {
        EXPECT_EQ(LogCapture::Count("fell behind"), 1) << "logged once";
    }
}

TEST_F(Pipeline, FloodKeepsTheThreadsAtTheirBoundMemoryFlatAndStopsPromptly) {
    // ThreadSanitizer starts a helper thread of its own with the process's
    // first thread: started here, so that it is counted in `before`.
    std::thread([] {}).join();
    const int before = ThreadCount();
    kit.recording = false;
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());
    std::atomic<bool> flooding{true};
    std::thread writer([&] {
        Bytes chunk;
        for (int n = 0; n < 64; ++n) {
            const Bytes packet = TrackingPacket(n % 4, n & 1, 15000 + 37 * n);
            chunk.insert(chunk.end(), packet.begin(), packet.end());
        }
        // As fast as the tty takes it: a write whenever there is room.
        fcntl(pty.masterFd(), F_SETFL, O_NONBLOCK);
        size_t at = 0;
        while (flooding) {
            pollfd room{pty.masterFd(), POLLOUT, 0};
            if (poll(&room, 1, 10) <= 0) continue;
            const ssize_t n = ::write(pty.masterFd(), chunk.data() + at, chunk.size() - at);
            if (n > 0) at = (at + static_cast<size_t>(n)) % chunk.size();
        }
    });
    int most = 0;
    long rssEarly = -1, rssLate = -1;
    const auto start = Clock::now();
    while (Clock::now() - start < 2s) {
        most = std::max(most, ThreadCount());
        if (rssEarly < 0 && Clock::now() - start > 500ms) rssEarly = ResidentKiB();
        std::this_thread::sleep_for(1ms);
    }
    rssLate = ResidentKiB();
    // Reader, writer, four workers, the output thread, the key bindings'
    // thread (a program without a loop of its own), StartDevice's caller,
    // and this test's flood writer.
    EXPECT_LE(most, before + 9 + 1);
    EXPECT_EQ(kit.RunningWorkers(), 4);
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps freed memory in quarantine, so resident memory
    // says nothing about growth there; the normal build checks it.
    EXPECT_LT(rssLate - rssEarly, 2048) << "memory grows with the flood";
#else
    (void)rssEarly;
    (void)rssLate;
#endif
    EXPECT_GT(kit.Counts.PacketsDecoded.load(), 1000u) << "the flood was not read";

    const auto stopAt = Clock::now();
    EXPECT_EQ(running.Stop(1000ms), 0);
    const auto stopTime = Clock::now() - stopAt;
    flooding = false;
    writer.join();
    EXPECT_LT(stopTime, 150ms);
    EXPECT_EQ(kit.Counts.RunningPasses.load(), 0);
    EXPECT_EQ(kit.Counts.DroppedPasses.load(), 0u);
    EXPECT_LE(ThreadCount(), before + 1) << "a device thread outlived the device";
}

// The zoom key held through bursts of four packets at 60 Hz: the handlers'
// chords go out in order on the output thread while every packet's buttons
// are processed.
class ZoomHeld : public Pipeline {
protected:
    std::map<unsigned, int> Received(tavro::test::RecordingWindow& window) {
        kit.TV_SendKeyEvent(XK_F5, -1, 0, 5);  // queued behind the handlers' keys
        EXPECT_TRUE(WaitFor([&] {
            window.pump(5ms);
            return window.count(KeyRelease, XK_F5) > 0;
        }, 5s));
        std::map<unsigned, int> presses;
        for (const RecordedEvent& e : window.events())
            if (e.type == KeyPress && e.detail != XK_F5) ++presses[e.detail];
        return presses;
    }
    unsigned Key(KeySym sym) {
        return unsigned(XkbKeycodeToKeysym(display, XKeysymToKeycode(display, sym), 0, 0));
    }
};

TEST_F(ZoomHeld, GivesExactlyTheChordsOfTheDistancesAndLosesNoPacket) {
    TAVRO_REQUIRE_X(xvfb);
    ASSERT_NE(display, nullptr);
    RecordingWindow window;
    RunningDevice running(kit);
    ASSERT_TRUE(running.started());

    // Separations that walk the distance up and down across zoom steps.
    std::vector<unsigned> separations;
    for (int n = 0; n < 120; ++n) {
        const int phase = n % 40;
        separations.push_back(2333 + static_cast<unsigned>(phase < 20 ? 9 * phase : 9 * (40 - phase)));
    }
    // What the zoom handler makes of them (D0 70, Cpixel 1).
    const SharedDeviceState& r = device.record();
    int plus = 0, minus = 0;
    double startDistance = 0;
    int step = 0;
    for (size_t n = 0; n < separations.size(); ++n) {
        const double d = r.D0 / std::sqrt(std::pow(r.Cpixel * separations[n] / 100.0, 2));
        if (n == 0) {
            startDistance = d - 0.01;
            continue;
        }
        const int q = static_cast<int>((d - startDistance) * 100.0) / 2;
        plus += q > step;
        minus += q < step;
        step = q;
    }
    ASSERT_GT(plus, 5);
    ASSERT_GT(minus, 5);

    std::vector<unsigned> bits;
    unsigned lastX = 0;
    for (size_t n = 0; n < separations.size(); n += 4) {
        Bytes burst;
        for (size_t k = n; k < n + 4; ++k) {
            lastX = 15000 + 20 * static_cast<unsigned>(k);
            bits.push_back(k & 1u);
            const Bytes packet = TrackingPacket(0, k & 1u, lastX, 0xFFFF & ~(1u << SouthWest), separations[k]);
            burst.insert(burst.end(), packet.begin(), packet.end());
        }
        pty.write(burst);
        std::this_thread::sleep_for(4 * 1000ms / 60);
    }
    ASSERT_TRUE(Settled(separations.size()));
    EXPECT_EQ(kit.Dispatched(0), bits) << "a packet's button update was lost or out of order";
    EXPECT_EQ(Received(window), (std::map<unsigned, int>{{Key(XK_Control_L), plus + minus},
                                                         {Key(XK_plus), plus},
                                                         {Key(XK_minus), minus}}));
    EXPECT_DOUBLE_EQ(r.RawX[0], (2.0 * lastX - separations.back()) / 200);
    EXPECT_TRUE(PointerOnLastMove());
}

}  // namespace
