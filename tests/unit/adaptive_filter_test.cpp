// The speed-adaptive filter's arithmetic on known sequences, and the
// adaptive stabiliser inside the calculation pass: roll smoothed before the
// compensation, time steps from the pass clock, no jump when it takes over.
#include "AdaptiveFilter.h"
#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using tavro::OneEuroFilter;
using tavro::OneEuroParameters;
using tavro::test::FakePlatform;
using tavro::test::Tracking;

namespace {

constexpr OneEuroParameters kFixed{1.0, 0.0, 1.0};  // a plain low-pass at 1 Hz
constexpr double kStep = 1.0 / 60;

// The factor of a first-order low-pass: 1 / (1 + tau / step), tau = 1 / (2 pi fc).
double Alpha(double cutoff, double step) { return 1.0 / (1.0 + 1.0 / (2 * M_PI * cutoff * step)); }

TEST(OneEuroFilter, FirstSamplePassesThroughAndConstantInputStays) {
    OneEuroFilter f;
    EXPECT_FALSE(f.Started());
    EXPECT_EQ(f.Filter(42.5, 3.0, tavro::kPositionFilterDefaults), 42.5);
    for (int i = 1; i <= 100; ++i) EXPECT_EQ(f.Filter(42.5, 3.0 + i * kStep, tavro::kPositionFilterDefaults), 42.5);
    EXPECT_EQ(f.Speed(), 0.0);
}

TEST(OneEuroFilter, StepFollowsTheExponentialOfItsCutoff) {
    // Without speed dependence each step closes the gap by alpha.
    OneEuroFilter f;
    f.Filter(0, 0, kFixed);
    const double a = Alpha(1.0, kStep);
    double expected = 0;
    for (int i = 1; i <= 30; ++i) {
        expected += a * (10 - expected);
        EXPECT_NEAR(f.Filter(10, i * kStep, kFixed), expected, 1e-12) << i;
    }
    // Monotone approach: a low-pass never overshoots a step.
    for (int i = 31; i < 400; ++i) EXPECT_LE(f.Filter(10, i * kStep, kFixed), 10.0);
    EXPECT_NEAR(f.Value(), 10, 1e-3);
}

TEST(OneEuroFilter, SpeedRaisesTheCutoffSoARampLagsLess) {
    // A ramp of 600 units/s: the fixed filter lags by about v * tau (95 units);
    // with beta the cut-off rises with the speed and the lag shrinks.
    const OneEuroParameters adaptive{1.0, 0.05, 1.0};
    OneEuroFilter fixed, quick;
    double lagFixed = 0, lagQuick = 0;
    for (int i = 0; i <= 300; ++i) {
        const double t = i * kStep, x = 600 * t;
        lagFixed = x - fixed.Filter(x, t, kFixed);
        lagQuick = x - quick.Filter(x, t, adaptive);
    }
    EXPECT_NEAR(lagFixed, 600 / (2 * M_PI), 0.5) << "a first-order low-pass lags a ramp by v tau";
    EXPECT_GT(lagQuick, 0.0);
    EXPECT_LT(lagQuick, lagFixed / 5);
    EXPECT_GT(quick.Speed(), 600.0) << "the speed estimate follows the ramp";
}

TEST(OneEuroFilter, TimeStepsComeFromTheTimeStamps) {
    // Irregular steps: each update uses its own interval; a long pause lets
    // the output catch up almost entirely, two stamps alike count as 1 ms.
    const double stamps[] = {0.0, 0.010, 0.030, 0.031, 0.531, 0.531, 0.5};
    OneEuroFilter f;
    double expected = 0;
    double last = 0;
    f.Filter(0, 0, kFixed);
    for (size_t i = 1; i < std::size(stamps); ++i) {
        double step = stamps[i] - last;
        if (step < tavro::kMinimumStepSeconds) step = tavro::kMinimumStepSeconds;
        if (stamps[i] > last) last = stamps[i];
        expected += Alpha(1.0, step) * (100 - expected);
        EXPECT_NEAR(f.Filter(100, stamps[i], kFixed), expected, 1e-9) << "stamp " << i;
    }
    EXPECT_EQ(f.LastSeconds(), 0.531) << "a stamp going back does not move time back";
    // The same sequence at the regular rate would have moved far less.
    OneEuroFilter regular;
    regular.Filter(0, 0, kFixed);
    for (int i = 1; i < 7; ++i) regular.Filter(100, i * kStep, kFixed);
    EXPECT_LT(regular.Value(), f.Value());
}

TEST(OneEuroFilter, NotANumberAndInfinityMoveNothing) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double b : bad) {
        OneEuroFilter f;
        EXPECT_TRUE(std::isnan(f.Filter(b, 0, kFixed)) || std::isinf(f.Filter(b, 0, kFixed)));
        EXPECT_FALSE(f.Started()) << "a bad first sample does not start the filter";
        f.Filter(5, 0, kFixed);
        f.Filter(6, kStep, kFixed);
        const double value = f.Value(), speed = f.Speed(), seconds = f.LastSeconds();
        EXPECT_EQ(f.Filter(b, 2 * kStep, kFixed), value);
        EXPECT_EQ(f.Filter(7, b, kFixed), value) << "a bad time stamp too";
        EXPECT_EQ(f.Speed(), speed);
        EXPECT_EQ(f.LastSeconds(), seconds);
        // The next good sample continues as if the bad ones had not come.
        OneEuroFilter twin;
        twin.Filter(5, 0, kFixed);
        twin.Filter(6, kStep, kFixed);
        EXPECT_EQ(f.Filter(7, 2 * kStep, kFixed), twin.Filter(7, 2 * kStep, kFixed));
    }
}

// ---- Inside the pass. ----

