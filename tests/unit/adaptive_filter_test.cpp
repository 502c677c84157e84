// The speed-adaptive filter's arithmetic on known sequences (with its dead
// zone, the noise estimate the dead zone follows, and its mean since the
// last motion), the pointer's pixel hysteresis,
// and the adaptive stabiliser inside the calculation pass: roll smoothed
// before the compensation and following a deliberate turn, time steps from
// the pass clock, a steady pointer on a pixel's edge, no jump when it takes
// over.
#include "AdaptiveFilter.h"
#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <vector>

using tavro::OneEuroFilter;
using tavro::OneEuroParameters;
using tavro::PixelHysteresis;
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

TEST(OneEuroFilter, SpeedInsideTheDeadZoneLeavesTheCutoffAtItsMinimum) {
    // A ramp of 600 units/s: with a dead zone above that speed the filter is
    // the plain 1 Hz low-pass, value for value; with one below it the
    // cut-off rises by beta per unit of the speed beyond the zone.
    const OneEuroParameters wide{1.0, 0.05, 1.0, 1e6};
    const OneEuroParameters narrow{1.0, 0.05, 1.0, 100.0};
    OneEuroFilter fixed, inside, beyond;
    for (int i = 0; i <= 120; ++i) {
        const double t = i * kStep, x = 600 * t;
        EXPECT_EQ(inside.Filter(x, t, wide), fixed.Filter(x, t, kFixed)) << i;
        const double before = beyond.Value(), speedBefore = beyond.Speed();
        const double out = beyond.Filter(x, t, narrow);
        if (i < 2) continue;
        // The step's own arithmetic: speed first, then the cut-off from the
        // speed's excess over the zone.
        const double speed = speedBefore + Alpha(1.0, kStep) * ((x - before) / kStep - speedBefore);
        const double cutoff = 1.0 + 0.05 * std::max(0.0, std::fabs(speed) - 100.0);
        EXPECT_NEAR(out, before + Alpha(cutoff, kStep) * (x - before), 1e-9) << i;
    }
    EXPECT_LT(600 * 2.0 - beyond.Value(), (600 * 2.0 - fixed.Value()) / 3);
}

TEST(OneEuroFilter, MeanSinceMotionAveragesAStillInputAndForgetsAMove) {
    // A cut-off of almost nothing: the output is the running mean.
    const OneEuroParameters still{1e-9, 0.0, 1.0, 0.0, true};
    OneEuroFilter f;
    const double inputs[] = {3, 5, 10, 2, 5};
    const double means[] = {3, 4, 6, 5, 5};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(f.Filter(inputs[i], i * kStep, still), means[i], 1e-9) << i;
    // Irregular steps do not change a mean: each sample counts once.
    OneEuroFilter irregular;
    const double stamps[] = {0.0, 0.001, 0.5, 0.501, 2.0};
    for (int i = 0; i < 5; ++i) irregular.Filter(inputs[i], stamps[i], still);
    EXPECT_NEAR(irregular.Value(), 5, 1e-9);

    // A move beyond the dead zone opens the cut-off; the samples after it
    // are averaged from the new place, not with the old ones.
    const OneEuroParameters adaptive{0.01, 5.0, 5.0, 50.0, true};
    OneEuroFilter g;
    for (int i = 0; i < 120; ++i) g.Filter(i % 2 ? 1.0 : -1.0, i * kStep, adaptive);
    EXPECT_NEAR(g.Value(), 0.0, 0.02) << "sixty pairs of +1 and -1";
    double t = 120 * kStep;
    for (int i = 0; i < 12; ++i, t += kStep) g.Filter(100.0 + (i % 2 ? 1.0 : -1.0), t, adaptive);
    EXPECT_NEAR(g.Value(), 100.0, 1.5) << "follows the move within a few samples";
    for (int i = 0; i < 120; ++i, t += kStep) g.Filter(100.0 + (i % 2 ? 1.0 : -1.0), t, adaptive);
    EXPECT_NEAR(g.Value(), 100.0, 0.05) << "and averages the still samples after it";
    // Without the mean, a filter at its minimum cut-off still carries most
    // of the first sample's error a second later (a dead zone wide enough
    // that this error never counts as motion).
    const OneEuroParameters plain{0.01, 5.0, 5.0, 500.0, false};
    const OneEuroParameters mean{0.01, 5.0, 5.0, 500.0, true};
    OneEuroFilter h, m;
    h.Filter(1.0, 0, plain);
    m.Filter(1.0, 0, mean);
    for (int i = 1; i < 60; ++i) {
        h.Filter(i % 2 ? -1.0 : 1.0, i * kStep, plain);
        m.Filter(i % 2 ? -1.0 : 1.0, i * kStep, mean);
    }
    EXPECT_GT(h.Value(), 0.9);
    EXPECT_LT(std::fabs(m.Value()), 0.05);
}

