// Pointer mapping against a real X server (Xvfb, 1920x1080): the edge rules,
// positions that are not finite or beyond the protocol's range, passes
// without any display, the desktop's size from the other sources, and the
// choice of the output where this kernel has no uinput (the uinput output
// itself is tested under a real kernel: tests/vm).
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "Output.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <X11/Xlib.h>

#include <array>
#include <climits>
#include <unistd.h>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr key_t kSegmentKey = 0x7A11;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class PointerMapping : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        TAVRO_REQUIRE_X(xvfb);
        CTavroLinux::SharedMemoryKey = kSegmentKey;
        platform = std::make_unique<CTavroLinux>();
        ASSERT_EQ(platform->Initialize(), 0);
        ASSERT_NE(display, nullptr);
        r = platform->SharedData;
        r->ActivateCursor = 1;
    }
    void TearDown() override {
        platform.reset();
        tavro::test::RemoveSegment(kSegmentKey);
    }
    // The pointer once the server has handled everything the kit sent.
    std::pair<int, int> Pointer() {
        XSync(display, False);
        int x = -1, y = -1;
        tavro::test::QueryPointer(&x, &y);
        return {x, y};
    }

    tavro::test::XvfbServer xvfb;  // before the platform, which opens its display
    std::unique_ptr<CTavroLinux> platform;
    SharedDeviceState* r = nullptr;
};

struct EdgeCase {
    const char* name;
    double x, y, outX, outY;
    uint8_t left, top, right, bottom;
};

class Edges : public PointerMapping, public testing::WithParamInterface<EdgeCase> {};

TEST_P(Edges, ClampAndFlagEachHandsetPosition) {
    const EdgeCase& c = GetParam();
    double x = c.x, y = c.y;
    platform->CalculateScreenBorders(&x, &y, 2);
    EXPECT_TRUE(x == c.outX || (std::isnan(x) && std::isnan(c.outX))) << x;
    EXPECT_DOUBLE_EQ(y, c.outY);
    EXPECT_EQ((std::array<uint8_t, 4>{r->BorderLeft[2], r->BorderTop[2], r->BorderRight[2],
                                      r->BorderBottom[2]}),
              (std::array<uint8_t, 4>{c.left, c.top, c.right, c.bottom}));
}

// Right and bottom test the truncated value: a fraction past the last pixel
// stays; x is held at the width, y at the last row.
INSTANTIATE_TEST_SUITE_P(
    Display1920x1080, Edges,
    testing::Values(EdgeCase{"Left", -5, 540, 0, 540, 1, 0, 0, 0},
                    EdgeCase{"TopJustOutside", 960, -0.5, 960, 0, 0, 1, 0, 0},
                    EdgeCase{"TopEdge", 960, 0, 960, 0, 0, 0, 0, 0},
                    EdgeCase{"RightFraction", 1920.5, 540, 1920.5, 540, 0, 0, 0, 0},
                    EdgeCase{"Right", 1921.2, 540, 1920, 540, 0, 0, 1, 0},
                    EdgeCase{"BottomFraction", 960, 1080.7, 960, 1080.7, 0, 0, 0, 0},
                    EdgeCase{"Bottom", 960, 1081, 960, 1079, 0, 0, 0, 1},
                    EdgeCase{"BeyondIntRange", 1e300, -kInf, 1920, 0, 0, 1, 1, 0},
                    EdgeCase{"NotANumber", kNaN, 540, kNaN, 540, 0, 0, 0, 0}),
    [](const auto& info) { return info.param.name; });

struct WildCase {
    const char* name;
    uint8_t direct, smart;
    double x, y;
    std::pair<int, int> pointer;
};

class WildPositions : public PointerMapping, public testing::WithParamInterface<WildCase> {};

TEST_P(WildPositions, NeverReachTheServerAsGarbage) {
    const WildCase& c = GetParam();
    r->DirectPoint = c.direct, r->SmartPoint = c.smart;
    tavro::test::WarpPointer(700, 500);
    r->X[0] = 700, r->Y[0] = 500;
    double x = c.x, y = c.y;
    platform->CalculateScreenBorders(&x, &y, 0);
    platform->MoveScreenCursor(x, y, c.x, c.y, 0);
    EXPECT_EQ(Pointer(), c.pointer);
}

