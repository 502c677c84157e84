// The calculation pass without a display: payload to raw values, validity,
// sub-frames and their waits, border steps, and overlapping passes.
#include "FakePlatform.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <thread>

using tavro::test::FakePlatform;
using tavro::test::Tracking;

namespace {

struct Spots {
    unsigned ax, ay, ap, bx, by, bp;
};
const Spots kLevel{20000, 14400, 50, 16000, 14400, 50};  // raw (180, 144), 40 px apart

struct GeometryCase {
    const char* name;
    Spots s;
    double rawY, distance, roll, thetaX;
    int power1, power2;
};

class Geometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, OrdersSpotsByXAndDerivesRawValues) {
    const GeometryCase& c = GetParam();
    FakePlatform core;
    auto p = Tracking(0, 0xFFFF, c.s.ax, c.s.ay, c.s.ap, c.s.bx, c.s.by, c.s.bp);
    EXPECT_EQ(core.CalculateData(p.data(), 0), 1);
    const SharedDeviceState& r = *core.SharedData;
    EXPECT_DOUBLE_EQ(r.RawX[0], 180);
    EXPECT_DOUBLE_EQ(r.RawY[0], c.rawY);
    EXPECT_DOUBLE_EQ(r.Distance[0], c.distance);
    EXPECT_NEAR(r.Roll[0], c.roll, 1e-12);
    EXPECT_NEAR(r.ThetaX[0], c.thetaX, 1e-12);
    EXPECT_EQ(r.Power1[0], c.power1);  // the spot with the larger x
    EXPECT_EQ(r.Power2[0], c.power2);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, Geometry,
    testing::Values(
        GeometryCase{"Level", kLevel, 144, 1.75, 0, 0, 50, 50},
        GeometryCase{"BrighterRight", {20000, 14400, 40, 16000, 14400, 10}, 144, 1.75, 0,
                     std::log(10.0 / 40), 40, 10},
        GeometryCase{"BrighterRightGivenSecond", {16000, 14400, 10, 20000, 14400, 40}, 144,
                     1.75, 0, std::log(10.0 / 40), 40, 10},
        GeometryCase{"Tilted", {20000, 14000, 50, 16000, 14400, 50}, 142, 70 / std::sqrt(1616.0),
                     std::atan(0.1), 0, 50, 50},
        GeometryCase{"EqualXTakesAFirst", {18000, 14000, 30, 18000, 16000, 20}, 150, 3.5, 0,
                     std::log(20.0 / 30), 30, 20}),
    [](const auto& info) { return info.param.name; });

TEST(Geometry, RollBeyondPointThreeFiveRaisesItsFlag) {
    // Spot A 4000 units right of B and dy lower: roll atan(dy / 4000).
    const struct { int dy; uint8_t below, above; } cases[] = {
        {1460, 0, 0}, {1463, 0, 1}, {-1460, 0, 0}, {-1463, 1, 0}};  // 0.3497 and 0.3504 rad
    for (const auto& c : cases) {
        FakePlatform core;
        auto p = Tracking(0, 0xFFFF, 20000, 14400 - c.dy, 50, 16000, 14400, 50);
        core.CalculateData(p.data(), 0);
        EXPECT_EQ(core.SharedData->AngleBelowLimit[0], c.below) << c.dy;
        EXPECT_EQ(core.SharedData->AngleAboveLimit[0], c.above) << c.dy;
    }
}

struct ValidityCase {
    const char* name;
    Spots s;
    int powerThresh;
    double d0;
    int result;
    bool stored;  // raw position and distance taken from this packet
};

class Validity : public testing::TestWithParam<ValidityCase> {};