TEST(OneEuroFilter, BadSamplesDoNotCountInTheMeanAndStartForgetsIt) {
    const OneEuroParameters still{1e-9, 0.0, 1.0, 0.0, true};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    OneEuroFilter f, twin;
    f.Filter(2, 0, still), twin.Filter(2, 0, still);
    f.Filter(nan, kStep, still);
    f.Filter(std::numeric_limits<double>::infinity(), kStep, still);
    f.Filter(4, 2 * kStep, still), twin.Filter(4, 2 * kStep, still);
    EXPECT_EQ(f.Value(), 3.0);
    EXPECT_EQ(f.Value(), twin.Value());
    // Started afresh, the next sample weighs a half again.
    f.Start(10, 0, 3 * kStep);
    EXPECT_NEAR(f.Filter(20, 4 * kStep, still), 15.0, 1e-9);
}

// The noise estimate behind the dead zone.  Parameters with a first guess
// of 3.75 * 12 = 45 units/s (the position's), a floor and a ceiling far
// away, so that the estimate itself is seen.
constexpr OneEuroParameters kLearning{0.05, 0.15, 0.7, 45.0, true, 3.75, 1e-3, 1e6};

// White Gaussian noise of `sigma` about `base(t)`, every `step(i)` seconds.
template <typename Base, typename Step>
double PlayNoise(OneEuroFilter& f, double sigma, double seconds, Base base, Step step, unsigned seed = 7,
                 const OneEuroParameters& p = kLearning) {
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0.0, sigma);
    double t = 0, out = 0;
    for (int i = 0; t < seconds; ++i, t += step(i)) out = f.Filter(base(t) + gauss(random), t, p);
    return out;
}

double Still(double) { return 100.0; }
double Regular(int) { return kStep; }

// The speed scatter a per-sample noise leaves in the filtered speed estimate.
double SpeedScatter(double sigma, double derivativeCutoff, double step) {
    const double a = Alpha(derivativeCutoff, step);
    return sigma / step * std::sqrt(a / (2 - a));
}

TEST(FilterNoiseEstimate, ConvergesToTheInputsNoiseAndSetsTheDeadZoneFromIt) {
    for (double sigma : {0.2, 1.0, 4.0}) {
        OneEuroFilter f;
        EXPECT_EQ(f.DeadZone(kLearning), 45.0) << "the first guess before any sample";
        PlayNoise(f, sigma, 30.0, Still, Regular);
        EXPECT_NEAR(f.NoiseSigma(), sigma, 0.1 * sigma) << sigma;
        EXPECT_NEAR(f.DeadZone(kLearning), 3.75 * SpeedScatter(f.NoiseSigma(), 0.7, kStep),
                    1e-6 * f.DeadZone(kLearning))
            << sigma;
    }
    // Irregular packet intervals (alternately 12 and 21 ms) as well.
    OneEuroFilter irregular;
    PlayNoise(irregular, 1.0, 30.0, Still, [](int i) { return i % 2 ? 0.012 : 0.021; });
    EXPECT_NEAR(irregular.NoiseSigma(), 1.0, 0.1);
    // With no multiple the dead zone is the fixed one, whatever the noise.
    OneEuroParameters fixed = kLearning;
    fixed.deadZoneNoiseMultiple = 0;
    OneEuroFilter f;
    PlayNoise(f, 4.0, 10.0, Still, Regular, 7, fixed);
    EXPECT_EQ(f.DeadZone(fixed), 45.0);
}

