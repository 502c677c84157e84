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
    const double cutoff = p.minCutoffHz + p.beta * std::fabs(speed_);
    value_ += SmoothingFactor(cutoff, step) * (value - value_);
    return value_;
}

void OneEuroFilter::Start(double value, double speed, double seconds) {
    if (!std::isfinite(value) || !std::isfinite(seconds)) return;
    started_ = true;
    value_ = value;
    speed_ = std::isfinite(speed) ? speed : 0.0;
    seconds_ = seconds;
}

}  // namespace tavro
