// The calculation pass: from one tracking payload to raw position, roll,
// distance and power term, through calibration and smoothing, to pointer
// moves spread over a few sub-frames.
#include "TavroCore.h"

#include "RecordAccess.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// Payload bytes a pass reads: the button word and two spots of three words;
// a payload handed to a pass holds at least these.
constexpr int kTrackingFieldBytes = 14;
// Packet units (hundredths of a camera pixel) per camera pixel, and the
// divisor that turns the sum of two coordinates into their midpoint.
constexpr double kCoordinateScale = 100.0;
constexpr double kMidpointScale = 200.0;
// Roll beyond which the roll virtual buttons go up.
constexpr double kRollLimit = 0.35;
// Pointer step per sub-frame while the aim is past a screen edge.
constexpr int kBorderStep = 10;

// The computation stage of a pass (raw values, history, smoothing, button
// dispatch, interpolation table) runs one pass at a time: its state lives in
// the record and in the object and is updated read-modify-write, so two
// passes interleaving there would tear the history and the button registers.
// Only the sub-frame moves and their waits run concurrently.
std::mutex& ComputationMutex() {
    static std::mutex mutex;
    return mutex;
}

unsigned Word(const unsigned char* p, int index) {
    return (static_cast<unsigned>(p[2 * index]) << 8) | p[2 * index + 1];
}

// Sub-frames a SubframeInterpolation value asks for, bounded by the table.
int SubframeCount(int requested) {
    if (requested <= 0) return 0;
    return requested > kMaxSubframes ? kMaxSubframes : requested;
}

int PauseMicroseconds(int sleepingFactor, int subframes) {
    long long pause = static_cast<long long>(sleepingFactor) * 1000 / subframes;
    if (pause < 0) return 0;
    return pause > INT_MAX ? INT_MAX : static_cast<int>(pause);
}

struct Spot {
    unsigned x, y, power;
};


}  // namespace

int CTavroCore::CalculatePODDeviceData() {
    if (SharedData == nullptr || tavro::StopRequested(SharedData)) return 0;
    unsigned char payload[kTrackingPayloadSize];
    tavro::LoadBytes(SharedData->RawData, payload, sizeof payload);
    return CalculatePODDeviceData(payload);
}

int CTavroCore::CalculatePODDeviceData(const unsigned char* payload) {
    PassMotion motion;
    if (!ComputePass(payload, &motion)) return 0;
    auto sleep = [](void* core, int microseconds) {
        static_cast<CTavroCore*>(core)->TV_Sleep(microseconds);
        return true;
    };
    MovePass(motion, sleep, this, true);
    return 0;
}

bool CTavroCore::ComputePass(const unsigned char* payload, PassMotion* motion) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || payload == nullptr || motion == nullptr || tavro::StopRequested(r)) return false;

    // Work on a private copy of the fields a pass reads.
    unsigned char copy[kTrackingFieldBytes];
    std::memcpy(copy, payload, kTrackingFieldBytes);
    const int user = (copy[0] >> 5) & 3;
    motion->user = user;
    motion->subframes = 0;

    std::lock_guard<std::mutex> lock(ComputationMutex());
    tavro::StoreField(r->PacketUser, user);
    PreviousRawX[user] = tavro::LoadField(r->RawX[user]);
    PreviousRawY[user] = tavro::LoadField(r->RawY[user]);
    const int ok = CalculateData(copy, user);
    RotationCompensation(user);
    Stabilize(user);
    CalculateInterPolValues(motion->table, user);
    const int subframes = SubframeCount(tavro::LoadField(r->SubframeInterpolation));
    if (ok == 0 || subframes == 0) return false;
    motion->subframes = subframes;
    motion->stabiliser = Stabilisers[user].choice;
    motion->pauseMicroseconds = PauseMicroseconds(tavro::LoadField(r->SleepingFactor), subframes);
    // Numbered under the lock, so the newest number belongs to the pass
    // whose target is the newest stabilised position.
    motion->sequence = PassSequence[user].fetch_add(1) + 1;
    return true;
}

