// Calibration with roll compensation and distance scaling, the per-handset
// history and its averages, and the adaptive smoothing window.
#include "FakePlatform.h"
#include "HistoryAverage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using tavro::test::FakePlatform;

namespace {

struct CompensationCase {
    const char* name;
    uint8_t rotation, scaling;
    double roll, rawX, rawY, recentDistance, dmin;
    double compX, compY;
};

class Compensation : public testing::TestWithParam<CompensationCase> {};

TEST_P(Compensation, MapsTheRawPointToTheCalibrationScreen) {
    const CompensationCase& c = GetParam();
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.RotationCompensation = c.rotation, r.DistanceScaling = c.scaling, r.Dmin = c.dmin;
    r.Roll[2] = c.roll, r.RawX[2] = c.rawX, r.RawY[2] = c.rawY, r.Distance[2] = 1.5;
    for (int n = 0; n < 10; ++n) r.History[n][2].Distance = c.recentDistance;
    r.History[10][2].Distance = 1000;  // older than the ten the scaling averages
    core.RotationCompensation(2);
    EXPECT_NEAR(r.CompX[2], c.compX, 1e-9);
    EXPECT_NEAR(r.CompY[2], c.compY, 1e-9);
    EXPECT_EQ(r.History[0][2].CompX, r.CompX[2]);
    EXPECT_EQ(r.History[0][2].Distance, 1.5);
    EXPECT_EQ(r.History[1][2].Distance, c.recentDistance) << "older entries move up";
}

// Calibration 5 / -250, 5 / -340; scaling at twice CalDistance (3.1) doubles
// the slope about the camera centre (176, 144).
INSTANTIATE_TEST_SUITE_P(
    Cases, Compensation,
    testing::Values(CompensationCase{"Upright", 1, 0, 0, 180, 144, 0, 3.2, 650, 380},
                    CompensationCase{"QuarterTurn", 1, 0, M_PI / 2, 180, 144, 0, 3.2, 630, 400},
                    CompensationCase{"RollIgnored", 0, 0, M_PI / 2, 50, 68, 0, 3.2, 0, 0},
                    CompensationCase{"ScaledCentreStays", 1, 1, 0, 176, 144, 6.2, 3.2, 630, 380},
                    CompensationCase{"ScaledDoubleSlope", 1, 1, 0, 186, 144, 6.2, 3.2, 730, 380},
                    CompensationCase{"ScaledAtLeastDmin", 1, 1, 0, 186, 144, 0.5, 6.2, 730, 380}),
    [](const auto& info) { return info.param.name; });

TEST(History, KeepsSixtyEntriesPerHandsetAndAveragesOneToSixty) {
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.History[5][1].CompX = 42;
    for (int pass = 1; pass <= 61; ++pass) {
        r.Distance[0] = pass;
        core.RotationCompensation(0);
    }
    EXPECT_EQ(r.HistoryCount[0], 60);
    EXPECT_EQ(r.History[0][0].Distance, 61);
    EXPECT_EQ(r.History[59][0].Distance, 2);  // pass 1 fell out
    EXPECT_EQ(r.History[5][1].CompX, 42) << "another handset's entries stay";
    EXPECT_EQ(r.HistoryCount[1], 0);
    // Entries hold 61, 60, ..., 2: the mean of the newest w is 61 - (w - 1) / 2.
    const struct { int count, window; } windows[] = {{-7, 1}, {0, 1}, {10, 10}, {60, 60}, {100, 60}};
    for (const auto& w : windows)
        EXPECT_DOUBLE_EQ(core.GetAverageDistance(w.count, 0), 61 - (w.window - 1) / 2.0) << w.count;
    EXPECT_EQ(tavro::AverageHistory(r, &HistoryEntry::Distance, 3, 4), 0.0) << "no handset 4";
}

struct WindowCase {
    const char* name;
    int max;
    std::vector<double> rawX;  // one pass each, the raw point at rest before
    std::vector<int> windows;
    double lastStabX;
};

class Window : public testing::TestWithParam<WindowCase> {};

TEST_P(Window, GrowsWhileStillShrinksWhileMoving) {
    const WindowCase& c = GetParam();
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.XYCounterMax = c.max;
    r.RawX[0] = c.rawX[0], r.RawY[0] = 100;
    for (size_t i = 0; i < c.rawX.size(); ++i) {
        core.PreviousRawX[0] = r.RawX[0], core.PreviousRawY[0] = r.RawY[0];
        r.RawX[0] = c.rawX[i];
        core.RotationCompensation(0);
        core.Stabilize(0);
        EXPECT_EQ(r.XYCounter[0], c.windows[i]) << "pass " << i;
    }
    if (std::isnan(c.lastStabX)) {
        EXPECT_TRUE(std::isnan(r.StabX[0]));
    } else {
        EXPECT_NEAR(r.StabX[0], c.lastStabX, 1e-9);
    }
}

std::vector<double> Creep(int passes) {  // 0.01 px per pass: always still
    std::vector<double> xs;
    for (int i = 0; i < passes; ++i) xs.push_back(100 + 0.01 * i);
    return xs;
}
std::vector<int> Counting(int passes, int cap) {
    std::vector<int> ws;
    for (int i = 1; i <= passes; ++i) ws.push_back(std::min(i, cap));
    return ws;
}

// Raw x calibrates to 5 x - 250.
INSTANTIATE_TEST_SUITE_P(
    Cases, Window,
    testing::Values(WindowCase{"GrowsToItsBound", 3, {100, 101, 102, 103}, {1, 2, 3, 3}, 260},
                    WindowCase{"ExactThresholdMoves", 3, {100, 100, 107}, {1, 2, 1}, 285},
                    WindowCase{"NotANumberMoves", 3, {100, 100, NAN}, {1, 2, 1}, NAN},
                    WindowCase{"BoundZeroFollows", 0, {100, 100.5, 101}, {1, 1, 1}, 255},
                    WindowCase{"NeverPastTheHistory", 1000, Creep(75), Counting(75, 60),
                               5 * (100 + 0.01 * 44.5) - 250}),
    [](const auto& info) { return info.param.name; });

}  // namespace