class ClockedPlatform : public FakePlatform {
public:
    ClockedPlatform() {
        PassClock = [](void* self) { return static_cast<ClockedPlatform*>(self)->now; };
        PassClockContext = this;
        SharedData->SubframeInterpolation = 1;
    }
    // One packet at `ns`: right spot x (hundredths), both at height y, spots 22.58 px apart.
    void Packet(int64_t ns, unsigned x, unsigned y, int dy = 0) {
        now = ns;
        auto p = Tracking(0, 0xFFFF, x, y + dy, 50, x - 2258, y, 50);
        CalculatePODDeviceData(p.data());
    }
    int64_t now = 0;
};

constexpr int64_t kPacketNs = 16666667;

TEST(AdaptiveStabiliser, SmoothsTheRollBeforeTheCompensation) {
    ClockedPlatform core;
    SharedDeviceState& r = *core.SharedData;
    core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
    core.Packet(0, 8000, 8000);  // level, raw point far from the rotation centre
    // A one-packet roll of about 0.02 rad (noise): the record keeps the raw
    // roll, the compensation turns by a small fraction of it.
    core.Packet(kPacketNs, 8000, 8000, 45);
    EXPECT_NEAR(r.Roll[0], -std::atan(45.0 / 2258), 1e-12);
    EXPECT_EQ(r.History[0][0].Roll, r.Roll[0]) << "the history keeps the raw roll";
    ClockedPlatform builtin;
    builtin.Packet(0, 8000, 8000);
    builtin.Packet(kPacketNs, 8000, 8000, 45);
    const SharedDeviceState& b = *builtin.SharedData;
    const double moveBuiltin = std::hypot(b.CompX[0] - b.History[1][0].CompX, b.CompY[0] - b.History[1][0].CompY);
    const double moveAdaptive = std::hypot(r.CompX[0] - r.History[1][0].CompX, r.CompY[0] - r.History[1][0].CompY);
    // Turning by 0.02 rad about (176, 144) from about 125 camera px away
    // moves the calibrated point by some 12 px; the spot's own 0.225 px by 1.1.
    EXPECT_GT(moveBuiltin, 10.0);
    EXPECT_LT(moveAdaptive, 2.0);
}

TEST(AdaptiveStabiliser, StillHandIsSteadiedAndMovingHandFollowed) {
    ClockedPlatform core;
    SharedDeviceState& r = *core.SharedData;
    core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
    // Alternating 0.2 camera px around a point: the built-in window of three
    // moves by a third of that, the adaptive filter by far less.
    double low = 1e9, high = -1e9;
    for (int k = 0; k < 120; ++k) {
        core.Packet(k * kPacketNs, 18000 + (k % 2 ? 20 : -20), 14400);
        if (k >= 60) low = std::min(low, r.StabX[0]), high = std::max(high, r.StabX[0]);
    }
    EXPECT_LT(high - low, 0.2) << "calibration px; the raw point swings by 1";
    EXPECT_EQ(r.Stabilize[0], 1) << "the still flag keeps its meaning";
    EXPECT_EQ(r.XYCounter[0], 3);
    // Then a sweep of 2 camera px per packet: the output keeps up within a few packets' steps.
    for (int k = 120; k < 180; ++k) core.Packet(k * kPacketNs, 18000 + 200 * (k - 120), 14400);
    EXPECT_LT(r.CompX[0] - r.StabX[0], 3 * 10.0);
    EXPECT_GT(r.CompX[0] - r.StabX[0], 0.0);
}

TEST(AdaptiveStabiliser, TakesOverAndHandsBackWithoutAJump) {
    for (int from : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
        ClockedPlatform core;
        core.SharedData->SubframeInterpolation = 3;  // the default: three pointer moves per packet
        core.StabiliserChoice = from;
        const double step = 5.0;  // calibration px per packet: 1 camera px
        double biggest = 0;
        for (int k = 0; k < 90; ++k) {
            if (k == 45) core.StabiliserChoice = 1 - from;
            const double before = core.SharedData->StabX[0];
            core.Packet(k * kPacketNs, 10000 + 100 * k, 14400);
            if (k > 5) biggest = std::max(biggest, std::fabs(core.SharedData->StabX[0] - before));
        }
        // The output changes by the hand's step plus at most the difference of
        // the two stabilisers' lags (here a fraction of a step); each pointer
        // move is a third of that (three sub-frames by default).
        EXPECT_LE(biggest, 1.5 * step) << "switching from " << from;
        double largestMove = 0;
        for (size_t m = 20; m < core.moves.size(); ++m)
            largestMove = std::max(largestMove, std::fabs(core.moves[m].x - core.moves[m - 1].x));
        EXPECT_LE(largestMove, step) << "the pointer moved by more than one packet's step";
        EXPECT_NEAR(core.SharedData->StabX[0], core.SharedData->CompX[0], 2.5 * step);
    }
}

TEST(AdaptiveStabiliser, NotANumberFromTheCalibrationMovesNothing) {
    ClockedPlatform core;
    SharedDeviceState& r = *core.SharedData;
    core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
    for (int k = 0; k < 10; ++k) core.Packet(k * kPacketNs, 18000, 14400);
    const double x = r.StabX[0], y = r.StabY[0];
    const size_t moves = core.moves.size();
    r.Mx = std::numeric_limits<double>::quiet_NaN();
    r.By = std::numeric_limits<double>::infinity();
    core.Packet(10 * kPacketNs, 18000, 14400);
    EXPECT_EQ(r.StabX[0], x);
    EXPECT_EQ(r.StabY[0], y);
    ASSERT_EQ(core.moves.size(), moves + 1);
    EXPECT_EQ(core.moves.back().x, x) << "the pointer stays where it was";
}

}  // namespace
