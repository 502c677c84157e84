#include "CalibrationFit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tavro::calibration {

namespace {

struct Line {
    double slope = 0.0, offset = 0.0;
};

// Least squares of target = slope * aim + offset.  False when the aims or the
// targets do not spread.
bool FitLine(const std::vector<double>& aims, const std::vector<double>& targets, const char* axis,
             Line* line, std::string* error) {
    const double n = static_cast<double>(aims.size());
    double meanAim = 0.0, meanTarget = 0.0;
    for (size_t i = 0; i < aims.size(); ++i) {
        meanAim += aims[i];
        meanTarget += targets[i];
    }
    meanAim /= n;
    meanTarget /= n;
    double saa = 0.0, sat = 0.0, stt = 0.0;
    for (size_t i = 0; i < aims.size(); ++i) {
        double da = aims[i] - meanAim, dt = targets[i] - meanTarget;
        saa += da * da;
        sat += da * dt;
        stt += dt * dt;
    }
    if (stt == 0.0) {
        *error = std::string("the targets do not differ in ") + axis;
        return false;
    }
    double spread = std::sqrt(saa / n);
    if (spread < kMinimumAimSpread) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the aimed points hardly differ in %s (spread %.3f camera pixels): "
                      "the handset did not follow the targets",
                      axis, spread);
        *error = text;
        return false;
    }
    line->slope = sat / saa;
    line->offset = meanTarget - line->slope * meanAim;
    return true;
}

}  // namespace

void CompensatedAim(double rawX, double rawY, double roll, double scale, double* x, double* y) {
    double cx = rawX - kCameraCentreX, cy = rawY - kCameraCentreY;
    double c = std::cos(roll), s = std::sin(roll);
    double turnedX = cx * c - cy * s, turnedY = cx * s + cy * c;
    *x = kCameraCentreX + scale * turnedX;
    *y = kCameraCentreY + scale * turnedY;
}

bool FitCalibration(const std::vector<AimedPoint>& points, FitResult* result, std::string* error) {
    if (points.size() < 2) {
        *error = "at least two aimed points are needed";
        return false;
    }
    std::vector<double> aimX, aimY, targetX, targetY;
    for (const AimedPoint& p : points) {
        if (!std::isfinite(p.aimX) || !std::isfinite(p.aimY) || !std::isfinite(p.target.x) ||
            !std::isfinite(p.target.y)) {
            *error = "an aimed point or a target is not a finite number";
            return false;
        }
        aimX.push_back(p.aimX);
        aimY.push_back(p.aimY);
        targetX.push_back(p.target.x);
        targetY.push_back(p.target.y);
    }
    Line x, y;
    if (!FitLine(aimX, targetX, "x", &x, error) || !FitLine(aimY, targetY, "y", &y, error))
        return false;

    FitResult fit;
    fit.calibration = {x.slope, x.offset, y.slope, y.offset};
    double sumSquares = 0.0;
    for (const AimedPoint& p : points) {
        double dx = x.slope * p.aimX + x.offset - p.target.x;
        double dy = y.slope * p.aimY + y.offset - p.target.y;
        double residual = std::hypot(dx, dy);
        fit.residuals.push_back(residual);
        sumSquares += residual * residual;
        fit.maxError = std::max(fit.maxError, residual);
    }
    fit.rmsError = std::sqrt(sumSquares / static_cast<double>(points.size()));
    *result = fit;
    return true;
}

std::vector<Target> GridTargets(int count, int width, int height, double marginPercent) {
    std::vector<Target> targets;
    if (marginPercent < 0.0 || marginPercent > 45.0 || width <= 0 || height <= 0) return targets;
    const double m = marginPercent / 100.0;
    auto at = [&](double fx, double fy) {
        targets.push_back({std::round(fx * width), std::round(fy * height)});
    };
    switch (count) {
        case 4:
        case 5:
            at(m, m);
            at(1 - m, m);
            at(1 - m, 1 - m);
            at(m, 1 - m);
            if (count == 5) at(0.5, 0.5);
            break;
        case 9:
            for (double fy : {m, 0.5, 1 - m})
                for (double fx : {m, 0.5, 1 - m}) at(fx, fy);
            break;
        default:
            break;
    }
    return targets;
}

}  // namespace tavro::calibration
