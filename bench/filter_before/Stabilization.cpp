// Rotation compensation with optional distance scaling, the per-handset
// history, and the two stabilisers that steady the pointer: the built-in
// averaging window over the history, and the speed-adaptive filter of
// AdaptiveFilter.h (roll smoothed before the compensation, position after).
#include "AdaptiveFilter.h"
#include "HistoryAverage.h"
#include "RecordAccess.h"
#include "TavroCore.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// The camera point the roll turns about, and that distance scaling keeps fixed.
constexpr double kCentreX = 176.0;
constexpr double kCentreY = 144.0;
// Entries the distance scaling averages.
constexpr int kScalingWindow = 10;

bool ValidUser(int user) { return user >= 0 && user < TAVRO_HANDSETS; }

double Seconds(int64_t nanoseconds) { return static_cast<double>(nanoseconds) * 1e-9; }

int64_t SteadyClockNs(void*) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// After a take-over the adaptive filter may lag less than the stabiliser it
// takes over from, and would make up the difference in one step.  So its
// first step is no longer than the hand's own last step, and the following
// ones no longer than kCatchUpShare times the hand's step, until a step
// needs no cut (at most kCatchUpPasses passes, a second at 60 packets/s).
constexpr double kCatchUpShare = 1.25;
constexpr int kCatchUpPasses = 60;

// The adaptive filter of one coordinate, taking over from whatever output
// the handset had: it starts from the previous output at the previous pass's
// time, moving at the speed the last two history entries show, so the first
// filtered step is a fraction of the packet's step, never a jump.  While
// `limit`, a step longer than the share above of the hand's step is cut to
// it, and `cut` tells whether it was.
double FilterCoordinate(tavro::OneEuroFilter& filter, bool takeOver, bool limit, double previousOutput,
                        double newest, double older, double previousSeconds, double seconds,
                        const tavro::OneEuroParameters& parameters, bool* cut) {
    if (takeOver && std::isfinite(previousOutput)) {
        double step = seconds - previousSeconds;
        if (!(step >= tavro::kMinimumStepSeconds)) step = tavro::kMinimumStepSeconds;
        filter.Start(previousOutput, (newest - older) / step, previousSeconds);
    }
    double output = filter.Filter(newest, seconds, parameters);
    if ((takeOver || limit) && std::isfinite(output) && std::isfinite(previousOutput)) {
        // However the passes were spaced, the new filter's first step is no
        // longer than the hand's own last step, and the next few hardly so.
        const double bound = std::fabs(newest - older) * (takeOver ? 1.0 : kCatchUpShare);
        if (std::isfinite(bound) && std::fabs(output - previousOutput) > bound) {
            output = previousOutput + (output > previousOutput ? bound : -bound);
            filter.Start(output, filter.Speed(), seconds);
            *cut = true;
        }
    }
    // Not a number before anything was filtered: stay where the output was.
    return std::isfinite(output) ? output : previousOutput;
}

}  // namespace

namespace {
thread_local int64_t t_passArrivalNs = 0;
}

void CTavroCore::SetPassArrivalNs(int64_t ns) { t_passArrivalNs = ns; }

int64_t CTavroCore::PassTimeNs() {
    if (PassClock != nullptr) return PassClock(PassClockContext);
    return t_passArrivalNs != 0 ? t_passArrivalNs : SteadyClockNs(nullptr);
}

void CTavroCore::HoldPointerPixel(const PassMotion& motion, double* x, double* y) {
    if (x == nullptr || y == nullptr || !ValidUser(motion.user)) return;
    // Overlapping passes of one handset may move the pointer at the same
    // time; the held pixel is shared between them.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    StabiliserState& state = Stabilisers[motion.user];
    if (motion.stabiliser != kStabiliserAdaptive) {
        // The built-in stabiliser's positions go to the pointer as they are;
        // a later switch back starts from the pixel under the position.
        state.pointerX.Reset();
        state.pointerY.Reset();
        return;
    }
    *x = state.pointerX.Hold(*x, PointerHysteresisMargin);
    *y = state.pointerY.Hold(*y, PointerHysteresisMargin);
}