TEST(FilterNoiseEstimate, FloorAndCeilingBoundTheDeadZone) {
    OneEuroParameters bounded = kLearning;
    bounded.deadZoneFloor = 20.0;
    bounded.deadZoneCeiling = 60.0;
    OneEuroFilter quiet, loud;
    for (int i = 0; i < 600; ++i) quiet.Filter(100.0, i * kStep, bounded);  // no noise at all
    EXPECT_DOUBLE_EQ(quiet.DeadZone(bounded), 20.0);
    PlayNoise(loud, 10.0, 20.0, Still, Regular, 7, bounded);
    EXPECT_DOUBLE_EQ(loud.DeadZone(bounded), 60.0);
    // A noiseless stretch does not leave the estimate unable to learn noise
    // again: the gate stands on the floor, not on nothing.
    PlayNoise(quiet, 1.0, 30.0, Still, Regular, 7, kLearning);
    EXPECT_NEAR(quiet.NoiseSigma(), 1.0, 0.1);
}

TEST(FilterNoiseEstimate, AMotionAtSteadySpeedIsNotTakenForNoise) {
    // The same noise, still and on ramps slow (20 units/s, inside the dead
    // zone) and fast (3000 units/s): the same estimate.
    OneEuroFilter still;
    PlayNoise(still, 0.5, 20.0, Still, Regular);
    ASSERT_NEAR(still.NoiseSigma(), 0.5, 0.05);
    for (double speed : {20.0, 3000.0}) {
        OneEuroFilter ramp;
        PlayNoise(ramp, 0.5, 20.0, [=](double t) { return speed * t; }, Regular);
        EXPECT_NEAR(ramp.NoiseSigma(), still.NoiseSigma(), 0.05 * still.NoiseSigma()) << speed;
    }
    // A noiseless slow ramp lets the first guess (about 1 unit) fade away.
    OneEuroFilter clean;
    for (int i = 0; i < 2400; ++i) clean.Filter(20.0 * i * kStep, i * kStep, kLearning);
    EXPECT_LT(clean.NoiseSigma(), 1e-3);
    // Stops and starts of a deliberate motion (a step of 200 units every
    // second) barely move it: they lie far beyond the gate.
    OneEuroFilter moves;
    PlayNoise(moves, 0.5, 20.0, [](double t) { return 200.0 * std::floor(t); }, Regular);
    EXPECT_NEAR(moves.NoiseSigma(), still.NoiseSigma(), 0.1 * still.NoiseSigma());
}

TEST(FilterNoiseEstimate, BadSamplesDoNotPoisonIt) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    OneEuroFilter clean, spoilt;
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0.0, 0.8);
    for (int i = 0; i < 1200; ++i) {
        const double t = i * kStep, x = 50 + gauss(random);
        clean.Filter(x, t, kLearning);
        if (i % 50 == 25) {
            spoilt.Filter(i % 100 == 25 ? nan : -inf, t, kLearning);
            spoilt.Filter(x, nan, kLearning);
        }
        spoilt.Filter(x, t, kLearning);
    }
    ASSERT_NEAR(clean.NoiseSigma(), 0.8, 0.08);
    ASSERT_TRUE(std::isfinite(spoilt.NoiseSigma()));
    EXPECT_EQ(spoilt.NoiseSigma(), clean.NoiseSigma()) << "bad samples are not part of the history";
    // One wild but finite sample (a misread spot) is gated out.
    spoilt.Filter(1e12, 1200 * kStep, kLearning);
    for (int i = 1201; i < 1260; ++i) {
        const double x = 50 + gauss(random);
        clean.Filter(x, i * kStep, kLearning);
        spoilt.Filter(x, i * kStep, kLearning);
    }
    EXPECT_TRUE(std::isfinite(spoilt.DeadZone(kLearning)));
    EXPECT_NEAR(spoilt.NoiseSigma(), clean.NoiseSigma(), 0.05 * clean.NoiseSigma());
}

