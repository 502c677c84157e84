// The user's key bindings on a running device: packets on a pseudo-terminal,
// the bindings file in the test's home, and a real X server (Xvfb) whose
// full-screen window records what the keys did.
#include <gtest/gtest.h>

#include "DeviceHarness.h"
#include "KeyBindings.h"
#include "XServer.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using tavro::test::RecordedEvent;
using tavro::test::WaitFor;

namespace {

constexpr auto kLong = std::chrono::milliseconds(5000);
constexpr int kNorth = 1, kEast = 3, kCentre = 4, kMenu = 9;

class KeyBindings : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        TAVRO_REQUIRE_X(xvfb);
        path = home.path() + "/bindings.conf";
    }
    void TearDown() override {
        running.reset();
        kit.reset();
    }
    void Start(const std::string& text) {
        tavro::test::WriteFile(path, text);
        kit = std::make_unique<tavro::test::KitOn<>>(pty.slavePath());
        ASSERT_TRUE(kit->initialized);
        kit->kit.RunOptions.BindingsPath = path;
        running = std::make_unique<tavro::test::RunningDevice>(kit->kit);
        ASSERT_TRUE(running->started());
        kit->record().ActivateCursor = 0;  // the pointer stays over the window
        window = std::make_unique<tavro::test::RecordingWindow>();
    }
    // One packet of `user` with `held` keys, through its pass.
    void Settle(int user, std::initializer_list<int> held = {}) {
        unsigned buttons = 0xFFFF;
        for (int line : held) buttons &= ~(1u << line);
        const unsigned before = kit->kit.PassSequence[user].load();
        pty.write(tavro::test::Packet(1, tavro::test::TrackingPayload(user, buttons, 20000, 14400, 50, 16000,
                                                                     14400, 50)));
        ASSERT_TRUE(WaitFor([&] {
            return kit->kit.PassSequence[user].load() != before && kit->kit.Counts.RunningPasses.load() == 0;
        }, kLong));
    }
    void Tap(int user, int line) {
        Settle(user, {line});
        Settle(user);
    }
    // Every key and button event up to a sentinel key, as "+sym"/"-sym" for
    // keys (by name) and "+b3"/"-b3" for buttons.
    std::vector<std::string> Events() {
        kit->kit.TV_SendKeyEvent(XK_F5, -1, 0, 5);
        EXPECT_TRUE(WaitFor([&] {
            window->pump(std::chrono::milliseconds(5));
            return window->count(KeyRelease, XK_F5) > 0;
        }, kLong));
        std::vector<std::string> out;
        for (const RecordedEvent& e : window->events()) {
            if (e.detail == XK_F5) continue;
            const bool press = e.type == KeyPress || e.type == ButtonPress;
            const bool key = e.type == KeyPress || e.type == KeyRelease;
            out.push_back(std::string(press ? "+" : "-") +
                          (key ? XKeysymToString(e.detail) : "b" + std::to_string(e.detail)));
        }
        window->clear();
        return out;
    }
    std::shared_ptr<tavro::KeyBindings> Bindings() { return std::atomic_load(&kit->kit.Bindings); }
    using List = std::vector<std::string>;

    tavro::test::XvfbServer xvfb;
    tavro::test::TempHome home;
    tavro::test::LogCapture log;
    tavro::test::PtyPair pty;
    std::string path;
    std::unique_ptr<tavro::test::KitOn<>> kit;
    std::unique_ptr<tavro::test::RunningDevice> running;
    std::unique_ptr<tavro::test::RecordingWindow> window;
};

TEST_F(KeyBindings, EachActionGivesItsEventsInOrderAndUnboundKeysStayBuiltIn) {
    Start("[p]\nnorth = key ctrl+Next\neast = button right\nmenu = nothing\n");
    Tap(0, kNorth);
    Tap(0, kEast);
    Tap(0, kMenu);
    Tap(0, 7);  // south is not bound: the built-in Down
    EXPECT_EQ(Events(), (List{"+Control_L", "+Next", "-Next", "-Control_L", "+b3", "-b3", "+Down", "-Down"}));
}

