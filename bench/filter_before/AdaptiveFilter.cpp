// The speed-adaptive low-pass filter, step by step as published: an
// exponential smoother whose factor follows from the cut-off and the time
// step, the speed estimated from the raw step and smoothed at a fixed
// cut-off, and the cut-off raised in proportion to that speed.
#include "AdaptiveFilter.h"

#include <algorithm>
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
        history_ = 0;
        if (p.deadZoneNoiseMultiple > 0.0) LearnNoise(value, 0.0, p);
        return value_;
    }
    double step;
    if (p.sampleClock) {
        const double t = SampleTime(seconds);
        step = t - seconds_;
        seconds_ = t;
    } else {
        step = seconds - seconds_;
        if (!(step >= kMinimumStepSeconds)) step = kMinimumStepSeconds;
        if (seconds > seconds_) seconds_ = seconds;
        if (seconds > arrival_) arrival_ = seconds;
    }
    if (p.deadZoneNoiseMultiple > 0.0) LearnNoise(value, step, p);

    const double rawSpeed = (value - value_) / step;
    speed_ += SmoothingFactor(p.derivativeCutoffHz, step) * (rawSpeed - speed_);
    if (p.releaseCutoffHz > 0.0) quickSpeed_ += SmoothingFactor(p.releaseCutoffHz, step) * (rawSpeed - quickSpeed_);
    double excess = CutoffSpeed(p) - DeadZone(p);
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
    noiseShare_ = std::sqrt(alpha / (2.0 - alpha));
    value_ += alpha * (value - value_);
    return value_;
}

double OneEuroFilter::CutoffSpeed(const OneEuroParameters& p) const {
    if (!(p.releaseCutoffHz > 0.0)) return std::fabs(speed_);
    return std::min(std::fabs(speed_), std::fabs(quickSpeed_));
}

double OneEuroFilter::SampleTime(double arrival) {
    const double gap = arrival - arrival_;
    if (gap >= 0.0 && gap <= kLongestPeriodSeconds) {
        // A plain mean of the first gaps, then a running one.
        periodSamples_ = std::min(periodSamples_ + 1.0, kPeriodAveragingSamples);
        period_ += (gap - period_) / periodSamples_;
    }
    if (arrival > arrival_) arrival_ = arrival;
    double t = seconds_ + period_;
    t = std::min(t, arrival_);
    t = std::max(t, arrival_ - kLongestSampleLagSeconds);
    return std::max(t, seconds_ + kMinimumStepSeconds);
}

void OneEuroFilter::Start(double value, double speed, double seconds) {
    if (!std::isfinite(value) || !std::isfinite(seconds)) return;
    // Started again on the sample just filtered (a cut step): the sampling
    // clock keeps the time it gave that sample.
    const bool sameSample = started_ && seconds == arrival_;
    started_ = true;
    value_ = value;
    speed_ = std::isfinite(speed) ? speed : 0.0;
    quickSpeed_ = speed_;
    if (!sameSample) seconds_ = arrival_ = seconds;
    samples_ = 1.0;
    noiseShare_ = 1.0;
}

// While the output stands still, the speed estimate is the smoothed
// difference of each sample from it divided by the step: white noise of
// sigma per sample, smoothed by a factor a per step, leaves a scatter of
// sigma / step * sqrt(a / (2 - a)).
double OneEuroFilter::SpeedNoise(double sigma, const OneEuroParameters& p) const {
    const double step = typicalStep_ > 0.0 ? typicalStep_ : 1.0 / 60.0;
    const double a = SmoothingFactor(p.derivativeCutoffHz, step);
    return sigma / step * std::sqrt(a / (2.0 - a));
}

double OneEuroFilter::DeadZone(const OneEuroParameters& p) const {
    if (!(p.deadZoneNoiseMultiple > 0.0) || !(noiseVariance_ > 0.0)) return p.speedDeadZone + p.extraDeadZone;
    const double zone = p.deadZoneNoiseMultiple * SpeedNoise(std::sqrt(noiseVariance_), p);
    return std::clamp(zone, p.deadZoneFloor, std::max(p.deadZoneFloor, p.deadZoneCeiling)) + p.extraDeadZone;
}

