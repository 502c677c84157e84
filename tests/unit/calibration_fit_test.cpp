// The calibration fit of tavro-calibrate: least squares on known answers,
// residuals, refusal of input that cannot give a calibration, and aims
// compensated the way the core compensates them.
#include "FakePlatform.h"

// The fit is a pure part of the calibration tool, built into this binary.
#include "../../tools/tavro-calibrate/CalibrationFit.cpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace tavro::calibration;

std::vector<AimedPoint> ExactAims(const Calibration& c, const std::vector<Target>& targets) {
    std::vector<AimedPoint> points;
    for (const Target& t : targets)
        points.push_back({(t.x - c.bx) / c.mx, (t.y - c.by) / c.my, t});
    return points;
}

TEST(CalibrationFit, RecoversTheCalibrationThatProducedTheAims) {
    const Calibration truth{4.0, -100.0, 3.0, -50.0};
    for (int count : {4, 5, 9}) {
        std::vector<Target> targets = GridTargets(count, 1280, 768, 10.0);
        ASSERT_EQ(targets.size(), static_cast<size_t>(count));
        FitResult fit;
        std::string error;
        ASSERT_TRUE(FitCalibration(ExactAims(truth, targets), &fit, &error)) << error;
        EXPECT_NEAR(fit.calibration.mx, truth.mx, 1e-9);
        EXPECT_NEAR(fit.calibration.bx, truth.bx, 1e-7);
        EXPECT_NEAR(fit.calibration.my, truth.my, 1e-9);
        EXPECT_NEAR(fit.calibration.by, truth.by, 1e-7);
        EXPECT_LT(fit.maxError, 1e-7);
        ASSERT_EQ(fit.residuals.size(), targets.size());
    }
}

TEST(CalibrationFit, InconsistentAimsGetTheLeastSquaresLineAndItsResiduals) {
    // x: aims 0, 1, 2 at targets 0, 1, 5 -> slope 2.5, offset -0.5, fitted
    // -0.5, 2, 4.5, residuals 0.5, 1, 0.5.  y is exact.
    std::vector<AimedPoint> points = {
        {0.0, 10.0, {0.0, 20.0}}, {1.0, 20.0, {1.0, 40.0}}, {2.0, 30.0, {5.0, 60.0}}};
    FitResult fit;
    std::string error;
    ASSERT_TRUE(FitCalibration(points, &fit, &error)) << error;
    EXPECT_DOUBLE_EQ(fit.calibration.mx, 2.5);
    EXPECT_DOUBLE_EQ(fit.calibration.bx, -0.5);
    EXPECT_DOUBLE_EQ(fit.calibration.my, 2.0);
    EXPECT_NEAR(fit.calibration.by, 0.0, 1e-12);
    ASSERT_EQ(fit.residuals.size(), 3u);
    EXPECT_NEAR(fit.residuals[0], 0.5, 1e-12);
    EXPECT_NEAR(fit.residuals[1], 1.0, 1e-12);
    EXPECT_NEAR(fit.residuals[2], 0.5, 1e-12);
    EXPECT_NEAR(fit.maxError, 1.0, 1e-12);
    EXPECT_NEAR(fit.rmsError, std::sqrt(0.5), 1e-12);
}

