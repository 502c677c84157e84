// Rotation compensation with optional distance scaling, the per-handset
// history, and the adaptive averaging that steadies the pointer at rest.
#include "HistoryAverage.h"
#include "TavroCore.h"

#include <cmath>
#include <cstring>

namespace {

// The camera point the roll turns about, and that distance scaling keeps fixed.
constexpr double kCentreX = 176.0;
constexpr double kCentreY = 144.0;
// Entries the distance scaling averages.
constexpr int kScalingWindow = 10;

bool ValidUser(int user) { return user >= 0 && user < TAVRO_HANDSETS; }

}  // namespace

double CTavroCore::GetAverageDistance(int count, int user) {
    if (SharedData == nullptr) return 0.0;
    return tavro::AverageHistory(*SharedData, &HistoryEntry::Distance, count, user);
}

int CTavroCore::RotationCompensation(int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;

    double mx = r->Mx, bx = r->Bx, my = r->My, by = r->By;
    if (r->DistanceScaling != 0) {
        // Scale the slope with the averaged distance (taken before this pass's
        // entry goes in) while keeping the image of the camera centre fixed.
        double average = GetAverageDistance(kScalingWindow, user);
        if (r->Dmin > average) average = r->Dmin;
        const double f = average / r->CalDistance;
        mx = r->Mx * f;
        my = r->My * f;
        bx = -mx * (kCentreX + ((-r->Bx / r->Mx) - kCentreX) / f);
        by = -my * (kCentreY + ((-r->By / r->My) - kCentreY) / f);
    }

    if (r->RotationCompensation != 0) {
        const double cx = r->RawX[user] - kCentreX;
        const double cy = r->RawY[user] - kCentreY;
        const double c = std::cos(r->Roll[user]);
        const double s = std::sin(r->Roll[user]);
        r->CompX[user] = mx * (cx * c - cy * s + kCentreX) + bx;
        r->CompY[user] = my * (cx * s + cy * c + kCentreY) + by;
    } else {
        r->CompX[user] = mx * r->RawX[user] + bx;
        r->CompY[user] = my * r->RawY[user] + by;
    }

    // Age this handset's entries by one; the other handsets' groups stay put.
    for (int n = TAVRO_HISTORY_ENTRIES - 1; n > 0; --n) r->History[n][user] = r->History[n - 1][user];
    HistoryEntry& newest = r->History[0][user];
    newest.CompX = r->CompX[user];
    newest.CompY = r->CompY[user];
    newest.Distance = r->Distance[user];
    newest.Roll = r->Roll[user];
    newest.ThetaX = r->ThetaX[user];
    if (r->HistoryCount[user] < TAVRO_HISTORY_ENTRIES) ++r->HistoryCount[user];
    return 0;
}

int CTavroCore::Stabilize(int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;

    PreviousOutputX[user] = r->StabX[user];
    PreviousOutputY[user] = r->StabY[user];

    const double ddx = r->RawX[user] - PreviousRawX[user];
    const double ddy = r->RawY[user] - PreviousRawY[user];
    const double movement = std::sqrt(ddx * ddx + ddy * ddy);

    // Still: widen the window by one entry; moving (also a movement that is
    // not a number): narrow it by one.
    int window = r->XYCounter[user];
    if (window < 0) window = 0;  // the counter lives in a shared record: never trust its range
    if (window > TAVRO_HISTORY_ENTRIES) window = TAVRO_HISTORY_ENTRIES;
    if (r->StabThresh > movement) {
        ++window;
        r->Stabilize[user] = 1;
    } else {
        --window;
        r->Stabilize[user] = 0;
    }
    // The upper bound first, so that a bound of 0 or less still leaves a
    // window of one; the history holds no more than 60 entries to average.
    if (window > r->XYCounterMax) window = r->XYCounterMax;
    if (window > TAVRO_HISTORY_ENTRIES) window = TAVRO_HISTORY_ENTRIES;
    if (window <= 0) window = 1;
    r->XYCounter[user] = window;

    r->StabX[user] = tavro::AverageHistory(*r, &HistoryEntry::CompX, window, user);
    r->StabY[user] = tavro::AverageHistory(*r, &HistoryEntry::CompY, window, user);
    return 0;
}