TEST_P(Validity, DecidesWhetherThePacketMovesAndIsStored) {
    const ValidityCase& c = GetParam();
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.RawX[0] = -1, r.Distance[0] = -1;
    r.PowerThresh = c.powerThresh, r.D0 = c.d0;
    auto p = Tracking(0, 0xFFFF & ~(1u << East), c.s.ax, c.s.ay, c.s.ap, c.s.bx, c.s.by, c.s.bp);
    EXPECT_EQ(core.CalculateData(p.data(), 0), c.result);
    EXPECT_EQ(r.RawX[0] != -1, c.stored);
    EXPECT_EQ(r.Distance[0] != -1, c.stored);
    EXPECT_EQ(r.Power1[0], int(c.s.ap > c.s.bp ? c.s.ap : c.s.bp)) << "powers always stored";
    ASSERT_EQ(core.handlerCalls.size(), 10u) << "buttons always dispatched";
    EXPECT_EQ(core.handlerCalls[East].second, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, Validity,
    testing::Values(ValidityCase{"Valid", kLevel, 1, 70, 1, true},
                    ValidityCase{"PowerAtThreshold", {20000, 14400, 2, 16000, 14400, 1}, 1, 70, 0, false},
                    ValidityCase{"NegativeThresholdIsHuge", kLevel, -1, 70, 0, false},
                    ValidityCase{"DistanceAtLimit", kLevel, 1, 480, 1, true},       // 12.0
                    ValidityCase{"DistanceBeyondLimit", kLevel, 1, 480.4, 0, true},  // 12.01
                    ValidityCase{"MergedSpots", {18000, 14400, 50, 18000, 14400, 50}, 1, 70, 0, true}),
    [](const auto& info) { return info.param.name; });

struct SubframeCase {
    int setting, sleepingFactor;
    size_t moves;
    int pause;
};

class Subframes : public testing::TestWithParam<SubframeCase> {};

TEST_P(Subframes, MoveAndWaitOncePerSubframeWithinTheTable) {
    const SubframeCase& c = GetParam();
    FakePlatform core;
    core.SharedData->SubframeInterpolation = c.setting;
    core.SharedData->SleepingFactor = c.sleepingFactor;
    auto p = Tracking(0, 0xFFFF, kLevel.ax, kLevel.ay, 50, kLevel.bx, kLevel.by, 50);
    core.CalculatePODDeviceData(p.data());
    EXPECT_EQ(core.sleeps, std::vector<int>(c.moves, c.pause));
    // Equal steps from the previous output (0, 0) to the new one (650, 380).
    ASSERT_EQ(core.moves.size(), c.moves);
    for (size_t k = 1; k <= c.moves; ++k) {
        EXPECT_NEAR(core.moves[k - 1].x, 650.0 * k / c.moves, 1e-9);
        EXPECT_NEAR(core.moves[k - 1].y, 380.0 * k / c.moves, 1e-9);
    }
}

// At most ten sub-frames; the wait saturates instead of overflowing or going negative.
INSTANTIATE_TEST_SUITE_P(Settings, Subframes,
                         testing::Values(SubframeCase{3, 30, 3, 10000}, SubframeCase{0, 30, 0, 0},
                                         SubframeCase{-2, 30, 0, 0}, SubframeCase{25, 30, 10, 3000},
                                         SubframeCase{3, -5, 3, 0},
                                         SubframeCase{3, 0x7FFFFFFF, 3, 0x7FFFFFFF}));

TEST(Pass, DoesNothingOnceStopped) {
    FakePlatform core;
    core.SharedData->StopRequest = 1;
    auto p = Tracking(2, 0xFFFF, kLevel.ax, kLevel.ay, 50, kLevel.bx, kLevel.by, 50);
    core.CalculatePODDeviceData(p.data());
    EXPECT_EQ(core.SharedData->PacketUser, 99);
    EXPECT_EQ(core.SharedData->HistoryCount[2], 0);
    EXPECT_TRUE(core.moves.empty());
}

TEST(Pass, BorderStepsOnlyForTheDrivingHandsetInFlagOrder) {
    // (active handset, MoveAtBoundary, MoveEnabled) -> steps per sub-frame
    const struct { int current; uint8_t atBoundary, moveEnabled; bool steps; } cases[] = {
        {0, 1, 1, true}, {1, 1, 1, false}, {0, 0, 1, false}, {0, 1, 0, false}};
    for (const auto& c : cases) {
        FakePlatform core;
        SharedDeviceState& r = *core.SharedData;
        std::fill(std::begin(core.borders), std::end(core.borders), uint8_t{1});
        r.CurrentUser = c.current, r.MoveAtBoundary = c.atBoundary, r.MoveEnabled = c.moveEnabled;
        r.ClickStillCounter = 100, r.SubframeInterpolation = 2;
        auto p = Tracking(0, 0xFFFF, kLevel.ax, kLevel.ay, 50, kLevel.bx, kLevel.by, 50);
        core.CalculatePODDeviceData(p.data());
        std::vector<std::pair<int, int>> expected;
        for (int i = 0; c.steps && i < 2; ++i)
            expected.insert(expected.end(), {{-10, 0}, {10, 0}, {0, -10}, {0, 10}});
        EXPECT_EQ(core.relativeMoves, expected) << c.current << c.atBoundary << c.moveEnabled;
    }
}

// An older pass of a handset blocks in its first wait while a newer one runs.
class OverlappingPasses : public testing::TestWithParam<bool> {};
thread_local bool t_olderPass = false;

TEST_P(OverlappingPasses, NewerPassSupersedesOrOlderOneInterleaves) {
    FakePlatform core;
    core.SupersedeOlderPasses = GetParam();
    std::mutex m;
    std::condition_variable gate;
    bool open = false;
    std::atomic<bool> blocked{false};
    core.onSleep = [&] {
        if (!t_olderPass || blocked.exchange(true)) return;
        std::unique_lock<std::mutex> lock(m);
        gate.wait_for(lock, std::chrono::seconds(5), [&] { return open; });
    };
    auto older = Tracking(0, 0xFFFF, 20000, 14400, 50, 16000, 14400, 50);  // target 650
    auto newer = Tracking(0, 0xFFFF, 21000, 14400, 50, 17000, 14400, 50);  // target 700
    std::thread thread([&] {
        t_olderPass = true;
        core.CalculatePODDeviceData(older.data());
    });
    ASSERT_TRUE(tavro::test::WaitFor([&] { return blocked.load(); }));
    core.CalculatePODDeviceData(newer.data());
    EXPECT_EQ(core.MoveCount(), 4u);
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
    }
    gate.notify_all();
    thread.join();

    // The newer pass's three moves end on 700; the older pass may only add moves
    // (back towards 650) when passes interleave.
    ASSERT_GE(core.moves.size(), 4u);
    EXPECT_DOUBLE_EQ(core.moves[3].x, 700);
    EXPECT_EQ(core.moves.size(), GetParam() ? 4u : 6u);
    EXPECT_DOUBLE_EQ(core.moves.back().x, GetParam() ? 700 : 650);
}

INSTANTIATE_TEST_SUITE_P(Modes, OverlappingPasses, testing::Bool(), [](const auto& info) {
    return info.param ? "Superseding" : "Interleaving";
});

}  // namespace