TEST(FilterNoiseEstimate, ANoisierHandsetIsStillHeldStill) {
    // Noise four times what the first guess is for: with the dead zone
    // following it, the output is the mean since rest and its scatter
    // shrinks with time; a fixed dead zone keeps opening on the noise.
    const double sigma = 4 * 45.0 / 3.75 / SpeedScatter(1.0, 0.7, kStep);
    OneEuroParameters fixed = kLearning;
    fixed.deadZoneNoiseMultiple = 0;
    for (const OneEuroParameters* p : {&kLearning, static_cast<const OneEuroParameters*>(&fixed)}) {
        OneEuroFilter f;
        PlayNoise(f, sigma, 5.0, Still, Regular, 11, *p);
        std::mt19937 random(12);
        std::normal_distribution<double> gauss(0.0, sigma);
        double squares = 0;
        for (int i = 0; i < 600; ++i) {
            const double out = f.Filter(100 + gauss(random), 5.0 + i * kStep, *p);
            squares += (out - 100) * (out - 100);
        }
        const double rms = std::sqrt(squares / 600);
        if (p == &kLearning)
            EXPECT_LT(rms, 0.1 * sigma);
        else
            EXPECT_GT(rms, 0.2 * sigma);
    }
}

// A still input with noise, sampled every kStep, delivered in groups of
// `burst` that arrive together when the group's last sample was taken: the
// RMS distance of the output from the true value from 2 s to 10 s.
double StillRmsInBursts(int burst, bool sampleClock, double* period) {
    tavro::OneEuroParameters p = tavro::kPositionFilterDefaults;
    p.sampleClock = sampleClock;
    OneEuroFilter f;
    std::mt19937 random(21);
    std::normal_distribution<double> gauss(0.0, 1.0);
    double squares = 0;
    int n = 0;
    for (int i = 0; i < 600; ++i) {
        const double arrival = ((i / burst) * burst + burst - 1) * kStep;
        const double out = f.Filter(100 + gauss(random), arrival, p);
        if (i >= 120) squares += (out - 100) * (out - 100), ++n;
    }
    *period = f.Period();
    return std::sqrt(squares / n);
}

class FilterBursts : public ::testing::TestWithParam<int> {};

TEST_P(FilterBursts, AreAsSteadyAsEvenlySpacedSamples) {
    double evenPeriod = 0, burstPeriod = 0;
    const double even = StillRmsInBursts(1, true, &evenPeriod);
    const double burst = StillRmsInBursts(GetParam(), true, &burstPeriod);
    EXPECT_NEAR(burstPeriod, kStep, 0.1 * kStep) << "the period counts the burst's gaps";
    EXPECT_LE(burst, 1.2 * even + 0.01) << "bursts of " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Sizes, FilterBursts, ::testing::Values(2, 4, 6));

// A run at `speed` units/s with noise of 1 unit, then still: the seconds
// after the stop until the speed the cut-off follows is inside the dead
// zone (-1: never within 2 s), and how far the output ran past the stop.
double SecondsToClose(double speed, double releaseCutoffHz, double* past) {
    tavro::OneEuroParameters p = tavro::kPositionFilterDefaults;
    p.releaseCutoffHz = releaseCutoffHz;
    OneEuroFilter f;
    std::mt19937 random(5);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double stop = speed * 60 * kStep;
    double closed = -1;
    *past = 0;
    for (int i = 0; i < 180; ++i) {
        const double out = f.Filter(speed * std::min(i, 60) * kStep + gauss(random), i * kStep, p);
        if (i <= 60) continue;
        if (closed < 0 && f.CutoffSpeed(p) < f.DeadZone(p)) closed = (i - 60) * kStep;
        *past = std::max(*past, out - stop);
    }
    return closed;
}

class FilterStop : public ::testing::TestWithParam<double> {};

TEST_P(FilterStop, SpeedFallsBelowTheDeadZoneWithin100Ms) {
    double past = 0;
    const double closed = SecondsToClose(GetParam(), tavro::kPositionFilterDefaults.releaseCutoffHz, &past);
    EXPECT_TRUE(closed >= 0 && closed <= 0.1) << closed << " s after a stop from " << GetParam();
}

TEST_P(FilterStop, OutputDoesNotRunPastTheStopByMoreThanTheNoise) {
    double past = 0;
    SecondsToClose(GetParam(), tavro::kPositionFilterDefaults.releaseCutoffHz, &past);
    EXPECT_LT(past, 1.5) << "units past a stop from " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Speeds, FilterStop, ::testing::Values(300.0, 600.0, 1500.0));

TEST(FilterStopWithoutRelease, TheSlowSpeedEstimateAloneDecaysForLonger) {
    double past = 0;
    const double closed = SecondsToClose(600.0, 0.0, &past);
    EXPECT_TRUE(closed < 0 || closed > 0.5) << closed;
}