int CTavroCore::MovePass(const PassMotion& motion, bool (*wait)(void* context, int microseconds),
                         void* context, bool waitAfterLast) {
    SharedDeviceState* r = SharedData;
    const int user = motion.user;
    if (r == nullptr || user < 0 || user >= TAVRO_HANDSETS) return 0;
    int moves = 0;
    for (int i = 0; i < motion.subframes; ++i) {
        // The setting may shrink while the pass runs (never grow past the
        // table), and a stop or a newer pass of this handset ends the moves.
        if (i >= tavro::LoadField(r->SubframeInterpolation) || tavro::StopRequested(r)) break;
        if (SupersedeOlderPasses && PassSequence[user].load() != motion.sequence) break;

        double x = motion.table[i][0][user];
        double y = motion.table[i][1][user];
        CalculatePODCoordinates(&x, &y);
        HoldPointerPixel(motion, &x, &y);
        const double unclampedX = x;
        const double unclampedY = y;
        CalculateScreenBorders(&x, &y, user);
        MoveScreenCursor(x, y, unclampedX, unclampedY, user);
        ++moves;

        // Another handset's computation may change the active handset and
        // MoveEnabled meanwhile.
        if (user == tavro::LoadField(r->CurrentUser) && tavro::LoadField(r->ActivateCursor) != 0 &&
            tavro::LoadField(r->MoveEnabled) != 0 && tavro::LoadField(r->MoveAtBoundary) != 0) {
            if (tavro::LoadField(r->BorderLeft[user]) != 0) MoveScreenCursorRelative(-kBorderStep, 0);
            if (tavro::LoadField(r->BorderRight[user]) != 0) MoveScreenCursorRelative(kBorderStep, 0);
            if (tavro::LoadField(r->BorderTop[user]) != 0) MoveScreenCursorRelative(0, -kBorderStep);
            if (tavro::LoadField(r->BorderBottom[user]) != 0) MoveScreenCursorRelative(0, kBorderStep);
        }
        const bool last = i + 1 == motion.subframes;
        if (last && !waitAfterLast) break;
        if (wait != nullptr && !wait(context, motion.pauseMicroseconds)) break;
    }
    return moves;
}

int CTavroCore::CalculateData(unsigned char* payload, int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || payload == nullptr || user < 0 || user >= TAVRO_HANDSETS) return 0;
    using tavro::LoadField;
    using tavro::StoreField;

    const unsigned buttons = Word(payload, 0);
    const Spot a{Word(payload, 1), Word(payload, 2), Word(payload, 3)};
    const Spot b{Word(payload, 4), Word(payload, 5), Word(payload, 6)};
    StoreField(r->Buttons[user], static_cast<int32_t>(buttons));

    // Which spot comes first means nothing: P is the one with the larger x
    // (A on a tie), Q the other.
    const Spot& p = b.x > a.x ? b : a;
    const Spot& q = b.x > a.x ? a : b;
    StoreField(r->Power1[user], static_cast<int32_t>(p.power));
    StoreField(r->Power2[user], static_cast<int32_t>(q.power));

    const double cpixel = LoadField(r->Cpixel);
    const double thetaX = (p.power != 0 && q.power != 0)
                              ? LoadField(r->CThetaX) * std::log(static_cast<double>(q.power) / p.power)
                              : 0.0;
    const double dx = static_cast<double>(q.x) - static_cast<double>(p.x);
    const double dy = static_cast<double>(q.y) - static_cast<double>(p.y);
    const double sx = cpixel * dx / kCoordinateScale;
    const double sy = dy / kCoordinateScale;
    const double separation = std::sqrt(sx * sx + sy * sy);
    const double distance = LoadField(r->D0) / separation;
    const double roll = dx == 0.0 ? 0.0 : -std::atan(dy / (cpixel * dx));

    StoreField(r->AngleBelowLimit[user], roll < -kRollLimit ? 1 : 0);
    StoreField(r->AngleAboveLimit[user], roll > kRollLimit ? 1 : 0);
    const double change = distance - LoadField(r->Distance[user]);
    const double distanceThresh = LoadField(r->DistanceThresh);
    StoreField(r->DistanceDecreased[user], change < -distanceThresh ? 1 : 0);
    StoreField(r->DistanceIncreased[user], change > distanceThresh ? 1 : 0);

    const unsigned threshold = static_cast<unsigned>(LoadField(r->PowerThresh));
    const bool valid = p.power > threshold && q.power > threshold;
    if (valid) {
        StoreField(r->RawX[user], (static_cast<double>(p.x) + q.x) / kMidpointScale);
        StoreField(r->RawY[user], (static_cast<double>(p.y) + q.y) / kMidpointScale);
        StoreField(r->Roll[user], roll);
        StoreField(r->Distance[user], distance);
        StoreField(r->ThetaX[user], thetaX);
    }

    UpdateAndDispatchButtons(buttons, user);

    // A distance that is not a number is not "too far" and so moves the pointer.
    return valid && !(distance > LoadField(r->DistanceCounterMax)) ? 1 : 0;
}

int CTavroCore::CalculateInterPolValues(double (*table)[2][4], int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || table == nullptr || user < 0 || user >= TAVRO_HANDSETS) return 0;
    const int n = SubframeCount(tavro::LoadField(r->SubframeInterpolation));
    if (n == 0) return 0;

    const double x0 = PreviousOutputX[user], y0 = PreviousOutputY[user];
    const double x1 = tavro::LoadField(r->StabX[user]), y1 = tavro::LoadField(r->StabY[user]);
    for (int k = 1; k <= n; ++k) {
        table[k - 1][0][user] = x0 + k * (x1 - x0) / n;
        table[k - 1][1][user] = y0 + k * (y1 - y0) / n;
    }
    // Rows past n hold the target itself, so a pass that finds the setting
    // raised under it never sends the pointer to an unfilled (zero) row.
    for (int k = n; k < kMaxSubframes; ++k) {
        table[k][0][user] = x1;
        table[k][1][user] = y1;
    }
    return 0;
}
