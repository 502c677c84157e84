// The user's key bindings on the uinput output, under a real kernel: packets
// on a pseudo-terminal into the running device, the bindings file in the
// test's home, and the kit's virtual devices read back with libevdev (keys
// and buttons, in order) and libinput (the wheel).
#include <gtest/gtest.h>

#include "DeviceHarness.h"
#include "EvdevReading.h"
#include "KitSegmentTest.h"
#include "Output.h"
#include "Process.h"
#include "Pty.h"
#include "TavroLinux.h"

#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tavro::vmtest;

constexpr auto kLong = 30000ms;

class KeyBindingsOnUinput : public tavro::test::KitSegmentTest {
protected:
    void SetUp() override {
        KitSegmentTest::SetUp();
        if (IsSkipped()) return;
        if (!HaveUinput()) GTEST_SKIP() << "no /dev/uinput: run through tests/vm/run-in-vm.sh";
        setenv("XKB_DEFAULT_LAYOUT", "us", 1);  // the same keymap wherever the test runs
        const std::string path = home_.path() + "/bindings.conf";
        tavro::test::WriteFile(path, "[p]\nup = key ctrl+Next\nright = button right\n"
                                     "down = scroll down 20\nmenu = nothing\n");
        kit = std::make_unique<tavro::test::KitOn<>>(pty.slavePath());
        ASSERT_TRUE(kit->initialized);
        std::string message;
        ASSERT_EQ(kit->kit.SelectOutput(CTavroLinux::OutputChoice::Uinput, 1920, 1080, &message), 0) << message;
        keyboard = std::make_unique<Reader>(FindNode("Tavro keyboard"));
        pointer = std::make_unique<Reader>(FindNode("Tavro pointer"));
        relative = std::make_unique<Reader>(FindNode("Tavro relative pointer"));
        ASSERT_TRUE(keyboard->ok() && pointer->ok() && relative->ok());
        kit->kit.RunOptions.BindingsPath = path;
        running = std::make_unique<tavro::test::RunningDevice>(kit->kit);
        ASSERT_TRUE(running->started());
        kit->record().ActivateCursor = 0;  // keys and buttons only: the pointer stays
    }
    void TearDown() override {
        running.reset();
        keyboard.reset(), pointer.reset(), relative.reset();
        kit.reset();
        KitSegmentTest::TearDown();
    }
    // One packet of handset 0 with `held` keys, through its pass.
    void Settle(std::initializer_list<int> held = {}) {
        unsigned buttons = 0xFFFF;
        for (int line : held) buttons &= ~(1u << line);
        const unsigned before = kit->kit.PassSequence[0].load();
        pty.write(tavro::test::Packet(1, tavro::test::TrackingPayload(0, buttons, 20000, 14400, 50, 16000, 14400, 50)));
        ASSERT_TRUE(WaitFor([&] {
            return kit->kit.PassSequence[0].load() != before && kit->kit.Counts.RunningPasses.load() == 0;
        }, kLong));
    }
    void TapKey(int line) {
        Settle({line});
        Settle();
    }
    // The keyboard's key events up to a sentinel F5 typed after everything else.
    std::vector<Event> KeysUpToSentinel(size_t expected) {
        kit->kit.TV_SendKeyEvent(XK_F5, -1, 0, 5);
        return keyboard->Keys(expected + 2);
    }

    tavro::test::PtyPair pty;
    std::unique_ptr<tavro::test::KitOn<>> kit;
    std::unique_ptr<Reader> keyboard, pointer, relative;
    std::unique_ptr<tavro::test::RunningDevice> running;
};

TEST_F(KeyBindingsOnUinput, EachActionGivesExactlyItsEventsInOrderAndUnboundKeysStayBuiltIn) {
    TapKey(North);
    TapKey(East);
    TapKey(Menu);
    TapKey(West);  // not bound: the built-in Left
    const std::vector<Event> chord{Press(KEY_LEFTCTRL), Press(KEY_PAGEDOWN), Release(KEY_PAGEDOWN),
                                   Release(KEY_LEFTCTRL)};
    EXPECT_EQ(KeysUpToSentinel(6), chord + Tap(KEY_LEFT) + Tap(KEY_F5));
    // The passes wrote the pointers' events before the sentinel: all there.
    EXPECT_EQ(pointer->Drain() + relative->Drain(), Tap(BTN_RIGHT)) << "the right button, and nothing else moved";
}

TEST_F(KeyBindingsOnUinput, AScrollHeldForASecondIsWheelDownDetentsAtItsRateInLibinput) {
    tavro::test::ChildProcess events("/usr/bin/libinput", {"debug-events", "--device", FindNode("Tavro relative pointer")});
    ASSERT_TRUE(events.waitForOutput("DEVICE_ADDED", kLong)) << events.output();
    const auto pressed = std::chrono::steady_clock::now();
    Settle({South});
    const auto settled = std::chrono::steady_clock::now();
    // Packets keep coming while the key is held, as from a handset in use.
    while (std::chrono::steady_clock::now() - pressed < 1s) {
        std::this_thread::sleep_for(50ms);
        Settle({South});
    }
    const auto releasing = std::chrono::steady_clock::now();
    Settle();
    // The count is 1 + 20 per second held, between the shortest and the
    // longest time the key can have been held.
    const double shortest = std::chrono::duration<double>(releasing - settled).count();
    const double longest = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
    std::atomic_load(&kit->kit.DesktopOutput)->MoveRelative(5, 0);  // a sentinel: the wheel came before it
    ASSERT_TRUE(events.waitForOutput("POINTER_MOTION ", kLong)) << events.output();
    const std::vector<std::pair<int, int>> steps = WheelSteps(events.output());
    EXPECT_EQ(std::count(steps.begin(), steps.end(), std::make_pair(120, 0)), static_cast<long>(steps.size()))
        << "only the wheel down, one detent (v120 120) an event: " << events.output();
    EXPECT_GE(static_cast<long>(steps.size()), 1 + static_cast<long>(20 * shortest)) << events.output();
    EXPECT_LE(static_cast<long>(steps.size()), 1 + static_cast<long>(20 * longest)) << events.output();
    EXPECT_EQ(KeysUpToSentinel(0), Tap(KEY_F5)) << "the built-in Down is not typed";
}

}  // namespace