class FilterNoiseStart : public ::testing::TestWithParam<double> {};

TEST_P(FilterNoiseStart, IsKnownWithinHalfASecond) {
    // The parameter is a handset's noise per spot coordinate in camera px;
    // the position (the spots' midpoint, 5 calibration px per camera px)
    // shows 5 / sqrt(2) times it: the first guess, 0.3 camera px, is about
    // 1.06 units per sample, handsets from 0.15 to 1.0 are 0.53 to 3.5.
    const double sigma = GetParam() * 5 / std::sqrt(2.0);
    OneEuroFilter f;
    PlayNoise(f, sigma, 0.5, Still, Regular, 31, tavro::kPositionFilterDefaults);
    EXPECT_NEAR(f.NoiseSigma(), sigma, 0.4 * sigma) << "after 0.5 s";
}

INSTANTIATE_TEST_SUITE_P(CameraPixels, FilterNoiseStart, ::testing::Values(0.15, 0.3, 0.6, 1.0));

class FilterNoiseRise : public ::testing::TestWithParam<double> {};

TEST_P(FilterNoiseRise, IsFollowedWithinHalfASecond) {
    // Settled on `sigma` units, then the noise rises (the handset went
    // farther away, up to 5 units, below the ceiling): known again within
    // half a second, although the gate keeps such samples out of the
    // running mean.  Time goes on from the settling (a stamp going back
    // would squeeze the sampling clock's steps to a millisecond).
    const double sigma = GetParam();
    OneEuroFilter f;
    std::mt19937 random(33);
    std::normal_distribution<double> gauss(0.0, 1.0);
    int i = 0;
    for (; i <= 300; ++i) f.Filter(100 + sigma * gauss(random), i * kStep, tavro::kPositionFilterDefaults);
    const double risen = std::min(4 * sigma, 5.0);
    for (const int end = i + 30; i < end; ++i)
        f.Filter(100 + risen * gauss(random), i * kStep, tavro::kPositionFilterDefaults);
    EXPECT_NEAR(f.NoiseSigma(), risen, 0.4 * risen) << "after the rise";
}

INSTANTIATE_TEST_SUITE_P(Sigmas, FilterNoiseRise, ::testing::Values(0.5, 1.0, 2.0, 3.5));

TEST(PixelHysteresis, LeavesAPixelOnlyBeyondItsEdgeByTheMargin) {
    PixelHysteresis h;
    EXPECT_FALSE(h.Holding());
    EXPECT_EQ(h.Hold(960.0, 0.25), 960.5) << "the first position takes the pixel under it";
    // Wandering across the edge at 960.0 by less than the margin: stays.
    for (double p : {959.9, 959.76, 960.3, 959.75, 960.74, 959.8})
        EXPECT_EQ(h.Hold(p, 0.25), 960.5) << p;
    EXPECT_EQ(h.Hold(959.74, 0.25), 959.5) << "more than 0.75 from the centre";
    EXPECT_EQ(h.Hold(960.2, 0.25), 959.5) << "and the way back is as far";
    EXPECT_EQ(h.Hold(960.26, 0.25), 960.5);
    // A jump goes to the pixel under the position at once.
    EXPECT_EQ(h.Hold(1234.9, 0.25), 1234.5);
    EXPECT_EQ(h.Hold(-0.3, 0.25), -0.5);
    EXPECT_EQ(h.Pixel(), -1.0);
}

TEST(PixelHysteresis, InMotionThePointerIsThePixelUnderThePosition) {
    // A pixel or more per move: no lag at all; slower: at most the margin.
    PixelHysteresis fast, slow;
    for (int i = 0; i < 200; ++i) {
        const double p = 100.37 + 1.3 * i;
        EXPECT_EQ(fast.Hold(p, 0.25), std::floor(p) + 0.5) << i;
        const double q = 100.37 + 0.1 * i;
        EXPECT_LE(std::fabs(slow.Hold(q, 0.25) - q), 0.75 + 1e-9) << i;
        EXPECT_LE(slow.Pixel(), std::floor(q)) << "never ahead of the position";
    }
}

