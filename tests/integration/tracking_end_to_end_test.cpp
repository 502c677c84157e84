// Tracking end to end: packets written to a pseudo-terminal, the device
// running on it (reader, decoder, calculation passes), and a real X server
// (Xvfb, 1920x1080) whose pointer and test window show the result.
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "Pty.h"
#include "RecordView.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <future>
#include <numeric>
#include <map>
#include <memory>

using tavro::test::RecordedEvent;
using tavro::test::WaitFor;

namespace {

constexpr key_t kSegmentKey = 0x7A31;
constexpr auto kLong = std::chrono::milliseconds(5000);

// The right spot at (x, y), the left one `separation` packet units to its left.
struct Aim {
    unsigned x = 20000, y = 14400, separation = 4000;
};

class TrackingEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        TAVRO_REQUIRE_X(xvfb);
        CTavroLinux::SharedMemoryKey = kSegmentKey;
        platform = std::make_unique<CTavroLinux>();
        ASSERT_EQ(platform->Initialize(), 0);
        ASSERT_NE(display, nullptr);
        // The test reads and sets the record as a client process does, through
        // an attachment of its own.
        view = std::make_unique<tavro::test::RecordView>(*platform);
        ASSERT_TRUE(view->attached());
        r = view->get();
        std::snprintf(r->DeviceName, sizeof r->DeviceName, "%s", pty.slavePath().c_str());
        device = std::async(std::launch::async, [this] { return platform->StartDevice(); });
        ASSERT_TRUE(WaitFor([&] { return r->DeviceOpened == 1 && r->ActivateCursor == 1; }, kLong));
    }
    void TearDown() override {
        if (device.valid()) {
            r->StopRequest = 1;
            ASSERT_EQ(device.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            EXPECT_EQ(device.get(), 0);
            EXPECT_TRUE(WaitFor([&] { return platform->Counts.RunningPasses.load() == 0; }, kLong));
        }
        window.reset();
        view.reset();
        platform.reset();
        tavro::test::RemoveSegment(kSegmentKey);
    }

    void Write(int user, std::initializer_list<int> held = {}, Aim aim = {}) {
        unsigned buttons = 0xFFFF;
        for (int line : held) buttons &= ~(1u << line);
        pty.write(tavro::test::Packet(1, tavro::test::TrackingPayload(
            user, buttons, aim.x, aim.y, 50, aim.x - aim.separation, aim.y, 50)));
    }
    // Writes one packet and waits until its pass has made all its moves.
    void Settle(int user, std::initializer_list<int> held = {}, Aim aim = {}) {
        const unsigned before = platform->PassSequence[user].load();
        Write(user, held, aim);
        ASSERT_TRUE(WaitFor([&] {
            return platform->PassSequence[user].load() != before &&
                   platform->Counts.RunningPasses.load() == 0;
        }, kLong)) << "the packet's pass did not run";
    }
    static std::pair<int, int> Pointer() {
        int x = -1, y = -1;
        tavro::test::QueryPointer(&x, &y);
        return {x, y};
    }
    static bool PointerReaches(int x, int y) {
        return WaitFor([&] { return Pointer() == std::make_pair(x, y); }, kLong);
    }

    tavro::test::XvfbServer xvfb;  // first: the platform opens the display it announces
    tavro::test::PtyPair pty;
    std::unique_ptr<CTavroLinux> platform;
    std::unique_ptr<tavro::test::RecordView> view;
    std::unique_ptr<tavro::test::RecordingWindow> window;
    SharedDeviceState* r = nullptr;
    std::future<int> device;
};

TEST_F(TrackingEndToEnd, SteadyAimPutsThePointerOnTheCalibratedPoint) {
    for (int i = 0; i < 6; ++i) Write(0);
    ASSERT_TRUE(PointerReaches(975, 534));
    ASSERT_TRUE(WaitFor([&] { return platform->Counts.RunningPasses.load() == 0; }, kLong));
    EXPECT_EQ(std::make_pair(r->RawX[0], r->RawY[0]), std::make_pair(180.0, 144.0));
    EXPECT_EQ(std::make_pair(r->StabX[0], r->StabY[0]), std::make_pair(650.0, 380.0));
    EXPECT_EQ(std::make_pair(r->X[0], r->Y[0]), std::make_pair(975.0, 534.375));
    EXPECT_DOUBLE_EQ(r->Distance[0], 1.75);
}