// Not a number moves nothing; anything else saturates instead of wrapping
// around the protocol's 16-bit coordinates (65636 would land on 100).
INSTANTIATE_TEST_SUITE_P(
    Modes, WildPositions,
    testing::Values(WildCase{"DirectNaN", 1, 0, kNaN, 100, {700, 500}},
                    WildCase{"DirectPastSixteenBits", 1, 0, 65636, -65636, {1919, 0}},
                    WildCase{"DirectHuge", 1, 0, 1e12, 100, {1919, 100}},
                    WildCase{"SmartNaN", 0, 1, kNaN, kNaN, {700, 500}},
                    WildCase{"SmartHuge", 0, 1, 1e12, 1e12, {1919, 1079}},
                    WildCase{"GameNaN", 0, 0, 800, kNaN, {700, 500}},
                    WildCase{"GameHuge", 0, 0, -1e12, kInf, {0, 1079}}),
    [](const auto& info) { return info.param.name; });

TEST(NoDisplay, PassesFillTheRecordAndMakeNoXCall) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    unsetenv("DISPLAY");
    CTavroLinux::SharedMemoryKey = kSegmentKey + 1;
    {
        CTavroLinux platform;
        ASSERT_EQ(display, nullptr);
        ASSERT_EQ(platform.Initialize(), 0);
        SharedDeviceState* r = platform.SharedData;
        r->ActivateCursor = 1, r->SleepingFactor = 0;
        const unsigned char payload[14] = {0x9F, 0xFF, 0x4E, 0x20, 0x38, 0x40, 0, 50,
                                           0x3E, 0x80, 0x38, 0x40, 0, 50};  // (20000|16000, 14400)
        for (uint8_t mode : {0, 1, 2}) {  // direct, smart, game
            r->DirectPoint = mode == 0, r->SmartPoint = mode == 1;
            for (int i = 0; i < 4; ++i) platform.CalculatePODDeviceData(payload);
            // The calibration screen stands in for the display.
            EXPECT_DOUBLE_EQ(r->X[0], 650) << int(mode);
            EXPECT_DOUBLE_EQ(r->Y[0], 380) << int(mode);
        }
        EXPECT_EQ(platform.TV_SendKeyEvent(0xFF52, -1, 0, 5), 0);
        EXPECT_EQ(platform.MouseEventLeftDownUp(), 0);
        EXPECT_EQ(platform.MoveScreenCursorRelative(5, 5), 0);
    }
    tavro::test::RemoveSegment(kSegmentKey + 1);
}

// Without a display the size given to SelectOutput, else the calibration
// screen, sane whatever another process stored in the record.
struct SizeCase {
    const char* name;
    int given[2];
    int32_t xcal, ycal;
    double x, y, outX, outY;
};

class DesktopSize : public testing::TestWithParam<SizeCase> {};

TEST_P(DesktopSize, ClampsToTheSizeInForce) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    unsetenv("DISPLAY");
    CTavroLinux::SharedMemoryKey = kSegmentKey + 2;
    const SizeCase& c = GetParam();
    {
        CTavroLinux platform;
        ASSERT_EQ(platform.Initialize(), 0);
        std::string message;
        ASSERT_EQ(platform.SelectOutput(CTavroLinux::OutputChoice::X11, c.given[0], c.given[1], &message), 0)
            << message;
        SharedDeviceState* r = platform.SharedData;
        r->XcalScreen = c.xcal, r->YcalScreen = c.ycal;
        double x = c.x, y = c.y;
        platform.CalculateScreenBorders(&x, &y, 0);
        EXPECT_EQ(x, c.outX);
        EXPECT_EQ(y, c.outY);
        x = 640, y = 384;
        platform.CalculatePODCoordinates(&x, &y);
        EXPECT_TRUE(std::isfinite(x) && std::isfinite(y)) << x << ", " << y;
    }
    tavro::test::RemoveSegment(kSegmentKey + 2);
}

INSTANTIATE_TEST_SUITE_P(
    NoDisplay, DesktopSize,
    testing::Values(SizeCase{"GivenScreen", {1600, 900}, 1280, 768, 1700, 950, 1600, 899},
                    SizeCase{"CalibrationScreen", {0, 0}, 1280, 768, 1300, 800, 1280, 767},
                    // height - 1 of INT_MIN would overflow: the size is at least 1.
                    SizeCase{"HostileMinimum", {0, 0}, INT32_MIN, INT32_MIN, 5, 5, 1, 0},
                    SizeCase{"HostileZero", {0, 0}, 0, -7, 3, 3, 1, 0},
                    SizeCase{"HostileHuge", {0, 0}, INT32_MAX, INT32_MAX, 40000, 40000, 32767, 32766}),
    [](const auto& info) { return info.param.name; });