TEST_F(KeyBindings, AScrollHeldForASecondRepeatsAtItsRateInItsDirection) {
    Start("[p]\ndown = scroll down 20\nup = scroll left\n");
    Tap(0, kNorth);
    const auto pressed = std::chrono::steady_clock::now();
    Settle(0, {7});
    const auto settled = std::chrono::steady_clock::now();
    // Packets keep coming while the key is held, as from a handset in use.
    while (std::chrono::steady_clock::now() - pressed < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Settle(0, {7});
    }
    const auto releasing = std::chrono::steady_clock::now();
    Settle(0);
    const double shortest = std::chrono::duration<double>(releasing - settled).count();
    const double longest = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
    const std::vector<std::string> seen = Events();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(List(seen.begin(), seen.begin() + 2), (List{"+b6", "-b6"})) << "one detent left for a press";
    const List down(seen.begin() + 2, seen.end());
    EXPECT_EQ(std::count(down.begin(), down.end(), "+b5") * 2, static_cast<long>(down.size()))
        << "only the wheel down, each detent pressed and released";
    const long detents = std::count(down.begin(), down.end(), "+b5");
    EXPECT_GE(detents, 1 + static_cast<long>(20 * shortest));
    EXPECT_LE(detents, 1 + static_cast<long>(20 * longest));
}

TEST_F(KeyBindings, AChangedFileActsWithinASecondAndABrokenOneKeepsTheRunningBindings) {
    Start("[p]\nnorth = key Page_Up\n");
    Settle(0, {kNorth});
    tavro::test::WriteFile(path, "[p]\nnorth = key Page_Down\n");
    ASSERT_TRUE(WaitFor([&] { return tavro::test::LogCapture::Count("Page_Down") == 0 &&
                                     tavro::test::LogCapture::Count("bindings: read") >= 2; },
                        std::chrono::milliseconds(1000)));
    Settle(0, {kNorth});  // still held: the reload let it go, it stays quiet
    Settle(0);
    Tap(0, kNorth);
    tavro::test::WriteFile(path, "[p]\nnorth = key Page_Dawn\n");
    ASSERT_TRUE(WaitFor([&] { return tavro::test::LogCapture::Count(path + ":2:13: \"Page_Dawn\"") == 1; },
                        std::chrono::milliseconds(1000)));
    Tap(0, kNorth);
    EXPECT_EQ(Events(), (List{"+Prior", "-Prior", "+Next", "-Next", "+Next", "-Next"}));
}

TEST_F(KeyBindings, TheHandsetSwitchesProfilesAndAHeldKeyEndsInItsOwn) {
    Start("[a]\nnorth = key a\nmenu = profile b\n[b]\nnorth = key b\nmenu = profile next\n");
    Settle(0, {kNorth});
    Tap(0, kMenu);            // to b while north is held
    Settle(0);                // north's release: still a's key
    Tap(0, kNorth);
    Tap(0, kMenu);            // next after b: the built-in profile
    Tap(0, kNorth);
    EXPECT_EQ(Bindings()->ActiveProfile(), "builtin");
    EXPECT_EQ(Events(), (List{"+a", "-a", "+b", "-b", "+Up", "-Up"}));
}

TEST_F(KeyBindings, ASecondHandsetsKeysActWhenItsProfileLetsThem) {
    Start("[slides]\nevery-handset = yes\neast = key Right\n");
    Tap(0, kCentre);  // handset 0 holds the pointer
    Events();
    Tap(1, kEast);
    EXPECT_EQ(kit->record().CurrentUser, 0);
    EXPECT_EQ(Events(), (List{"+Right", "-Right"}));
    tavro::test::WriteFile(path, "[slides]\neast = key Right\n");
    ASSERT_TRUE(WaitFor([&] { return tavro::test::LogCapture::Count("bindings: read") >= 2; },
                        std::chrono::milliseconds(1000)));
    Tap(1, kEast);
    EXPECT_EQ(Events(), List{}) << "by default only the active handset's keys act";
}

}  // namespace
