// The adaptive stabiliser: a low-pass filter whose cut-off frequency rises
// with the speed of its input (the "1 euro filter" of Casiez, Roussel and
// Vogel, CHI 2012), one per coordinate, plus the same filter on the roll
// before the roll compensation turns the aiming point by it.
//
// At rest the cut-off is low and the hand's tremor and the camera's noise are
// smoothed away; as the aim moves the cut-off rises and the lag shrinks.  The
// time step of every sample comes from its time stamp, or from a sampling
// clock that spreads packets delivered in a burst over the gap before it, so
// irregular packet intervals are filtered correctly.  Pure arithmetic: no
// clock, no platform.
#ifndef TAVRO_ADAPTIVE_FILTER_H
#define TAVRO_ADAPTIVE_FILTER_H

#include <cmath>
#include <cstdint>

namespace tavro {

struct OneEuroParameters {
    double minCutoffHz;         // cut-off at rest
    double beta;                // cut-off rise in Hz per unit of speed (units per second)
    double derivativeCutoffHz;  // cut-off of the speed estimate itself
    // Speed (units per second) that raises the cut-off by nothing: the speed
    // the input's own noise makes the estimate show while the hand is still.
    // Above it the cut-off rises by beta per unit as usual.
    double speedDeadZone = 0.0;
    // When set, the output is at least the mean of the samples since the
    // input last moved (since the start, at first): a still input is known
    // better with every sample, where a plain low-pass at a very low cut-off
    // would carry the error of the first samples for seconds.
    bool meanSinceMotion = false;
    // When above 0, the dead zone follows the noise the input actually
    // shows: this many times the speed that noise makes the estimate show
    // (see OneEuroFilter::NoiseSigma), kept within the floor and the
    // ceiling.  speedDeadZone is then only the first guess, in force until
    // the input has shown its own noise.
    double deadZoneNoiseMultiple = 0.0;
    double deadZoneFloor = 0.0;
    double deadZoneCeiling = 1e300;
    // When above 0, the cut-off follows the smaller of two speed estimates:
    // the one above and a quicker one at this cut-off (Hz).  A hand that
    // starts is followed as before (the slow estimate is the smaller), a
    // hand that stops lets the filter close within a few packets instead of
    // passing the noise while the slow estimate decays.
    double releaseCutoffHz = 0.0;
    // When set, time steps come from the handset's own sampling clock rather
    // than from the arrival stamps alone (see OneEuroFilter::SampleTime), so
    // that packets delivered in a burst count as the evenly spaced samples
    // they were.
    bool sampleClock = false;
    // Added to the dead zone in force (units per second): the speed that
    // something other than the hand's motion makes the input show for the
    // moment (in the position: the roll's noise while the roll filter
    // follows a turn, and a turn the roll filter has not caught up with).
    double extraDeadZone = 0.0;
};

// Defaults that steady a still hand several times over without adding lag
// in motion (bench/filter_quality.cpp measures them).  The position works in
// calibration-screen pixels, the roll in radians.  Below the dead zone the
// output is the mean since the hand came to rest; above it the cut-off rises
// steeply, so that a hand that moves, or a wrist that turns, is followed
// within a few packets.  The dead zones follow each handset's own noise, a
// few times the speed it makes the estimate show while the hand is still
// (spots with a scatter of 0.3 camera px: about 12 px/s and 0.25 rad/s, for
// which the first guesses below are made).  The roll's multiple is the
// larger: its noise, turned about the camera centre, moves the pointer near
// a corner most, so opening on it costs most.  Once open, the roll filter
// follows the raw roll at once (its beta is steep): the compensation then
// turns by the roll the handset has, and the position, held by the roll's
// share in its dead zone (AdaptiveHandsetFilter), keeps the aim.  The
// floors keep a nearly noiseless handset from taking a tremor of the hand
// for motion, the ceilings keep a very noisy one following the hand.  The
// quick speed estimates are at 10 Hz for the position (it closes within
// 100 ms of a stop) and 6 Hz for the roll.
constexpr OneEuroParameters kPositionFilterDefaults{0.05, 0.13, 0.7, 45.0, true, 3.75, 15.0, 250.0, 10.0, true};
constexpr OneEuroParameters kRollFilterDefaults{0.02, 10000.0, 1.0, 1.0, true, 4.0, 0.3, 5.0, 6.0, true};

// The noise estimate: a running mean square over about this many samples
// (two seconds at 60 packets/s), which a sample joins only while it lies
// within kNoiseGate times the current estimate, so that the start or end of
// a deliberate motion does not count as noise.  The first guess counts as
// kNoisePriorSamples samples.
constexpr double kNoiseAveragingSamples = 120.0;
constexpr double kNoiseGate = 3.0;
constexpr double kNoisePriorSamples = 20.0;
// Beside it, the median of the newest kNoiseRecentSamples samples, which a
// few samples of a motion's start or end do not move: it is the estimate
// until kNoiseSettledSamples samples have come (so a handset noisier or
// quieter than the first guess is known within a fraction of a second), and
// when it says more than kNoiseReseedFactor times the running mean's sigma
// (the noise rose, and the gate would keep the running mean from following;
// a fall needs no help, smaller samples always join), the running mean
// starts again from it.
constexpr int kNoiseRecentSamples = 31;
constexpr int kNoiseSettledSamples = 16;
constexpr double kNoiseReseedFactor = 2.0;
// The median of the square of a standard normal variable.
constexpr double kChiSquareOneMedian = 0.45493642311957283;

// The sampling clock: the packet period is a running mean of the arrival
// gaps (bursts included, so it is the true rate), a gap longer than
// kLongestPeriodSeconds (the handset out of sight) not counted; a sample
// is dated at most kLongestSampleLagSeconds before its arrival.
constexpr double kLongestPeriodSeconds = 0.25;
constexpr double kLongestSampleLagSeconds = 0.1;
constexpr double kPeriodAveragingSamples = 32.0;

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
    void Reset() {
        started_ = false;
        history_ = 0;
    }

