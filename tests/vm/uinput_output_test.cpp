// The uinput output under a real kernel (run through run-in-vm.sh): the
// virtual devices as libevdev and libinput see them, positions in every
// pointing mode against the X11 output (Xvfb in the same machine), every key
// and button of the keypad in order, scrolling, keys of other processes, the
// ends of a run, and smart and game pointing under sway beside the user's own
// mouse.  Events are read back from /dev/input/event* with libevdev.
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "DeviceHarness.h"
#include "EvdevReading.h"
#include "KitSegmentTest.h"
#include "Output.h"
#include "Process.h"
#include "Pty.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "UinputOutput.h"
#include "XServer.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavro::test::WaitFor;

using namespace tavro::vmtest;

constexpr auto kLong = 30000ms;

// One Xvfb (1920x1080) for the whole program, started on first use: under an
// emulated processor it takes far longer to start than elsewhere.
class SharedXvfb {
public:
    // Started again when it has gone; its messages go to /tmp/tavro-xvfb.log.
    static const std::string& Name() {
        static std::unique_ptr<SharedXvfb> server;
        if (!server || waitpid(server->pid_, nullptr, WNOHANG) != 0) server.reset(new SharedXvfb);
        return server->name_;
    }
    ~SharedXvfb() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    SharedXvfb() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const int log = open("/tmp/tavro-xvfb.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        while (poll(&ready, 1, 120000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) name_ = ":" + number;
    }
    pid_t pid_ = -1;
    std::string name_;
};

