// The adaptive stabiliser: a low-pass filter whose cut-off frequency rises
// with the speed of its input (the "1 euro filter" of Casiez, Roussel and
// Vogel, CHI 2012), one per coordinate, plus the same filter on the roll
// before the roll compensation turns the aiming point by it.
//
// At rest the cut-off is low and the hand's tremor and the camera's noise are
// smoothed away; as the aim moves the cut-off rises and the lag shrinks.  The
// time step of every sample comes from its time stamp, so irregular packet
// intervals are filtered correctly.  Pure arithmetic: no clock, no platform.
#ifndef TAVRO_ADAPTIVE_FILTER_H
#define TAVRO_ADAPTIVE_FILTER_H

#include <cstdint>

namespace tavro {

struct OneEuroParameters {
    double minCutoffHz;         // cut-off at rest
    double beta;                // cut-off rise in Hz per unit of speed (units per second)
    double derivativeCutoffHz;  // cut-off of the speed estimate itself
};

// Defaults that steady a still hand several times over without adding lag
// in motion (bench/filter_quality.cpp measures them).  The position works in
// calibration-screen pixels, the roll in radians.
constexpr OneEuroParameters kPositionFilterDefaults{0.3, 0.03, 0.5};
constexpr OneEuroParameters kRollFilterDefaults{0.05, 0.2, 0.5};

// Time steps are bounded: two samples with the same (or a going-back) time
// stamp count as kMinimumStepSeconds apart, so that a burst of packets is
// still filtered rather than dropped.
constexpr double kMinimumStepSeconds = 0.001;

// Smoothing factor of one exponential step of `stepSeconds` at `cutoffHz`.
double SmoothingFactor(double cutoffHz, double stepSeconds);

// One scalar signal.
class OneEuroFilter {
public:
    // Filters one sample taken at `seconds` and returns the new output.  The
    // first sample passes through unchanged.  A sample or time stamp that is
    // not a finite number changes nothing: the output stays where it was (and
    // before the first sample such a value is returned as it came).
    double Filter(double value, double seconds, const OneEuroParameters& parameters);
    // Begins from a given output and speed instead of from the next sample,
    // so that taking over from another stabiliser does not jump.
    void Start(double value, double speed, double seconds);
    // Forgets everything; the next sample passes through.
    void Reset() { started_ = false; }

    bool Started() const { return started_; }
    double Value() const { return value_; }
    double Speed() const { return speed_; }
    double LastSeconds() const { return seconds_; }

private:
    bool started_ = false;
    double value_ = 0.0;
    double speed_ = 0.0;  // filtered derivative, units per second
    double seconds_ = 0.0;
};

// The state of one handset: the roll filter and one filter per coordinate.
struct AdaptiveHandsetFilter {
    OneEuroFilter roll;
    OneEuroFilter x;
    OneEuroFilter y;
    void Reset() {
        roll.Reset();
        x.Reset();
        y.Reset();
    }
};

}  // namespace tavro

#endif  // TAVRO_ADAPTIVE_FILTER_H
