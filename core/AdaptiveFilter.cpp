// The speed-adaptive low-pass filter, step by step as published: an
// exponential smoother whose factor follows from the cut-off and the time
// step, the speed estimated from the raw step and smoothed at a fixed
// cut-off, and the cut-off raised in proportion to that speed.
#include "AdaptiveFilter.h"

#include <cmath>

namespace tavro {

namespace {

constexpr double kTwoPi = 6.283185307179586;

}  // namespace

double SmoothingFactor(double cutoffHz, double stepSeconds) {
    // A first-order low-pass of time constant 1 / (2 pi fc), sampled at the step.
    const double tau = 1.0 / (kTwoPi * cutoffHz);
    return 1.0 / (1.0 + tau / stepSeconds);
}

double OneEuroFilter::Filter(double value, double seconds, const OneEuroParameters& p) {
    if (!std::isfinite(value) || !std::isfinite(seconds)) return started_ ? value_ : value;
    if (!started_) {
        Start(value, 0.0, seconds);
        return value_;
    }
    double step = seconds - seconds_;
    if (!(step >= kMinimumStepSeconds)) step = kMinimumStepSeconds;
    if (seconds > seconds_) seconds_ = seconds;

    const double rawSpeed = (value - value_) / step;
    speed_ += SmoothingFactor(p.derivativeCutoffHz, step) * (rawSpeed - speed_);
    double excess = std::fabs(speed_) - p.speedDeadZone;
    if (!(excess > 0.0)) excess = 0.0;
    const double cutoff = p.minCutoffHz + p.beta * excess;
    double alpha = SmoothingFactor(cutoff, step);
    if (p.meanSinceMotion) {
        // An output that stands for n samples takes the next one with
        // weight 1 / (n + 1), a running mean; a higher cut-off (motion)
        // weighs more and shortens the memory to what it stands for.
        const double mean = 1.0 / (samples_ + 1.0);
        if (mean > alpha) alpha = mean;
        samples_ = 1.0 / alpha;
    }
    value_ += alpha * (value - value_);
    return value_;
}

void OneEuroFilter::Start(double value, double speed, double seconds) {
    if (!std::isfinite(value) || !std::isfinite(seconds)) return;
    started_ = true;
    value_ = value;
    speed_ = std::isfinite(speed) ? speed : 0.0;
    seconds_ = seconds;
    samples_ = 1.0;
}

double PixelHysteresis::Hold(double position, double margin) {
    if (!std::isfinite(position)) return position;
    if (!(margin > 0.0)) margin = 0.0;
    if (!held_ || std::fabs(position - (pixel_ + 0.5)) > 0.5 + margin) {
        pixel_ = std::floor(position);
        held_ = true;
    }
    return pixel_ + 0.5;
}

}  // namespace tavro
