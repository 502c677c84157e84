// Pointer mapping against a real X server (Xvfb, 1920x1080): the edge rules,
// positions that are not finite or beyond the protocol's range, and passes
// without any display.
// GoogleTest before Xlib, whose macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <X11/Xlib.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

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

}  // namespace