class OutputChoice : public PointerMapping {};

TEST_F(OutputChoice, X11WithADisplaySaysSoAndMovesThePointer) {
    std::string message;
    ASSERT_EQ(platform->SelectOutput(CTavroLinux::OutputChoice::Auto, 0, 0, &message), 0);
    EXPECT_EQ(message, "output x11 (X display " + xvfb.name() + "), screen 1920x1080");
    platform->MoveScreenCursorAbsolute(321, 123);
    EXPECT_EQ(Pointer(), std::make_pair(321, 123));
}

TEST_F(OutputChoice, ScreenSizesOutOfRangeAreRefused) {
    std::string message;
    for (auto size : {std::make_pair(-1, 100), std::make_pair(40000, 100), std::make_pair(100, 0)}) {
        EXPECT_EQ(platform->SelectOutput(CTavroLinux::OutputChoice::X11, size.first, size.second, &message), 2);
        EXPECT_NE(message.find("is out of range: give WxH between 1x1 and 32767x32767"), std::string::npos)
            << message;
    }
}

// This machine's kernel has no /dev/uinput: asked for, the one-line error
// with its fix and a failure; auto in a Wayland session falls back to the X
// display and says so.
TEST_F(OutputChoice, UinputMissingIsRefusedAndAutoFallsBackToX11) {
    if (access("/dev/uinput", F_OK) == 0) GTEST_SKIP() << "this kernel has /dev/uinput (tests/vm covers it)";
    std::string message;
    EXPECT_EQ(platform->SelectOutput(CTavroLinux::OutputChoice::Uinput, 0, 0, &message), 1);
    EXPECT_EQ(message, "cannot open /dev/uinput for writing: No such file or directory (fix: load the "
                       "kernel's uinput module: sudo modprobe uinput)");
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    const int result = platform->SelectOutput(CTavroLinux::OutputChoice::Auto, 0, 0, &message);
    unsetenv("XDG_SESSION_TYPE");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(message, "output x11, not uinput (Wayland session: XDG_SESSION_TYPE is wayland), as cannot open "
                       "/dev/uinput for writing: No such file or directory (fix: load the kernel's uinput "
                       "module: sudo modprobe uinput); pointer and keys reach only X11 programs");
    EXPECT_STREQ(std::atomic_load(&platform->DesktopOutput)->Name(), "x11");
    platform->MoveScreenCursorAbsolute(555, 444);
    EXPECT_EQ(Pointer(), std::make_pair(555, 444));
}

// Game mode over an output that records its moves: from the position the
// desktop tells to the aim, or, where it cannot tell (uinput), to the aim
// itself.
class RecordedMoves : public tavro::Output {
public:
    explicit RecordedMoves(bool tells) : tells_(tells) {}
    const char* Name() const override { return "recorded"; }
    bool ScreenSize(int*, int*) override { return false; }
    void MoveAbsolute(int x, int y) override { moves.push_back("to " + Pair(x, y)); }
    void MoveRelative(int dx, int dy) override { moves.push_back("by " + Pair(dx, dy)); }
    bool CursorPosition(int* x, int* y) override {
        *x = *y = 500;
        return tells_;
    }
    void Button(tavro::PointerButton, bool) override {}
    bool Scroll(int, int) override { return false; }
    bool Key(unsigned long, bool) override { return false; }
    void Pause(int) override {}
    void Flush() override {}
    void ReleaseAll() override {}
    std::vector<std::string> moves;

private:
    static std::string Pair(int a, int b) { return std::to_string(a) + "," + std::to_string(b); }
    bool tells_;
};

class GameMode : public PointerMapping, public testing::WithParamInterface<std::pair<bool, const char*>> {};

TEST_P(GameMode, GoesFromThePointerToTheAim) {
    auto output = std::make_shared<RecordedMoves>(GetParam().first);
    std::atomic_store(&platform->DesktopOutput, std::shared_ptr<tavro::Output>(output));
    r->DirectPoint = 0, r->SmartPoint = 0;
    platform->MoveScreenCursor(520.9, 480.2, 520.9, 480.2, 0);
    EXPECT_EQ(output->moves, std::vector<std::string>{GetParam().second});
}

INSTANTIATE_TEST_SUITE_P(Outputs, GameMode,
                         testing::Values(std::make_pair(true, "by 20,-19"), std::make_pair(false, "to 520,480")),
                         [](const auto& info) { return info.param.first ? "ThatTellThePointer" : "ThatCannotTell"; });

}  // namespace
