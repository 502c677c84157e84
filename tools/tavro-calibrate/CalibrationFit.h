// The calibration of the kit: calibration-screen position = M * aim + B, per
// axis, fitted by least squares to aimed points whose screen targets are
// known.  Pure functions, no kit or X11 involved.
#ifndef TAVRO_CALIBRATION_FIT_H
#define TAVRO_CALIBRATION_FIT_H

#include <string>
#include <vector>

namespace tavro::calibration {

// The kit turns the aim about the camera centre by the roll and spreads it
// about the centre with the distance scaling before the calibration applies.
constexpr double kCameraCentreX = 176.0;
constexpr double kCameraCentreY = 144.0;

// Aimed points closer together than this (camera pixels, standard deviation
// per axis) cannot tell a slope: the handset did not follow the targets.
constexpr double kMinimumAimSpread = 0.5;

struct Target {
    double x = 0.0;  // calibration-screen pixels
    double y = 0.0;
};

struct AimedPoint {
    double aimX = 0.0;  // camera pixels, compensated (see CompensatedAim)
    double aimY = 0.0;
    Target target;
};

struct Calibration {
    double mx = 0.0, bx = 0.0, my = 0.0, by = 0.0;
};

struct FitResult {
    Calibration calibration;
    std::vector<double> residuals;  // per point: distance from fit to target, screen pixels
    double rmsError = 0.0;
    double maxError = 0.0;
};

// The point the kit multiplies by the calibration for a raw aim: turned by
// `roll` radians about the camera centre (pass 0 when rotation compensation
// is off), then spread from the centre by `scale` (the distance-scaling
// factor; 1 when distance scaling is off).
void CompensatedAim(double rawX, double rawY, double roll, double scale, double* x, double* y);

// Fits Mx, Bx from (aimX, target.x) and My, By from (aimY, target.y).
// Returns false with a reason in *error when the input cannot give a
// calibration: fewer than two points, values that are not finite, targets
// all on one line, or aims that do not spread (kMinimumAimSpread).
bool FitCalibration(const std::vector<AimedPoint>& points, FitResult* result, std::string* error);

// Targets for `count` points (4: the corners, 5: corners and centre, 9: a
// 3 x 3 grid) on a width x height calibration screen, the outer ones
// `marginPercent` of the size in from the edges, rounded to whole pixels.
// Empty for another count or a margin outside 0..45.
std::vector<Target> GridTargets(int count, int width, int height, double marginPercent);

}  // namespace tavro::calibration

#endif