TEST(PixelHysteresis, NotANumberMovesNothingAndABadMarginCountsAsNone) {
    PixelHysteresis h;
    EXPECT_TRUE(std::isnan(h.Hold(std::numeric_limits<double>::quiet_NaN(), 0.25)));
    EXPECT_FALSE(h.Holding());
    h.Hold(10.2, 0.25);
    EXPECT_TRUE(std::isinf(h.Hold(std::numeric_limits<double>::infinity(), 0.25)));
    EXPECT_EQ(h.Pixel(), 10.0);
    EXPECT_EQ(h.Hold(10.9, 0.25), 10.5);
    for (double margin : {-1.0, std::numeric_limits<double>::quiet_NaN(), 0.0}) {
        PixelHysteresis g;
        g.Hold(10.2, margin);
        EXPECT_EQ(g.Hold(11.01, margin), 11.5) << margin;
        EXPECT_EQ(g.Hold(10.99, margin), 10.5) << margin;
    }
    // Far beyond any screen: still a whole pixel, no overflow.
    EXPECT_EQ(h.Hold(1e300, 0.25), 1e300);
    h.Reset();
    EXPECT_FALSE(h.Holding());
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
    // Level for a second, raw point far from the rotation centre.
    for (int k = 0; k < 60; ++k) core.Packet(k * kPacketNs, 8000, 8000);
    // A one-packet roll of about 0.02 rad (noise): the record keeps the raw
    // roll, the compensation turns by a small fraction of it.
    core.Packet(60 * kPacketNs, 8000, 8000, 45);
    EXPECT_NEAR(r.Roll[0], -std::atan(45.0 / 2258), 1e-12);
    EXPECT_EQ(r.History[0][0].Roll, r.Roll[0]) << "the history keeps the raw roll";
    ClockedPlatform builtin;
    for (int k = 0; k < 60; ++k) builtin.Packet(k * kPacketNs, 8000, 8000);
    builtin.Packet(60 * kPacketNs, 8000, 8000, 45);
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
    EXPECT_EQ(core.moves.back().x, core.moves[moves - 1].x) << "the pointer stays where it was";
}

// A handset aiming at camera point (cx, cy) (compensated, camera px) with
// roll `roll`: the camera sees the spots' midpoint and the line between them
// turned the other way about its centre (176, 144); with `random`, every
// spot coordinate carries a noise of 0.3 camera px.
std::vector<unsigned char> TurnedPacket(double cx, double cy, double roll, std::mt19937* random = nullptr) {
    const double c = std::cos(roll), s = std::sin(roll);
    const double mx = 176 + (cx - 176) * c + (cy - 144) * s;
    const double my = 144 - (cx - 176) * s + (cy - 144) * c;
    const double hx = 11.29 * c, hy = -11.29 * s;
    std::normal_distribution<double> gauss(0.0, 0.3);
    auto h = [&](double v) { return static_cast<unsigned>(std::lround((v + (random ? gauss(*random) : 0.0)) * 100)); };
    return Tracking(0, 0xFFFF, h(mx + hx), h(my + hy), 50, h(mx - hx), h(my - hy), 50);
}

// Plays a turn of the wrist of 30 degrees in 18 packets (0.3 s) after a
// second at rest, aiming at a point far from the rotation centre, and
// returns the largest distance (calibration px) of the adaptive
// compensation from the raw-roll one, during the turn and from `after`
// packets past its end on.
void PlayTurn(const tavro::OneEuroParameters& roll, int after, double* during, double* settled) {
    ClockedPlatform adaptive, builtin;
    adaptive.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
    adaptive.RollFilterParameters = roll;
    *during = *settled = 0;
    for (int k = 0; k < 60 + 18 + 60; ++k) {
        const double angle = 30 * M_PI / 180 * std::clamp((k - 60) / 18.0, 0.0, 1.0);
        const auto p = TurnedPacket(70, 90, angle);
        adaptive.now = builtin.now = k * kPacketNs;
        adaptive.CalculatePODDeviceData(p.data());
        builtin.CalculatePODDeviceData(p.data());
        const double off = std::hypot(adaptive.SharedData->CompX[0] - builtin.SharedData->CompX[0],
                                      adaptive.SharedData->CompY[0] - builtin.SharedData->CompY[0]);
        if (k >= 60) *during = std::max(*during, off);
        if (k >= 60 + 18 + after) *settled = std::max(*settled, off);
    }
}