struct ModeCase {
    const char* name;
    uint8_t direct, smart;
    std::pair<int, int> start, end;
};

class PointingModes : public TrackingEndToEnd, public testing::WithParamInterface<ModeCase> {};

TEST_P(PointingModes, MoveThePointerTheirWay) {
    const ModeCase& c = GetParam();
    r->DirectPoint = c.direct, r->SmartPoint = c.smart;
    r->SubframeInterpolation = 1;  // one move per packet
    tavro::test::WarpPointer(c.start.first, c.start.second);
    ASSERT_TRUE(PointerReaches(c.start.first, c.start.second));
    for (int i = 0; i < 3; ++i) Settle(0);
    EXPECT_EQ(Pointer(), c.end);
}

// Smart mode moves by the change of the handset's position, (0, 0) at start-up
// to (975, 534.375), wherever the pointer was; game mode steps from the pointer
// to the aim, truncated toward zero (from y 900, -365.625 leaves it at 535).
INSTANTIATE_TEST_SUITE_P(Modes, PointingModes,
                         testing::Values(ModeCase{"Direct", 1, 0, {100, 100}, {975, 534}},
                                         ModeCase{"Smart", 0, 1, {100, 100}, {1075, 634}},
                                         ModeCase{"Game", 0, 0, {1500, 900}, {975, 535}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TrackingEndToEnd, BorderStepsPushThePointerPastTheEdge) {
    r->DirectPoint = 0, r->SmartPoint = 1, r->MoveAtBoundary = 1;
    const Aim left{4000, 14400, 2000};  // raw x 30: calibrated -100, off the left edge
    Settle(0, {}, left);
    EXPECT_EQ(r->BorderLeft[0], 1);
    EXPECT_EQ(r->X[0], 0.0);
    tavro::test::WarpPointer(1000, 500);
    ASSERT_TRUE(PointerReaches(1000, 500));
    for (int i = 0; i < 5; ++i) Settle(0, {}, left);
    EXPECT_EQ(Pointer(), std::make_pair(850, 500)) << "10 px per sub-frame, 3 per packet";
}

TEST_F(TrackingEndToEnd, OnlyTheActiveHandsetMovesThePointer) {
    tavro::test::WarpPointer(123, 456);
    ASSERT_TRUE(PointerReaches(123, 456));
    for (int i = 0; i < 3; ++i) Settle(1);
    EXPECT_DOUBLE_EQ(r->X[1], 975);
    EXPECT_EQ(Pointer(), std::make_pair(123, 456));
    r->MouseClick = 0;  // a click would freeze the pointer for a few packets
    Settle(1, {Center});
    EXPECT_EQ(r->CurrentUser, 1);
    EXPECT_TRUE(PointerReaches(975, 534));
}

class Keypad : public TrackingEndToEnd {
protected:
    void SetUp() override {
        TrackingEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        r->ActivateCursor = 0;  // the pointer stays over the window
        window = std::make_unique<tavro::test::RecordingWindow>();
    }
    // Presses per key (as the window reports it) and per pointer button, up
    // to a sentinel tap sent afterwards: "nothing" needs no waiting for time.
    std::map<unsigned, int> Received() {
        platform->TV_SendKeyEvent(XK_F5, -1, 0, 5);
        EXPECT_TRUE(WaitFor([&] {
            window->pump(std::chrono::milliseconds(5));
            return window->count(KeyRelease, XK_F5) > 0;
        }, kLong));
        std::map<unsigned, int> presses;
        for (const RecordedEvent& e : window->events()) {
            if (e.detail == XK_F5) continue;
            if (e.type == KeyPress || e.type == ButtonPress) ++presses[e.detail];
            if (e.type == KeyPress && e.detail == XK_Left) leftState = e.state;
        }
        EXPECT_EQ(window->events().size() - 2, 2 * std::accumulate(presses.begin(), presses.end(),
                  size_t{0}, [](size_t n, const auto& p) { return n + p.second; }))
            << "every press is released";
        window->clear();
        return presses;
    }
    // The key a window reports for `sym` (the key typing "+" reports "=").
    unsigned Key(KeySym sym) {
        return unsigned(XkbKeycodeToKeysym(display, XKeysymToKeycode(display, sym), 0, 0));
    }
    unsigned leftState = 0;
};

TEST_F(Keypad, CentrePressAndReleaseClickThePrimaryButton) {
    for (auto held : {std::initializer_list<int>{Center}, {Center}, {}}) Settle(0, held);
    EXPECT_EQ(Received(), (std::map<unsigned, int>{{1, 1}}));  // and its release
}

struct HoldCase {
    const char* name;
    int line, packets;
    std::map<KeySym, int> presses;  // key symbols, or 2 for the middle button
};

class KeypadHolds : public Keypad, public testing::WithParamInterface<HoldCase> {};

TEST_P(KeypadHolds, GiveTheKeysOfTheHold) {
    const HoldCase& c = GetParam();
    for (int i = 0; i < c.packets; ++i) Settle(0, {c.line});
    Settle(0);
    std::map<unsigned, int> expected;
    for (const auto& [sym, n] : c.presses) expected[sym == 2 ? 2 : Key(sym)] = n;
    EXPECT_EQ(Received(), expected);
    if (c.presses.count(XK_Alt_L)) {
        EXPECT_NE(leftState & Mod1Mask, 0u) << "Left arrives with Alt down";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Holds, KeypadHolds,
    testing::Values(HoldCase{"UpFifteen", North, 15, {{XK_Up, 7}}},
                    HoldCase{"RightShort", East, 1, {{XK_Right, 1}}},
                    HoldCase{"BackShort", NorthWest, 2, {{XK_Alt_L, 1}, {XK_Left, 1}}},
                    HoldCase{"BackNine", NorthWest, 9, {}},
                    HoldCase{"EscapeEleven", NorthWest, 11, {{XK_Escape, 2}}},
                    HoldCase{"EnterShort", SouthEast, 4, {{XK_Return, 1}}},
                    HoldCase{"EnterNine", SouthEast, 9, {}},
                    HoldCase{"MiddleClickTwenty", SouthEast, 20, {{2, 1}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Keypad, LowerLeftKeyZoomsOneChordPerPacket) {
    // D0 70 over the separation: 2333 -> 3.0004 at the press; 2329 and 2349 stay
    // in the dead band; 2318 (3.0198) is one step out; 2258 (3.1001) five steps
    // but one chord; back to 2333 gives one Ctrl+minus.
    auto at = [](unsigned s) { return Aim{16000 + s, 14400, s}; };
    for (unsigned s : {2333u, 2333u, 2329u, 2349u}) Settle(0, {SouthWest}, at(s));
    EXPECT_TRUE(Received().empty());
    Settle(0, {SouthWest}, at(2318));
    Settle(0, {SouthWest}, at(2258));
    EXPECT_EQ(Received(), (std::map<unsigned, int>{{Key(XK_Control_L), 2}, {Key(XK_plus), 2}}));
    Settle(0, {SouthWest}, at(2333));
    EXPECT_EQ(Received(), (std::map<unsigned, int>{{Key(XK_Control_L), 1}, {Key(XK_minus), 1}}));
}

TEST_F(Keypad, SendKeyEventIgnoresOtherModesAndUnknownSymbols) {
    for (int mode : {3, -1}) EXPECT_EQ(platform->TV_SendKeyEvent(XK_a, -1, mode, 0), 0);
    // No key types this symbol; key code 0 would draw an error that ends the process.
    for (int mode : {0, 1, 2}) EXPECT_EQ(platform->TV_SendKeyEvent(0x100263A, -1, mode, 0), 0);
    EXPECT_TRUE(Received().empty());
    platform->TV_SendKeyEvent(XK_a, -1, 1, 0);  // press, then release: one key stroke
    platform->TV_SendKeyEvent(XK_a, -1, 2, 0);
    EXPECT_EQ(Received(), (std::map<unsigned, int>{{XK_a, 1}}));
}

}  // namespace