double CTavroCore::GetAverageDistance(int count, int user) {
    if (SharedData == nullptr) return 0.0;
    return tavro::AverageHistory(*SharedData, &HistoryEntry::Distance, count, user);
}

int CTavroCore::RotationCompensation(int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;

    // The pass's time stamp and its stabiliser, fixed here for both stages.
    StabiliserState& state = Stabilisers[user];
    state.previousPassNs = state.passNs;
    state.passNs = PassTimeNs();
    state.hasPrevious = state.passes > 0;
    ++state.passes;
    state.choice = StabiliserChoice.load(std::memory_order_relaxed) == kStabiliserAdaptive
                       ? kStabiliserAdaptive
                       : kStabiliserBuiltin;
    using tavro::LoadField;
    using tavro::StoreField;
    double roll = LoadField(r->Roll[user]);
    if (state.choice == kStabiliserAdaptive) {
        // The roll's noise, turned about the camera centre, is what makes the
        // pointer shake near the screen's edges: smooth it first.  A newly
        // chosen filter starts from the raw roll, which the built-in
        // stabiliser was using.
        if (state.lastChoice != kStabiliserAdaptive || !state.filter.roll.Started())
            state.filter.roll.Start(roll, 0.0, Seconds(state.passNs));
        else
            roll = state.filter.roll.Filter(roll, Seconds(state.passNs), RollFilterParameters);
    }

    const double calMx = LoadField(r->Mx), calBx = LoadField(r->Bx);
    const double calMy = LoadField(r->My), calBy = LoadField(r->By);
    double mx = calMx, bx = calBx, my = calMy, by = calBy;
    if (LoadField(r->DistanceScaling) != 0) {
        // Scale the slope with the averaged distance (taken before this pass's
        // entry goes in) while keeping the image of the camera centre fixed.
        double average = GetAverageDistance(kScalingWindow, user);
        const double dmin = LoadField(r->Dmin);
        if (dmin > average) average = dmin;
        const double f = average / LoadField(r->CalDistance);
        mx = calMx * f;
        my = calMy * f;
        bx = -mx * (kCentreX + ((-calBx / calMx) - kCentreX) / f);
        by = -my * (kCentreY + ((-calBy / calMy) - kCentreY) / f);
    }

    const double rawX = LoadField(r->RawX[user]);
    const double rawY = LoadField(r->RawY[user]);
    HistoryEntry newest;
    if (LoadField(r->RotationCompensation) != 0) {
        const double cx = rawX - kCentreX;
        const double cy = rawY - kCentreY;
        const double c = std::cos(roll);
        const double s = std::sin(roll);
        newest.CompX = mx * (cx * c - cy * s + kCentreX) + bx;
        newest.CompY = my * (cx * s + cy * c + kCentreY) + by;
        // The roll's noise that its filter let through, turned about the centre.
        state.filter.rollNoise = std::hypot(cx, cy) * std::max(std::fabs(mx), std::fabs(my)) *
                                 state.filter.roll.NoiseSigma() * state.filter.roll.NoiseShare();
    } else {
        newest.CompX = mx * rawX + bx;
        newest.CompY = my * rawY + by;
    }
    StoreField(r->CompX[user], newest.CompX);
    StoreField(r->CompY[user], newest.CompY);

    // Age this handset's entries by one; the other handsets' groups stay put.
    for (int n = TAVRO_HISTORY_ENTRIES - 1; n > 0; --n)
        tavro::StoreHistory(r->History[n][user], tavro::LoadHistory(r->History[n - 1][user]));
    newest.Distance = LoadField(r->Distance[user]);
    newest.Roll = LoadField(r->Roll[user]);
    newest.ThetaX = LoadField(r->ThetaX[user]);
    tavro::StoreHistory(r->History[0][user], newest);
    const int32_t filled = LoadField(r->HistoryCount[user]);
    if (filled < TAVRO_HISTORY_ENTRIES) StoreField(r->HistoryCount[user], filled + 1);
    return 0;
}