    bool Started() const { return started_; }
    double Value() const { return value_; }
    double Speed() const { return speed_; }
    // The speed the cut-off follows: Speed(), or with a release cut-off the
    // smaller of it and the quick estimate in magnitude.
    double CutoffSpeed(const OneEuroParameters& parameters) const;
    // The time of the last sample: its time stamp, or with the sampling
    // clock the time the handset took it.
    double LastSeconds() const { return seconds_; }
    // The packet period the sampling clock has seen (0 before two samples).
    double Period() const { return period_; }
    // How much of the input's noise the last step let through, per sample:
    // sqrt(a / (2 - a)) for the step's smoothing factor a (1 at the start).
    double NoiseShare() const { return noiseShare_; }
    // The scatter (units per second) that a noise of `sigma` per sample
    // leaves in the speed estimate.
    double SpeedNoise(double sigma, const OneEuroParameters& parameters) const;

    // The input's own noise (standard deviation per sample, in the input's
    // units) as estimated so far, or 0 before any estimate.  It comes from
    // the second difference of the raw samples, which a motion at any
    // constant speed leaves at zero, so a slow deliberate motion does not
    // pass for noise.  The estimate belongs to the handset: Reset and Start
    // keep it.
    double NoiseSigma() const { return noiseVariance_ > 0.0 ? std::sqrt(noiseVariance_) : 0.0; }
    // The dead zone in force for the next sample under `parameters`.
    double DeadZone(const OneEuroParameters& parameters) const;

private:
    // The sampling clock: given a sample's arrival time, the time the
    // handset took it.  A sample is dated one period after the previous
    // one, but never after its arrival and never more than
    // kLongestSampleLagSeconds before it, so evenly spaced arrivals keep
    // their stamps, a burst's samples are spread back over the gap before
    // it, and a pause counts at nearly its real length.
    double SampleTime(double arrival);
    void LearnNoise(double value, double step, const OneEuroParameters& parameters);
    double RecentNoiseVariance() const;

    bool started_ = false;
    double value_ = 0.0;
    double speed_ = 0.0;  // filtered derivative, units per second
    double quickSpeed_ = 0.0;  // the same at the release cut-off
    double seconds_ = 0.0;
    double arrival_ = 0.0;  // arrival time of the last sample
    double period_ = 0.0;   // running mean of the arrival gaps, 0: none yet
    double periodSamples_ = 0.0;
    double samples_ = 1.0;  // samples the output stands for (meanSinceMotion)
    double noiseShare_ = 1.0;

    // Noise estimate: the last two raw samples and the step between them.
    int history_ = 0;
    double previous_ = 0.0, beforePrevious_ = 0.0, previousStep_ = 0.0;
    double noiseVariance_ = 0.0;  // 0: no estimate yet
    double noiseSamples_ = 0.0;
    double typicalStep_ = 0.0;    // running mean of the time steps, seconds
    double recent_[kNoiseRecentSamples] = {};  // newest noise samples, a ring
    int recentCount_ = 0, recentNext_ = 0;
    int learned_ = 0;  // noise samples taken, up to kNoiseSettledSamples
};

// The state of one handset: the roll filter and one filter per coordinate.
struct AdaptiveHandsetFilter {
    OneEuroFilter roll;
    OneEuroFilter x;
    OneEuroFilter y;
    // The roll's noise that the roll filter let through in this pass, as
    // calibration-screen pixels per sample of the compensated position.
    double rollNoise = 0.0;
    // The speed (calibration-screen pixels per second) that the roll's
    // speed estimate, turned about the camera centre, gives the compensated
    // position.  While a turn begins, the roll filter still holds the roll
    // of the hand at rest, so the compensation turns the point by the
    // difference and the position seems to move at about this speed; the
    // position's dead zone grows by it, so that the position filter holds
    // the aim instead of following that swing and then its way back.
    double rollMotion = 0.0;
    void Reset() {
        roll.Reset();
        x.Reset();
        y.Reset();
    }
};

// The last step from a filtered position to the pointer, one axis in display
// pixels.  The pointer stands on whole pixels, so a filtered position that
// wanders by a tenth of a pixel across a pixel's edge would flip the pointer
// by a whole one.  The pointer therefore stays on its pixel until the
// position is more than half a pixel plus `margin` from that pixel's centre,
// and then goes to the pixel under the position.  In motion (a pixel or more
// per move) this changes nothing; at rest it keeps the pointer still.
constexpr double kPointerHysteresisMargin = 0.25;

class PixelHysteresis {
public:
    // The centre of the pixel the pointer stays on for `position` (pixel p
    // spans [p, p + 1), its centre is p + 0.5).  The first position takes
    // the pixel under it.  A position that is not a finite number changes
    // nothing and is returned as it came; a margin that is negative or not
    // a number counts as none.
    double Hold(double position, double margin);
    void Reset() { held_ = false; }
    bool Holding() const { return held_; }
    double Pixel() const { return pixel_; }

private:
    bool held_ = false;
    double pixel_ = 0.0;  // the pixel's number, kept as a double: no overflow
};

}  // namespace tavro

#endif  // TAVRO_ADAPTIVE_FILTER_H