TEST(CalibrationFit, RefusesInputThatCannotGiveACalibration) {
    const std::vector<Target> targets = GridTargets(4, 1280, 768, 10.0);
    auto aimsAt = [&](double x, double y) {
        std::vector<AimedPoint> points;
        for (const Target& t : targets) points.push_back({x, y, t});
        return points;
    };
    std::vector<AimedPoint> tooFew = {{100.0, 100.0, {128.0, 77.0}}};
    std::vector<AimedPoint> handsetNeverMoved = aimsAt(176.0, 144.0);
    std::vector<AimedPoint> barelyMoved = ExactAims({4000.0, -100.0, 3000.0, -50.0}, targets);
    std::vector<AimedPoint> targetsInARow = ExactAims({4.0, -100.0, 3.0, -50.0}, targets);
    for (AimedPoint& p : targetsInARow) p.target.y = 384.0;
    std::vector<AimedPoint> notANumber = ExactAims({4.0, -100.0, 3.0, -50.0}, targets);
    notANumber[2].aimX = std::nan("");

    struct Case {
        const char* name;
        const std::vector<AimedPoint>* points;
        const char* reason;
    } cases[] = {
        {"one point", &tooFew, "at least two"},
        {"aims all equal", &handsetNeverMoved, "hardly differ in x"},
        {"aims within a fraction of a pixel", &barelyMoved, "hardly differ"},
        {"targets on one line", &targetsInARow, "targets do not differ in y"},
        {"not a number", &notANumber, "finite"},
    };
    for (const Case& c : cases) {
        FitResult fit;
        fit.calibration.mx = 123.0;
        std::string error;
        EXPECT_FALSE(FitCalibration(*c.points, &fit, &error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(fit.calibration.mx, 123.0) << c.name << ": result touched on failure";
    }
}

TEST(CalibrationFit, GridTargetsSitOnWholePixelsInsideTheMargin) {
    std::vector<Target> nine = GridTargets(9, 1280, 768, 10.0);
    ASSERT_EQ(nine.size(), 9u);
    EXPECT_EQ(nine.front().x, 128.0);
    EXPECT_EQ(nine.front().y, 77.0);  // 76.8 rounded
    EXPECT_EQ(nine[4].x, 640.0);
    EXPECT_EQ(nine[4].y, 384.0);
    EXPECT_EQ(nine.back().x, 1152.0);
    EXPECT_EQ(nine.back().y, 691.0);
    EXPECT_TRUE(GridTargets(6, 1280, 768, 10.0).empty());
    EXPECT_TRUE(GridTargets(9, 1280, 768, 50.0).empty());
    EXPECT_TRUE(GridTargets(9, 0, 768, 10.0).empty());
}

// The core's own rotation compensation and distance scaling turn raw aims
// into calibration-screen positions; a fit on CompensatedAim of those raw
// aims must give back the calibration the core used.
TEST(CalibrationFit, CompensatedAimsReproduceTheCoreCalibration) {
    struct Case {
        double roll;
        int distanceScaling;
        double distance;
    } cases[] = {{0.0, 0, 3.0}, {0.3, 0, 3.0}, {-0.5, 0, 3.0}, {0.2, 1, 6.2}, {0.0, 1, 1.0}};
    const double raw[][2] = {{60, 40}, {300, 50}, {170, 150}, {80, 250}, {290, 230}};
    for (const Case& c : cases) {
        tavro::test::FakePlatform core;
        SharedDeviceState& r = *core.SharedData;
        r.Mx = 4.0;
        r.Bx = -100.0;
        r.My = 3.0;
        r.By = -50.0;
        r.RotationCompensation = 1;
        r.DistanceScaling = static_cast<uint8_t>(c.distanceScaling);
        for (int k = 0; k < TAVRO_HISTORY_ENTRIES; ++k) r.History[k][0].Distance = c.distance;
        const double scale = std::max(c.distance, r.Dmin) / r.CalDistance;

        std::vector<AimedPoint> points;
        for (const auto& p : raw) {
            r.RawX[0] = p[0];
            r.RawY[0] = p[1];
            r.Roll[0] = c.roll;
            r.Distance[0] = c.distance;
            core.RotationCompensation(0);
            AimedPoint point;
            CompensatedAim(p[0], p[1], c.roll, c.distanceScaling ? scale : 1.0, &point.aimX,
                           &point.aimY);
            point.target = {r.CompX[0], r.CompY[0]};
            points.push_back(point);
        }
        FitResult fit;
        std::string error;
        ASSERT_TRUE(FitCalibration(points, &fit, &error)) << error;
        EXPECT_NEAR(fit.calibration.mx, 4.0, 1e-9) << "roll " << c.roll;
        EXPECT_NEAR(fit.calibration.bx, -100.0, 1e-6) << "roll " << c.roll;
        EXPECT_NEAR(fit.calibration.my, 3.0, 1e-9) << "roll " << c.roll;
        EXPECT_NEAR(fit.calibration.by, -50.0, 1e-6) << "roll " << c.roll;
        EXPECT_LT(fit.maxError, 1e-6);
    }
}

}  // namespace