int CTavroCore::Stabilize(int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;

    using tavro::LoadField;
    using tavro::StoreField;
    PreviousOutputX[user] = LoadField(r->StabX[user]);
    PreviousOutputY[user] = LoadField(r->StabY[user]);

    const double ddx = LoadField(r->RawX[user]) - PreviousRawX[user];
    const double ddy = LoadField(r->RawY[user]) - PreviousRawY[user];
    const double movement = std::sqrt(ddx * ddx + ddy * ddy);

    // Still: widen the window by one entry; moving (also a movement that is
    // not a number): narrow it by one.
    int window = LoadField(r->XYCounter[user]);
    if (window < 0) window = 0;  // the counter lives in a shared record: never trust its range
    if (window > TAVRO_HISTORY_ENTRIES) window = TAVRO_HISTORY_ENTRIES;
    if (LoadField(r->StabThresh) > movement) {
        ++window;
        StoreField(r->Stabilize[user], 1);
    } else {
        --window;
        StoreField(r->Stabilize[user], 0);
    }
    // The upper bound first, so that a bound of 0 or less still leaves a
    // window of one; the history holds no more than 60 entries to average.
    const int32_t windowMax = LoadField(r->XYCounterMax);
    if (window > windowMax) window = windowMax;
    if (window > TAVRO_HISTORY_ENTRIES) window = TAVRO_HISTORY_ENTRIES;
    if (window <= 0) window = 1;
    StoreField(r->XYCounter[user], window);

    StabiliserState& state = Stabilisers[user];
    if (state.choice != kStabiliserAdaptive) {
        StoreField(r->StabX[user], tavro::AverageHistory(*r, &HistoryEntry::CompX, window, user));
        StoreField(r->StabY[user], tavro::AverageHistory(*r, &HistoryEntry::CompY, window, user));
        if (state.lastChoice == kStabiliserAdaptive) state.filter.Reset();
        state.lastChoice = kStabiliserBuiltin;
        return 0;
    }

    // The adaptive filter.  The window above still counts, so XYCounter and
    // Stabilize keep telling clients whether the hand is still.
    const bool takeOver = (state.lastChoice != kStabiliserAdaptive || !state.filter.x.Started()) &&
                          state.hasPrevious && LoadField(r->HistoryCount[user]) > 1;
    if (state.lastChoice != kStabiliserAdaptive) {
        state.filter.x.Reset();
        state.filter.y.Reset();
    }
    const double previous = Seconds(state.previousPassNs), now = Seconds(state.passNs);
    const HistoryEntry newest = tavro::LoadHistory(r->History[0][user]);
    const HistoryEntry older = tavro::LoadHistory(r->History[1][user]);
    if (takeOver) state.limitedPasses = kCatchUpPasses;
    const bool limit = state.limitedPasses > 0;
    bool cut = false;
    // While the roll filter lets the roll's noise through (a turn), the
    // position is not taken to move by what that noise makes it show.
    tavro::OneEuroParameters position = PositionFilterParameters;
    position.extraDeadZone =
        position.deadZoneNoiseMultiple * state.filter.x.SpeedNoise(state.filter.rollNoise, position);
    StoreField(r->StabX[user], FilterCoordinate(state.filter.x, takeOver, limit, PreviousOutputX[user],
                                                newest.CompX, older.CompX, previous, now, position, &cut));
    StoreField(r->StabY[user], FilterCoordinate(state.filter.y, takeOver, limit, PreviousOutputY[user],
                                                newest.CompY, older.CompY, previous, now, position, &cut));
    // Caught up once neither coordinate needed a cut.
    if (limit) state.limitedPasses = cut ? state.limitedPasses - 1 : 0;
    state.lastChoice = kStabiliserAdaptive;
    return 0;
}