// The shared X server as this process's DISPLAY (the kit opens it when made).
#define REQUIRE_X()                                                                    \
    do {                                                                               \
        if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed"; \
        ASSERT_FALSE(SharedXvfb::Name().empty()) << "Xvfb did not start";              \
        setenv("DISPLAY", SharedXvfb::Name().c_str(), 1);                              \
    } while (0)

#define REQUIRE_UINPUT()                                                                   \
    do {                                                                                   \
        if (!HaveUinput()) GTEST_SKIP() << "no /dev/uinput: run through tests/vm/run-in-vm.sh"; \
    } while (0)

// A kit object on a fresh record of its own, with a chosen output.
class Kit {
public:
    explicit Kit(CTavroLinux::OutputChoice choice, int width = 0, int height = 0) {
        tavro::test::RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
        kit = std::make_unique<CTavroLinux>();
        initialized = kit->Initialize() == 0;
        if (initialized) {
            r = kit->SharedData;
            r->SleepingFactor = 0;
            r->ActivateCursor = 1;
        }
        result = kit->SelectOutput(choice, width, height, &message);
    }
    ~Kit() {
        kit.reset();
        tavro::test::RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }
    std::shared_ptr<tavro::Output> output() const { return std::atomic_load(&kit->DesktopOutput); }
    // One calculation pass, as the device's worker runs it.
    void Pass(uint16_t buttons, unsigned ax = 20000, unsigned ay = 14400, unsigned separation = 4000) {
        const tavro::test::Bytes payload =
            tavro::test::TrackingPayload(0, buttons, ax, ay, 50, ax - separation, ay, 50);
        kit->CalculatePODDeviceData(payload.data());
    }
    std::unique_ptr<CTavroLinux> kit;
    SharedDeviceState* r = nullptr;
    bool initialized = false;
    int result = -1;
    std::string message;
};

uint16_t Held(std::initializer_list<int> lines) {
    unsigned buttons = 0xFFFF;
    for (int line : lines) buttons &= ~(1u << line);
    return static_cast<uint16_t>(buttons);
}

class UinputTest : public tavro::test::KitSegmentTest {
protected:
    void SetUp() override {
        KitSegmentTest::SetUp();
        if (IsSkipped()) return;
        REQUIRE_UINPUT();
        // The same keymap wherever the test runs.
        setenv("XKB_DEFAULT_LAYOUT", "us", 1);
    }
    void TearDown() override {
        unsetenv("DISPLAY");
        KitSegmentTest::TearDown();
    }
};

// ---- The devices ----

TEST_F(UinputTest, DevicesHaveTheirNamesCapabilitiesAndRanges) {
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    EXPECT_EQ(k.message.rfind("output uinput (asked for): pointer /dev/input/event", 0), 0u) << k.message;
    EXPECT_NE(k.message.find("screen 1920x1080 as given"), std::string::npos) << k.message;

    Reader pointer(FindNode("Tavro pointer")), keyboard(FindNode("Tavro keyboard"));
    Reader relative(FindNode("Tavro relative pointer"));
    ASSERT_TRUE(pointer.ok() && keyboard.ok() && relative.ok());
    libevdev* p = pointer.device();
    EXPECT_EQ(libevdev_get_id_bustype(p), BUS_VIRTUAL);
    ASSERT_TRUE(libevdev_has_event_code(p, EV_ABS, ABS_X) && libevdev_has_event_code(p, EV_ABS, ABS_Y));
    EXPECT_EQ(libevdev_get_abs_minimum(p, ABS_X), 0);
    EXPECT_EQ(libevdev_get_abs_maximum(p, ABS_X), 1919);
    EXPECT_EQ(libevdev_get_abs_maximum(p, ABS_Y), 1079);
    for (int code : {BTN_LEFT, BTN_MIDDLE, BTN_RIGHT}) EXPECT_TRUE(libevdev_has_event_code(p, EV_KEY, code)) << code;
    EXPECT_FALSE(libevdev_has_event_type(p, EV_REL)) << "relative motion has a device of its own";
    libevdev* rel = relative.device();
    EXPECT_EQ(libevdev_get_id_vendor(rel) << 16 | libevdev_get_id_product(rel), 4617 << 16 | 31235)
        << "the identifier the README gives compositors";
    for (int code : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
        EXPECT_TRUE(libevdev_has_event_code(rel, EV_REL, code)) << code;
    for (int code : {BTN_LEFT, BTN_MIDDLE, BTN_RIGHT}) EXPECT_TRUE(libevdev_has_event_code(rel, EV_KEY, code)) << code;
    EXPECT_FALSE(libevdev_has_event_type(rel, EV_ABS));
    libevdev* kb = keyboard.device();
    for (int code : {KEY_A, KEY_ESC, KEY_ENTER, KEY_LEFT, KEY_LEFTALT, KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_EQUAL})
        EXPECT_TRUE(libevdev_has_event_code(kb, EV_KEY, code)) << code;
    EXPECT_FALSE(libevdev_has_event_type(kb, EV_ABS));
    EXPECT_FALSE(libevdev_has_event_type(kb, EV_REP)) << "repeats are the desktop's";

    // libinput, as a compositor opens them.
    std::string devices;
    ASSERT_EQ(tavro::test::RunProgram("/usr/bin/libinput", {"list-devices"}, &devices), 0) << devices;
    auto block = [&](const std::string& name) {
        const size_t at = devices.find("Device:           " + name);
        return at == std::string::npos ? std::string() : devices.substr(at, devices.find("\n\n", at) - at);
    };
    EXPECT_NE(block("Tavro pointer").find("Capabilities:     pointer"), std::string::npos) << devices;
    EXPECT_NE(block("Tavro relative pointer").find("Capabilities:     pointer"), std::string::npos) << devices;
    EXPECT_NE(block("Tavro keyboard").find("Capabilities:     keyboard"), std::string::npos) << devices;
}

TEST_F(UinputTest, LibinputSeesAbsoluteMotionButtonsAndKeys) {
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    const std::string pointer = FindNode("Tavro pointer"), keyboard = FindNode("Tavro keyboard");
    tavro::test::ChildProcess events("/usr/bin/libinput",
                                     {"debug-events", "--show-keycodes", "--device", pointer, keyboard});
    ASSERT_TRUE(events.waitForOutput("DEVICE_ADDED", kLong) &&
                WaitFor([&] {
                    const std::string out = events.output();
                    return out.find("Tavro pointer") != std::string::npos &&
                           out.find("Tavro keyboard") != std::string::npos;
                }, kLong))
        << events.output();
    k.kit->MoveScreenCursorAbsolute(975, 534);
    k.kit->MouseEventLeftDownUp();
    k.kit->TV_SendKeyEvent(XK_a, -1, 0, 5);
    // Percent of the screen: 975 / 1920 and 534 / 1080.
    // libinput holds a quick release back for its debouncing time.
    EXPECT_TRUE(events.waitForOutput("KEY_A (30) released", kLong)) << events.output();
    EXPECT_TRUE(events.waitForOutput("BTN_LEFT (272) released", kLong)) << events.output();
    const std::string out = events.output();
    EXPECT_NE(out.find("POINTER_MOTION_ABSOLUTE"), std::string::npos) << out;
    EXPECT_NE(out.find("50.78/ 49.44"), std::string::npos) << out;
    EXPECT_NE(out.find("BTN_LEFT (272) pressed"), std::string::npos) << out;
    EXPECT_NE(out.find("BTN_LEFT (272) released"), std::string::npos) << out;
    EXPECT_NE(out.find("KEY_A (30) pressed"), std::string::npos) << out;
}

TEST_F(UinputTest, LibinputSeesScrollFromTheRelativePointer) {
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    const std::string relative = FindNode("Tavro relative pointer");
    tavro::test::ChildProcess events("/usr/bin/libinput", {"debug-events", "--device", relative});
    ASSERT_TRUE(events.waitForOutput("DEVICE_ADDED", kLong)) << events.output();
    EXPECT_TRUE(k.output()->Scroll(0, 2));
    EXPECT_TRUE(k.output()->Scroll(0, -1));
    EXPECT_TRUE(k.output()->Scroll(1, 0));
    EXPECT_TRUE(k.output()->Scroll(-1, 2));
    k.output()->MoveRelative(5, 0);  // a sentinel: the scrolls came before it
    ASSERT_TRUE(events.waitForOutput("POINTER_MOTION ", kLong)) << events.output();
    // libinput gives each axis of a frame its own event, vertical first.
    const std::vector<std::pair<int, int>> expected{{120, 0}, {120, 0}, {-120, 0}, {0, 120},
                                                    {120, 0}, {0, -120}, {120, 0}};
    EXPECT_EQ(WheelSteps(events.output()), expected) << events.output();
}

TEST_F(UinputTest, ButtonsComeFromThePointerThatMovedLast) {
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    Reader absolute(FindNode("Tavro pointer")), relative(FindNode("Tavro relative pointer"));
    const std::shared_ptr<tavro::Output> out = k.output();
    out->Button(tavro::PointerButton::Left, true);  // before any motion: the absolute pointer
    out->MoveRelative(3, 0);
    out->Button(tavro::PointerButton::Left, false);  // where it was pressed
    out->Button(tavro::PointerButton::Right, true);
    out->MoveAbsolute(10, 10);
    out->Button(tavro::PointerButton::Right, false);
    out->Button(tavro::PointerButton::Middle, true);
    out->Button(tavro::PointerButton::Middle, false);
    out->Button(tavro::PointerButton::Left, true);
    out->MoveRelative(2, 0);
    out->Button(tavro::PointerButton::Left, true);  // pressed again: let go on the absolute one
    out->Button(tavro::PointerButton::Left, false);
    EXPECT_EQ(absolute.Keys(6), Tap(BTN_LEFT) + Tap(BTN_MIDDLE) + Tap(BTN_LEFT));
    EXPECT_EQ(relative.Keys(4), Tap(BTN_RIGHT) + Tap(BTN_LEFT));
}

// ---- Positions: the same as the X11 output's ----

struct Aim {
    unsigned x, y, separation;
};
constexpr Aim kCentre{20000, 14400, 4000};  // (975, 534.375) on 1920x1080
constexpr Aim kLeftOff{4000, 14400, 2000};  // off the left edge
constexpr Aim kMoved{26000, 9000, 4000};

struct ModeCase {
    const char* name;
    uint8_t direct, smart, boundary;
};

class PointingModes : public UinputTest, public testing::WithParamInterface<ModeCase> {
protected:
    // The pointer after each pass of a fixed stream, starting from (1000, 500).
    std::vector<std::pair<int, int>> Run(CTavroLinux::OutputChoice choice) {
        if (choice == CTavroLinux::OutputChoice::X11) {
            EXPECT_FALSE(SharedXvfb::Name().empty()) << tavro::test::ReadFile("/tmp/tavro-xvfb.log");
            setenv("DISPLAY", SharedXvfb::Name().c_str(), 1);
        }
        Kit k(choice);
        EXPECT_EQ(k.result, 0) << k.message;
        const ModeCase& c = GetParam();
        k.r->DirectPoint = c.direct, k.r->SmartPoint = c.smart, k.r->MoveAtBoundary = c.boundary;
        std::unique_ptr<Reader> reader, relative;
        if (choice == CTavroLinux::OutputChoice::Uinput) {
            reader = std::make_unique<Reader>(FindNode("Tavro pointer"));
            relative = std::make_unique<Reader>(FindNode("Tavro relative pointer"));
        }
        k.kit->MoveScreenCursorAbsolute(1000, 500);
        std::vector<std::pair<int, int>> positions;
        int x = -1, y = -1;
        for (const Aim& aim : {kCentre, kCentre, kCentre, kCentre, kMoved, kMoved, kLeftOff, kLeftOff, kLeftOff,
                               kLeftOff, kCentre, kCentre}) {
            k.Pass(0xFFFF, aim.x, aim.y, aim.separation);
            if (reader) {
                // As a desktop with the flat profile moves its pointer: to
                // the absolute position of a pass, then by its relative
                // motion, kept on the screen (a pass moves one way only).
                reader->Pump(0ms);
                relative->Pump(0ms);
                if (reader->moved) x = reader->x, y = reader->y;
                x = std::clamp(x + relative->dx, 0, 1919), y = std::clamp(y + relative->dy, 0, 1079);
                reader->moved = false, relative->dx = relative->dy = 0;
            } else {  // the server has handled the kit's moves

                XSync(display, False);
                tavro::test::QueryPointer(&x, &y);
            }
            positions.push_back({x, y});
        }
        return positions;
    }
};

TEST_P(PointingModes, GiveTheX11OutputsPositions) {
    REQUIRE_X();
    const auto x11 = Run(CTavroLinux::OutputChoice::X11);
    // With the X display open (as under XWayland) its size is the devices'.
    const auto uinput = Run(CTavroLinux::OutputChoice::Uinput);
    const ModeCase& c = GetParam();
    if (c.direct || c.smart) {
        EXPECT_EQ(uinput, x11);
    } else {
        // Game mode on uinput moves to the aim itself (the desktop does not
        // tell where its pointer is); X11 moves by the difference from the
        // pointer, cut toward zero, so a move up or left ends 1 px short.
        ASSERT_EQ(uinput.size(), x11.size());
        for (size_t i = 0; i < x11.size(); ++i)
            EXPECT_TRUE(std::abs(uinput[i].first - x11[i].first) <= 1 && std::abs(uinput[i].second - x11[i].second) <= 1)
                << "pass " << i << ": uinput " << uinput[i].first << "," << uinput[i].second << ", x11 "
                << x11[i].first << "," << x11[i].second;
    }
    // Known points of the stream, as the X11 tests have them.
    if (!c.smart) {
        EXPECT_EQ(x11[3], std::make_pair(975, 534)) << "direct and game mode reach the aim";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, PointingModes,
                         testing::Values(ModeCase{"Direct", 1, 0, 0}, ModeCase{"Smart", 0, 1, 0},
                                         ModeCase{"SmartWithBorderSteps", 0, 1, 1},
                                         ModeCase{"Game", 0, 0, 0}),
                         [](const auto& info) { return info.param.name; });

// The recorded session, replayed through a pseudo-terminal into the running
// device: its end puts the pointer where it puts the X11 pointer.
TEST_F(UinputTest, RecordedStreamEndsWhereTheX11PointerEnds) {
    REQUIRE_X();
    std::pair<int, int> ends[2];
    for (int i = 0; i < 2; ++i) {
        const auto choice = i == 0 ? CTavroLinux::OutputChoice::X11 : CTavroLinux::OutputChoice::Uinput;
        tavro::test::ChildProcess simulator(TAVRO_SIM_PATH, {"--replay", std::string(TAVRO_SOURCE_DIR) +
                                                             "/tests/data/streams/session.bin",
                                                             "--replay-rate", "200"});
        std::string slave;
        ASSERT_TRUE(simulator.readLine(&slave));
        Kit k(choice);
        ASSERT_EQ(k.result, 0) << k.message;
        k.r->DirectPoint = 1;
        tavro::test::SetDeviceName(*k.r, slave);
        std::unique_ptr<Reader> reader;
        if (i == 1) reader = std::make_unique<Reader>(FindNode("Tavro pointer"));
        {
            tavro::test::RunningDevice running(*k.kit);
            ASSERT_TRUE(WaitFor([&] { return k.r->RawDataLength == 2 && k.r->RawData[0] == 0xEE; }, kLong));
            EXPECT_EQ(running.Stop(), 0);
        }
        if (reader) {
            reader->Pump(0ms);
            ends[i] = {reader->x, reader->y};
        } else {
            XSync(display, False);
            tavro::test::QueryPointer(&ends[i].first, &ends[i].second);
        }
        k.kit->CloseDevice();
    }
    EXPECT_EQ(ends[1], ends[0]);
    EXPECT_NE(ends[0], std::make_pair(960, 540)) << "the stream moved the pointer from the centre";
}

// Steady aim in direct mode through the device's threads: (975, 534).
TEST_F(UinputTest, SteadyAimThroughTheDeviceLandsOnTheCalibratedPoint) {
    tavro::test::PtyPair pty;
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    Reader reader(FindNode("Tavro pointer"));
    tavro::test::SetDeviceName(*k.r, pty.slavePath());
    tavro::test::RunningDevice running(*k.kit);
    ASSERT_TRUE(running.started());
    for (int i = 0; i < 6; ++i)
        pty.write(tavro::test::Packet(1, tavro::test::TrackingPayload(0, 0xFFFF, 20000, 14400, 50, 16000, 14400, 50)));
    EXPECT_TRUE(WaitFor([&] {
        reader.Pump(10ms);
        return reader.x == 975 && reader.y == 534;
    }, kLong)) << reader.x << "," << reader.y;
    EXPECT_EQ(running.Stop(), 0);
}

// ---- The keypad: every key and button, in order ----

class Keypad : public UinputTest {
protected:
    void SetUp() override {
        UinputTest::SetUp();
        if (IsSkipped()) return;
        k = std::make_unique<Kit>(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
        ASSERT_EQ(k->result, 0) << k->message;
        k->r->ActivateCursor = 0;  // buttons and keys only
        pointer = std::make_unique<Reader>(FindNode("Tavro pointer"));
        keyboard = std::make_unique<Reader>(FindNode("Tavro keyboard"));
        ASSERT_TRUE(pointer->ok() && keyboard->ok());
    }
    void TearDown() override {
        pointer.reset();
        keyboard.reset();
        k.reset();
        UinputTest::TearDown();
    }
    void Hold(int line, int packets) {
        for (int i = 0; i < packets; ++i) k->Pass(Held({line}));
        k->Pass(0xFFFF);
    }
    std::unique_ptr<Kit> k;
    std::unique_ptr<Reader> pointer, keyboard;
};

TEST_F(Keypad, CentreClickAndDragPressAndReleaseTheLeftButton) {
    Hold(Center, 1);
    EXPECT_EQ(pointer->Keys(2), Tap(BTN_LEFT));
    // A drag: pressed while the handset moves, released at the end.
    k->r->ActivateCursor = 1;
    k->Pass(Held({Center}));
    for (unsigned x = 20000; x < 26000; x += 1000) k->Pass(Held({Center}), x);
    k->Pass(0xFFFF);
    const std::vector<Event> drag = pointer->Drain();
    ASSERT_GE(drag.size(), 3u);
    EXPECT_EQ(drag.front(), Press(BTN_LEFT));
    EXPECT_EQ(drag.back().type == EV_KEY ? drag.back() : Event{}, Release(BTN_LEFT));
    int moves = 0;
    for (const Event& e : drag) moves += e.type == EV_ABS;
    EXPECT_GT(moves, 0) << "the pointer moved while the button was down";
    EXPECT_TRUE(keyboard->Drain().empty());
}

struct HoldCase {
    const char* name;
    int line, packets;
    std::vector<Event> keys, buttons;
};

class KeypadHolds : public Keypad, public testing::WithParamInterface<HoldCase> {};

TEST_P(KeypadHolds, SendTheirKeysInOrder) {
    const HoldCase& c = GetParam();
    Hold(c.line, c.packets);
    k->kit->TV_SendKeyEvent(XK_F5, -1, 0, 5);  // a sentinel: everything before it has arrived
    EXPECT_EQ(keyboard->Keys(c.keys.size() + 2), c.keys + Tap(KEY_F5));
    EXPECT_EQ(pointer->Keys(c.buttons.size(), 200ms), c.buttons);
}

std::vector<Event> Times(int n, const std::vector<Event>& events) {
    std::vector<Event> out;
    for (int i = 0; i < n; ++i) out = out + events;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Holds, KeypadHolds,
    testing::Values(
        HoldCase{"UpFifteenRepeats", North, 15, Times(7, Tap(KEY_UP)), {}},
        HoldCase{"DownShort", South, 1, Tap(KEY_DOWN), {}},
        HoldCase{"LeftShort", West, 1, Tap(KEY_LEFT), {}},
        HoldCase{"RightTwelve", East, 12, Times(4, Tap(KEY_RIGHT)), {}},
        HoldCase{"BackIsAltLeft", NorthWest, 2,
                 {Press(KEY_LEFTALT), Press(KEY_LEFT), Release(KEY_LEFT), Release(KEY_LEFTALT)}, {}},
        HoldCase{"EscapeOnLongHold", NorthWest, 11, Times(2, Tap(KEY_ESC)), {}},
        HoldCase{"EnterShort", SouthEast, 4, Tap(KEY_ENTER), {}},
        HoldCase{"MiddleClickOnLongHold", SouthEast, 20, {}, Tap(BTN_MIDDLE)}),
    [](const auto& info) { return info.param.name; });

TEST_F(Keypad, LowerLeftZoomsWithControlPlusAndMinus) {
    // D0 70 over the separation: 2333 is 3.0004 at the press, 2318 one step
    // nearer... farther (Ctrl+plus), back to 2333 one step back (Ctrl+minus).
    auto at = [&](unsigned s) { k->Pass(Held({SouthWest}), 16000 + s, 14400, s); };
    at(2333);
    at(2333);
    at(2318);
    at(2333);
    k->Pass(0xFFFF);
    // "+" is Shift+"=" on the US keymap: the modifier it needs is pressed too.
    const std::vector<Event> plus{Press(KEY_LEFTCTRL), Press(KEY_LEFTSHIFT), Press(KEY_EQUAL),
                                  Release(KEY_EQUAL), Release(KEY_LEFTSHIFT), Release(KEY_LEFTCTRL)};
    const std::vector<Event> minus{Press(KEY_LEFTCTRL), Press(KEY_MINUS), Release(KEY_MINUS),
                                   Release(KEY_LEFTCTRL)};
    EXPECT_EQ(keyboard->Keys(10), plus + minus);
}

TEST_F(Keypad, UnknownSymbolsSendNothingAndAreLoggedOnce) {
    for (int mode : {0, 1, 2}) k->kit->TV_SendKeyEvent(0x100263A, -1, mode, 0);
    k->kit->TV_SendKeyEvent(XK_a, -1, 0, 0);
    EXPECT_EQ(keyboard->Keys(2), Tap(KEY_A));
    int logged = 0;
    for (const std::string& line : Log()) logged += line.find("0x100263a") != std::string::npos;
    EXPECT_EQ(logged, 1);
}

TEST_F(Keypad, AFloodOfDistinctUnknownSymbolsIsOneLine) {
    for (int symbol = 0x1100000; symbol < 0x1100000 + 20000; ++symbol) k->kit->TV_SendKeyEvent(symbol, -1, 0, 0);
    k->kit->TV_SendKeyEvent(XK_a, -1, 0, 0);
    EXPECT_EQ(keyboard->Keys(2), Tap(KEY_A));
    int logged = 0;
    for (const std::string& line : Log()) logged += line.find("cannot type") != std::string::npos;
    EXPECT_EQ(logged, 1);
}

TEST_F(UinputTest, KeysFollowTheUsersKeymap) {
    setenv("XKB_DEFAULT_LAYOUT", "de", 1);  // QWERTZ; "@" is AltGr+Q
    Kit k(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(k.result, 0) << k.message;
    Reader keyboard(FindNode("Tavro keyboard"));
    k.kit->TV_SendKeyEvent(XK_z, -1, 0, 0);
    k.kit->TV_SendKeyEvent(XK_at, -1, 0, 0);
    const std::vector<Event> at{Press(KEY_RIGHTALT), Press(KEY_Q), Release(KEY_Q), Release(KEY_RIGHTALT)};
    EXPECT_EQ(keyboard.Keys(6), Tap(KEY_Y) + at);
}

// ---- Keys of other processes ----

TEST_F(UinputTest, ClientKeysGoThroughTheDaemonsKeyboard) {
    Kit daemon(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(daemon.result, 0) << daemon.message;
    Reader keyboard(FindNode("Tavro keyboard"));
    std::string output;
    // The client shares the record (the test's IPC namespace) and the user.
    ASSERT_EQ(tavro::test::RunProgram(SEND_KEY_CLIENT_PATH, {"0x61", "0xff0d"}, &output), 0) << output;
    EXPECT_EQ(keyboard.Keys(4), Tap(KEY_A) + Tap(KEY_ENTER)) << "the first key too";
}

TEST_F(UinputTest, ClientInAWaylandSessionWithoutDaemonKeepsItsFirstKey) {
    // A fresh keyboard of the client's own: it waits until the desktop (this
    // test) has opened the device before its first key.
    setenv("WAYLAND_DISPLAY", "wayland-test", 1);
    tavro::test::ChildProcess client(SEND_KEY_CLIENT_PATH, {"0x61", "0x62"});
    unsetenv("WAYLAND_DISPLAY");
    const std::string node = FindNode("Tavro keyboard");
    ASSERT_FALSE(node.empty()) << client.output();
    Reader keyboard(node);
    EXPECT_EQ(keyboard.Keys(4), Tap(KEY_A) + Tap(KEY_B)) << client.output();
    EXPECT_EQ(client.wait(kLong), 0) << client.output();
}

TEST_F(UinputTest, ClientWithoutDaemonWaitsUntilALateDesktopReadsItsKey) {
    // The desktop opens new devices a while after udev is done with them.
    setenv("WAYLAND_DISPLAY", "wayland-test", 1);
    tavro::test::ChildProcess client(SEND_KEY_CLIENT_PATH, {"0x61"});
    unsetenv("WAYLAND_DISPLAY");
    const std::string node = FindNode("Tavro keyboard");
    ASSERT_FALSE(node.empty()) << client.output();
    std::this_thread::sleep_for(1500ms);
    Reader keyboard(node);
    ASSERT_TRUE(keyboard.ok()) << "the client's keyboard went unread: " << client.output();
    EXPECT_EQ(keyboard.Keys(2), Tap(KEY_A)) << client.output();
    EXPECT_EQ(client.wait(kLong), 0) << client.output();
}

TEST_F(UinputTest, AClientsKeyThatNobodyReadsIsNotTypedAndSaysWhy) {
    std::string error;
    const auto keyboard = tavro::UinputOutput::Create(1, 1, false, &error);
    ASSERT_TRUE(keyboard) << error;
    EXPECT_FALSE(keyboard->Key(XK_a, true));
    EXPECT_TRUE(Logged("Key 0x61 not typed: nothing held its virtual keyboard /dev/input/event")) << Log().size();
}

TEST_F(UinputTest, TheDaemonsKeysDoNotWaitForTheDesktopToRead) {
    Kit daemon(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
    ASSERT_EQ(daemon.result, 0) << daemon.message;
    Reader idle(FindNode("Tavro keyboard"));  // holds the device, reads nothing
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) daemon.kit->TV_SendKeyEvent(XK_a, -1, 0, 5);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 3000) << "50 taps";
}

// ---- Under a Wayland compositor (sway), beside the user's own mouse ----

// sway on a headless 1920x1080 output, reading the machine's input devices
// through libinput (a seat from seatd), with the kit's relative pointer on
// the flat profile as the README says, and a full-screen wev that prints
// every pointer motion it gets: its surface position is the desktop's
// pointer position.  Started once for the program; sway runs as nobody, as
// it refuses root.
class SwayDesktop {
public:
    static SwayDesktop* Get() {
        static std::unique_ptr<SwayDesktop> desktop;
        if (!desktop) desktop.reset(new SwayDesktop);
        return desktop.get();
    }
    ~SwayDesktop() {
        wev_.reset();
        sway_.reset();
        seatd_.reset();
    }
    const std::string& failure() const { return failure_; }
    // True once sway has taken the input device of this identifier.
    bool HasInput(const std::string& identifier) {
        std::string inputs;
        return Msg("get_inputs", &inputs) && inputs.find("\"identifier\": \"" + identifier + "\"") != std::string::npos;
    }
    // The pointer positions wev reported so far (entering its surface and
    // moving on it), and the latest.
    size_t Motions() { return Count(wev_->output(), "x, y: "); }
    std::pair<int, int> Pointer() {
        const std::string out = wev_->output();
        const size_t at = out.rfind("x, y: ");
        if (at == std::string::npos) return {-1, -1};
        double x = -1, y = -1;
        std::sscanf(out.c_str() + at, "x, y: %lf, %lf", &x, &y);
        return {static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))};
    }
    std::string Log() { return tavro::test::ReadFile(kDir + "/sway.log"); }
    std::string Wev() { return wev_->output(); }

private:
    static inline const std::string kDir = "/tmp/tavro-sway";
    static size_t Count(const std::string& text, const std::string& word) {
        size_t n = 0;
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
        return n;
    }
    bool Msg(const char* type, std::string* out) {
        return tavro::test::RunProgram("/usr/bin/swaymsg", {"-s", socket_, "-t", type}, out) == 0;
    }
    SwayDesktop() {
        for (const char* tool : {"/usr/bin/sway", "/usr/sbin/seatd", "/usr/bin/wev", "/usr/bin/setpriv"})
            if (access(tool, X_OK) != 0) {
                failure_ = std::string(tool) + " is missing: apt-get install sway seatd wev";
                return;
            }
        mkdir(kDir.c_str(), 0700);
        const std::string runtime = kDir + "/runtime";
        mkdir(runtime.c_str(), 0700);
        if (chown(kDir.c_str(), 65534, 65534) != 0 || chown(runtime.c_str(), 65534, 65534) != 0) {
            failure_ = "cannot give " + kDir + " to nobody";
            return;
        }
        tavro::test::WriteFile(kDir + "/config",
                               "output HEADLESS-1 mode 1920x1080 position 0 0\n"
                               "input \"" + std::string(tavro::kUinputRelativePointerIdentifier) +
                                   "\" accel_profile flat\n"
                               "for_window [app_id=\"wev\"] fullscreen enable\n");
        seatd_ = std::make_unique<tavro::test::ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec seatd -u nobody -g nogroup >" + kDir + "/seatd.log 2>&1"});
        if (!WaitFor([] { return access("/run/seatd.sock", F_OK) == 0; }, kLong)) {
            failure_ = "seatd did not start: " + tavro::test::ReadFile(kDir + "/seatd.log");
            return;
        }
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        sway_ = std::make_unique<tavro::test::ChildProcess>(
            "/bin/sh", std::vector<std::string>{
                           "-c", "LIBSEAT_BACKEND=seatd WLR_BACKENDS=headless,libinput WLR_RENDERER=pixman "
                                 "WLR_LIBINPUT_NO_DEVICES=1 exec setpriv --reuid=65534 --regid=65534 --clear-groups "
                                 "sway -c " + kDir + "/config >" + kDir + "/sway.log 2>&1"});
        std::string wayland;
        WaitFor([&] {
            for (const char* name : {"wayland-1", "wayland-0"})
                if (access((runtime + "/" + name).c_str(), F_OK) == 0) wayland = name;
            return !wayland.empty();
        }, kLong);
        if (wayland.empty()) {
            failure_ = "sway did not start: " + Log();
            return;
        }
        WaitFor([&] {
            for (int pid = 1; pid < 4096 && socket_.empty(); ++pid) {
                const std::string path = runtime + "/sway-ipc.65534." + std::to_string(pid) + ".sock";
                if (access(path.c_str(), F_OK) == 0) socket_ = path;
            }
            return !socket_.empty();
        }, kLong);
        setenv("WAYLAND_DISPLAY", wayland.c_str(), 1);
        wev_ = std::make_unique<tavro::test::ChildProcess>(
            "/usr/bin/stdbuf", std::vector<std::string>{"-oL", "/usr/bin/wev", "-f", "wl_pointer:enter", "-f", "wl_pointer:motion"});
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_RUNTIME_DIR");
        std::string tree;
        if (!WaitFor([&] {
                return Msg("get_tree", &tree) && tree.find("\"app_id\": \"wev\"") != std::string::npos &&
                       tree.find("\"fullscreen_mode\": 1") != std::string::npos;
            }, kLong))
            failure_ = "wev did not come up full-screen: " + wev_->output() + tree;
    }
    std::unique_ptr<tavro::test::ChildProcess> seatd_, sway_, wev_;
    std::string socket_, failure_;
};

// A second mouse, the user's own: a relative device as any USB mouse is.
class UsersMouse {
public:
    UsersMouse() {
        libevdev* device = libevdev_new();
        libevdev_set_name(device, "Test mouse");
        libevdev_enable_event_type(device, EV_REL);
        libevdev_enable_event_code(device, EV_REL, REL_X, nullptr);
        libevdev_enable_event_code(device, EV_REL, REL_Y, nullptr);
        libevdev_enable_event_type(device, EV_KEY);
        libevdev_enable_event_code(device, EV_KEY, BTN_LEFT, nullptr);
        libevdev_uinput_create_from_device(device, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput_);
        libevdev_free(device);
    }
    ~UsersMouse() {
        if (uinput_) libevdev_uinput_destroy(uinput_);
    }
    void Move(int dx, int dy) {
        libevdev_uinput_write_event(uinput_, EV_REL, REL_X, dx);
        libevdev_uinput_write_event(uinput_, EV_REL, REL_Y, dy);
        libevdev_uinput_write_event(uinput_, EV_SYN, SYN_REPORT, 0);
    }

private:
    libevdev_uinput* uinput_ = nullptr;
};

class UnderSway : public UinputTest {
protected:
    void SetUp() override {
        UinputTest::SetUp();
        if (IsSkipped()) return;
        desktop = SwayDesktop::Get();
        if (desktop->failure().find("is missing") != std::string::npos) GTEST_SKIP() << desktop->failure();
        ASSERT_TRUE(desktop->failure().empty()) << desktop->failure();
        mouse = std::make_unique<UsersMouse>();
        k = std::make_unique<Kit>(CTavroLinux::OutputChoice::Uinput, 1920, 1080);
        ASSERT_EQ(k->result, 0) << k->message;
        ASSERT_TRUE(WaitFor([&] {
            return desktop->HasInput("4617:31233:Tavro_pointer") &&
                   desktop->HasInput(tavro::kUinputRelativePointerIdentifier) && desktop->HasInput("0:0:Test_mouse");
        }, kLong)) << desktop->Log();
        // Where the user's mouse leaves the pointer: from (1322, 803) up and
        // to the left, by however much sway's acceleration makes of it.
        // (Again until sway shows it: the first events of a new device may
        // come before sway reads it.)
        ASSERT_TRUE(WaitFor([&] {
            k->kit->MoveScreenCursorAbsolute(1322, 803);
            std::this_thread::sleep_for(100ms);
            return desktop->Pointer() == std::make_pair(1322, 803);
        }, kLong)) << desktop->Wev();
        const size_t before = desktop->Motions();
        mouse->Move(-339, -226);
        ASSERT_TRUE(WaitFor([&] { return desktop->Motions() > before; }, kLong)) << "the user's mouse moved nothing";
        left = desktop->Pointer();
        ASSERT_LT(left.first, 1322 - 100) << "the user's mouse moved the pointer well away";
    }
    void TearDown() override {
        k.reset();
        mouse.reset();
        // Gone from sway too, so that the next test waits for its own devices.
        if (desktop != nullptr) {
            EXPECT_TRUE(WaitFor([&] {
                return !desktop->HasInput(tavro::kUinputRelativePointerIdentifier) &&
                       !desktop->HasInput("0:0:Test_mouse");
            }, kLong));
        }
        UinputTest::TearDown();
    }
    // Makes the move, then waits until the desktop's pointer is at `where`.
    bool MovesTo(const std::function<void()>& move, std::pair<int, int> where) {
        move();
        const bool there = WaitFor([&] { return desktop->Pointer() == where; }, 10000ms);
        EXPECT_EQ(desktop->Pointer(), where) << "pointer after the move; wev: " << desktop->Wev();
        return there;
    }
    SwayDesktop* desktop = nullptr;
    std::unique_ptr<UsersMouse> mouse;
    std::unique_ptr<Kit> k;
    std::pair<int, int> left;
};

TEST_F(UnderSway, SmartMovesGoOnFromWhereTheUsersMouseLeftThePointer) {
    k->r->DirectPoint = 0, k->r->SmartPoint = 1, k->r->MoveAtBoundary = 0;
    k->r->X[0] = 500, k->r->Y[0] = 500;
    // Two sub-frames of the handset, 15 px right and then 15 px down.
    MovesTo([&] { k->kit->MoveScreenCursor(515, 500, 515, 500, 0); }, {left.first + 15, left.second});
    MovesTo([&] { k->kit->MoveScreenCursor(515, 515, 515, 515, 0); }, {left.first + 15, left.second + 15});
}

TEST_F(UnderSway, GameModeLandsOnTheAimWhereverThePointerWas) {
    k->r->DirectPoint = 0, k->r->SmartPoint = 0;
    MovesTo([&] { k->kit->MoveScreenCursor(700, 300, 700.4, 300.6, 0); }, {700, 300});
}

// ---- Ends of a run ----

class DaemonEnd : public UinputTest, public testing::WithParamInterface<int> {};

TEST_P(DaemonEnd, ReleasesTheHeldCentreButton) {
    tavro::test::PtyPair pty;
    tavro::test::ChildProcess daemon(TAVROD_PATH, {"--device", pty.slavePath(), "--output", "uinput",
                                                   "--screen", "1920x1080"});
    const std::string node = FindNode("Tavro pointer");
    ASSERT_FALSE(node.empty()) << daemon.output();
    Reader pointer(node);
    ASSERT_TRUE(daemon.waitForOutput("running the receiver", kLong)) << daemon.output();
    // Centre held: a fresh press presses the left button (packets again
    // until it does: what arrives while the tty is being set up is dropped).
    std::vector<Event> pressed;
    const auto end = std::chrono::steady_clock::now() + kLong;
    while (pressed.empty() && std::chrono::steady_clock::now() < end) {
        pty.write(tavro::test::Packet(1, tavro::test::TrackingPayload(0, Held({Center}), 20000, 14400, 50,
                                                                      16000, 14400, 50)));
        pressed = pointer.Keys(1, 100ms);
    }
    ASSERT_EQ(pressed, std::vector<Event>{Press(BTN_LEFT)}) << daemon.output();
    daemon.signal(GetParam());
    // On a stop the daemon lets go before its devices go; after SIGKILL the
    // kernel removes them (and the desktop's libinput releases what they
    // held).
    if (GetParam() != SIGKILL) {
        EXPECT_EQ(pointer.Keys(1, kLong), std::vector<Event>{Release(BTN_LEFT)}) << daemon.output();
    }
    EXPECT_TRUE(WaitFor([&] {
        pointer.Pump(10ms);
        return pointer.gone();
    }, kLong)) << "the virtual devices go with the daemon";
    const int status = daemon.wait(kLong);
    if (GetParam() != SIGKILL) {
        EXPECT_EQ(status, 0) << daemon.output();
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonEnd, testing::Values(SIGTERM, SIGINT, SIGKILL),
                         [](const auto& info) {
                             return info.param == SIGTERM ? "Term" : info.param == SIGINT ? "Int" : "Kill";
                         });

// No access to /dev/uinput: asked for, the one-line error; auto falls back
// to X11 with a note.  Checked in a child that is not root.
// Last of all (parameterised suites run after the others, in the order they
// are defined): the X server's connections misbehave after this child's.
class NoAccess : public UinputTest, public testing::WithParamInterface<int> {};

TEST_P(NoAccess, UinputIsRefusedAndAutoFallsBackToX11) {
    REQUIRE_X();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(GetParam()) != 0 || setuid(GetParam()) != 0) _exit(3);
        std::string lines;
        {
            CTavroLinux kit;
            std::string message;
            const int refused = kit.SelectOutput(CTavroLinux::OutputChoice::Uinput, 0, 0, &message);
            lines += std::to_string(refused) + "|" + message + "\n";
            setenv("WAYLAND_DISPLAY", "wayland-test", 1);
            const int fellBack = kit.SelectOutput(CTavroLinux::OutputChoice::Auto, 0, 0, &message);
            kit.MoveScreenCursorAbsolute(300, 200);
            XSync(display, False);
            int x = -1, y = -1;
            tavro::test::QueryPointer(&x, &y);
            lines += std::to_string(fellBack) + "|" + message + "\n" + std::to_string(x) + "," +
                     std::to_string(y) + "\n";
        }
        (void)!write(pipeFds[1], lines.data(), lines.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("1|cannot open /dev/uinput for writing: Permission denied (fix: enable the kit's "
                        "udev rule 70-tavro-uinput.rules"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("0|output x11, not uinput (Wayland session: WAYLAND_DISPLAY is wayland-test), as "
                        "cannot open /dev/uinput for writing: Permission denied"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n300,200\n"), std::string::npos) << "the X11 output took over: " << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << "one line each: " << text;
}

INSTANTIATE_TEST_SUITE_P(AsNobody, NoAccess, testing::Values(65534));

}  // namespace