TEST(AdaptiveStabiliser, FollowsADeliberateTurnOfTheWrist) {
    // Far from the rotation centre a lagging roll swings the pointer by
    // the lag times that distance (here 125 camera px, 625 calibration px
    // per radian).  The roll's cut-off opens with the turn's speed, so the
    // compensation is back within a pixel a few packets after the turn.
    double during = 0, settled = 0;
    PlayTurn(tavro::kRollFilterDefaults, 6, &during, &settled);
    EXPECT_LT(settled, 1.0) << "calibration px, 0.1 s after the turn";
    EXPECT_LT(during, 60.0);
    // A roll smoothing whose cut-off stays low lags the turn by far more.
    const tavro::OneEuroParameters lowCutoff{0.05, 0.2, 0.5};
    PlayTurn(lowCutoff, 6, &during, &settled);
    EXPECT_GT(settled, 20.0);
}

TEST(AdaptiveStabiliser, PointerHoldsItsPixelOnAnEdge) {
    // The aim sits exactly on a pixel's edge (raw x 180: calibrated 650.0),
    // every spot coordinate with up to 0.4 camera px of noise.  The built-in
    // window's pointer flips between pixels; the adaptive one, whose
    // filtered position wanders by hundredths, stays on one, while the
    // record keeps the filtered sub-pixel position.
    for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
        ClockedPlatform core;
        core.SharedData->SubframeInterpolation = 3;
        core.StabiliserChoice = choice;
        uint32_t seed = 12345;
        auto noise = [&seed] {  // -40 to +40 hundredths
            seed = seed * 1664525u + 1013904223u;
            return static_cast<int>((seed >> 16) % 81) - 40;
        };
        std::set<double> pixels;
        for (int k = 0; k < 240; ++k) {
            auto p = Tracking(0, 0xFFFF, 19129 + noise(), 14400 + noise(), 50, 16871 + noise(),
                              14400 + noise(), 50);
            core.now = k * kPacketNs;
            core.CalculatePODDeviceData(p.data());
            if (k >= 60) pixels.insert(std::floor(core.moves.back().x));
        }
        if (choice == CTavroCore::kStabiliserAdaptive) {
            EXPECT_NEAR(core.SharedData->StabX[0], 650.0, 0.25);
            EXPECT_NE(core.SharedData->StabX[0], core.moves.back().x);
            EXPECT_EQ(pixels.size(), 1u) << "the adaptive pointer left its pixel";
            EXPECT_EQ(core.moves.back().x, *pixels.begin() + 0.5) << "moves go to the pixel's centre";
        } else {
            EXPECT_GT(pixels.size(), 2u) << "the built-in pointer is the position itself";
        }
    }
}

TEST(AdaptiveStabiliser, PointerLeavesItsPixelOnlyBeyondTheMargin) {
    // Two seconds at 649.9 (pixel 649), then four at 650.1, just across the
    // edge: the filtered position follows towards 650.1, at most 0.6 from
    // pixel 649's centre, inside half a pixel plus the margin.  Without a
    // margin the pointer would follow it onto pixel 650.
    for (double margin : {tavro::kPointerHysteresisMargin, 0.0}) {
        ClockedPlatform core;
        core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
        core.PointerHysteresisMargin = margin;
        for (int k = 0; k < 360; ++k) {
            const unsigned x = k < 120 ? 19127 : 19131;  // raw x 179.98, then 180.02
            auto p = Tracking(0, 0xFFFF, x, 14400, 50, x - 2258, 14400, 50);
            core.now = k * kPacketNs;
            core.CalculatePODDeviceData(p.data());
            if (k == 119) {
                ASSERT_EQ(core.moves.back().x, 649.5);
            }
        }
        EXPECT_GT(core.SharedData->StabX[0], 650.02) << "across the edge";
        EXPECT_EQ(core.moves.back().x, margin > 0 ? 649.5 : 650.5) << "margin " << margin;
    }
}