// The second difference of three samples, with the steps h0 and h1 between
// them, e = (x2 - x1) - (h1 / h0) (x1 - x0), is zero for any motion at a
// constant speed; for white noise of sigma per sample its variance is
// sigma^2 (1 + (1 + r)^2 + r^2) with r = h1 / h0.  So e^2 divided by that
// is a sample of sigma^2 that a steady motion does not inflate.
void OneEuroFilter::LearnNoise(double value, double step, const OneEuroParameters& p) {
    if (step > 0.0) typicalStep_ = typicalStep_ > 0.0 ? typicalStep_ + 0.05 * (step - typicalStep_) : step;
    if (history_ >= 2) {
        const double r = step / previousStep_;
        // Steps very unlike each other (a gap) say little about the noise
        // and much about the timing: skipped.
        if (r >= 0.25 && r <= 4.0) {
            const double e = (value - previous_) - r * (previous_ - beforePrevious_);
            const double sample = e * e / (1.0 + (1.0 + r) * (1.0 + r) + r * r);
            // The floor and ceiling of the dead zone, as noise per sample.
            const double perSigma = p.deadZoneNoiseMultiple * SpeedNoise(1.0, p);
            const double low = p.deadZoneFloor / perSigma, high = p.deadZoneCeiling / perSigma;
            const double lowest = low * low, highest = std::max(lowest, high * high);
            if (!(noiseVariance_ > 0.0)) {
                // The first guess: the noise the configured dead zone is for.
                const double guess = std::clamp(p.speedDeadZone / perSigma, low, std::max(low, high));
                noiseVariance_ = guess * guess;
                noiseSamples_ = kNoisePriorSamples;
            }
            if (std::isfinite(sample)) {
                recent_[recentNext_] = sample;
                recentNext_ = (recentNext_ + 1) % kNoiseRecentSamples;
                if (recentCount_ < kNoiseRecentSamples) ++recentCount_;
                const double recent = std::clamp(RecentNoiseVariance(), lowest, highest);
                const double factor = kNoiseReseedFactor * kNoiseReseedFactor;
                if (learned_ < kNoiseSettledSamples) {
                    // Starting: the median of what came so far, from the
                    // third sample on (before it, the first guess).
                    if (++learned_ >= 3) {
                        noiseVariance_ = recent;
                        noiseSamples_ = learned_;
                    }
                } else if (recent > factor * noiseVariance_) {
                    noiseVariance_ = recent;
                    noiseSamples_ = kNoiseSettledSamples;
                } else if (sample <= kNoiseGate * kNoiseGate * noiseVariance_) {
                    noiseSamples_ = std::min(noiseSamples_ + 1.0, kNoiseAveragingSamples);
                    noiseVariance_ += (sample - noiseVariance_) / noiseSamples_;
                }
            }
            noiseVariance_ = std::clamp(noiseVariance_, lowest, highest);
            if (!(noiseVariance_ > 0.0) || !std::isfinite(noiseVariance_)) noiseVariance_ = 0.0;
        }
    }
    beforePrevious_ = previous_;
    previous_ = value;
    previousStep_ = step;
    if (history_ < 2) ++history_;
}

// The median of the recent noise samples, as a variance (the median of a
// squared normal variable is kChiSquareOneMedian times its variance); 0
// before any.
double OneEuroFilter::RecentNoiseVariance() const {
    if (recentCount_ == 0) return 0.0;
    double sorted[kNoiseRecentSamples];
    std::copy(recent_, recent_ + recentCount_, sorted);
    double* middle = sorted + recentCount_ / 2;
    std::nth_element(sorted, middle, sorted + recentCount_);
    return *middle / kChiSquareOneMedian;
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