TEST(AdaptiveStabiliser, PacketsInBurstsAreAsSteadyAsEvenlySpacedOnes) {
    // Spots with 0.3 camera px of noise, still; the packets arrive in bursts
    // of 4 with one time stamp (as a USB serial adapter delivers them), or
    // one by one.  The filtered position's scatter over the last 8 s.
    auto scatter = [](int burst, bool sampleClock) {
        ClockedPlatform core;
        core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
        core.PositionFilterParameters.sampleClock = core.RollFilterParameters.sampleClock = sampleClock;
        std::mt19937 random(77);
        std::normal_distribution<double> gauss(0.0, 30.0);
        auto h = [&](double v) { return static_cast<unsigned>(std::lround(v + gauss(random))); };
        double sum = 0, squares = 0;
        int n = 0;
        for (int k = 0; k < 600; ++k) {
            auto p = Tracking(0, 0xFFFF, h(19129), h(14400), 50, h(16871), h(14400), 50);
            core.now = ((k / burst) * burst + burst - 1) * kPacketNs;
            core.CalculatePODDeviceData(p.data());
            if (k >= 120) sum += core.SharedData->StabX[0], squares += std::pow(core.SharedData->StabX[0], 2), ++n;
        }
        return std::sqrt(squares / n - std::pow(sum / n, 2));
    };
    const double even = scatter(1, true);
    EXPECT_LE(scatter(4, true), 1.2 * even + 0.01);
    EXPECT_GT(scatter(4, false), 1.5 * even) << "arrival stamps alone: the burst opens the filter";
}

// A handset aiming still at camera point (70, 90), far from the rotation
// centre, with 0.3 camera px of noise per spot coordinate, turns its wrist
// by 30 degrees in `packets` packets after a second at rest: the RMS
// distance (calibration px) of the stabilised position from the aim, from
// the turn's start to 12 packets after its end, over eight noise draws.
double NoisyTurnRms(int choice, int packets) {
    double squares = 0;
    int n = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        ClockedPlatform core;
        core.StabiliserChoice = choice;
        std::mt19937 random(seed);
        for (int k = 0; k < 60 + packets + 12; ++k) {
            const double angle = 30 * M_PI / 180 * std::clamp((k - 60) / double(packets), 0.0, 1.0);
            const auto p = TurnedPacket(70, 90, angle, &random);
            core.now = k * kPacketNs;
            core.CalculatePODDeviceData(p.data());
            if (k < 60) continue;
            squares += std::pow(core.SharedData->StabX[0] - 100.0, 2) + std::pow(core.SharedData->StabY[0] - 110.0, 2);
            ++n;
        }
    }
    return std::sqrt(squares / n);
}

class AdaptiveWristTurn : public ::testing::TestWithParam<int> {};

TEST_P(AdaptiveWristTurn, StaysCloserToTheAimThanTheBuiltInStabiliser) {
    // The built-in window turns every packet by its raw roll, so it keeps
    // the aim but carries the roll's noise (some 6 calibration px here);
    // a roll smoothing that lags the turn swings the point by the lag.
    const double builtin = NoisyTurnRms(CTavroCore::kStabiliserBuiltin, GetParam());
    EXPECT_LT(NoisyTurnRms(CTavroCore::kStabiliserAdaptive, GetParam()), 0.6 * builtin) << "builtin " << builtin;
}

INSTANTIATE_TEST_SUITE_P(Packets, AdaptiveWristTurn, ::testing::Values(18, 60));

TEST(AdaptiveStabiliser, WithoutRotationCompensationTheRollWidensNothingOfThePositionsDeadZone) {
    // Half way through a turn the roll's terms widen the position's dead
    // zone; once the compensation is switched off they must not stay.
    ClockedPlatform core;
    core.StabiliserChoice = CTavroCore::kStabiliserAdaptive;
    const tavro::AdaptiveHandsetFilter& filter = core.Stabilisers[0].filter;
    for (int k = 0; k < 70; ++k) {
        const auto p = TurnedPacket(70, 90, 30 * M_PI / 180 * std::clamp((k - 60) / 18.0, 0.0, 1.0));
        core.now = k * kPacketNs;
        core.CalculatePODDeviceData(p.data());
    }
    ASSERT_GT(filter.rollMotion, 0.0) << "the turn widens the dead zone";
    core.SharedData->RotationCompensation = 0;
    const auto p = TurnedPacket(70, 90, 30 * M_PI / 180 * 11 / 18.0);
    core.now = 70 * kPacketNs;
    core.CalculatePODDeviceData(p.data());
    EXPECT_EQ(filter.rollNoise + filter.rollMotion, 0.0);
}

}  // namespace
