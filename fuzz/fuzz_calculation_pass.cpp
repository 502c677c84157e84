// libFuzzer target: calculation passes of the real platform on any tracking
// payloads, with any values in the record's settings and state (any process
// can write the shared record, and a settings file can hold any number):
// not-a-number, infinities, huge, negative and zero values.  The record is
// guarded, so a write outside it is caught; UndefinedBehaviorSanitizer
// catches overflows; and every position the pass clamps to the screen must
// end on the screen, whatever the record says the screen is.
#include "FuzzKit.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// The X protocol's coordinate range: no screen the kit maps to is larger.
constexpr double kLargestScreen = 32767.0;

class CheckingKit : public tavro::fuzz::FuzzKit {
public:
    using FuzzKit::FuzzKit;

    // Every clamped position lies on the screen: 0 up to the width (one past
    // the last column, since the right edge tests the truncated position)
    // and the height.  A position that is not a number stays one: nothing
    // moves the pointer to it.
    int CalculateScreenBorders(double* x, double* y, int user) override {
        const int result = FuzzKit::CalculateScreenBorders(x, y, user);
        CheckOnScreen("x", *x, SharedData->XcalScreen);
        CheckOnScreen("y", *y, SharedData->YcalScreen);
        return result;
    }

private:
    static void CheckOnScreen(const char* axis, double value, int32_t calibrationSize) {
        if (std::isnan(value)) return;
        double limit = kLargestScreen;
        // Without a display the screen is the calibration screen; a size that
        // makes sense bounds the position further.
        if (calibrationSize >= 1 && calibrationSize <= kLargestScreen) limit = calibrationSize;
        if (value < 0.0 || value >= limit + 1.0) {
            std::fprintf(stderr, "clamped %s = %g is off a screen of %d\n", axis, value, calibrationSize);
            std::abort();
        }
    }
};

enum class Kind { U8, I32, F64 };
struct Field {
    size_t offset;
    Kind kind;
};

#define TAVRO_FIELD(name, kind) {offsetof(SharedDeviceState, name), Kind::kind}
#define TAVRO_FIELD4(name, kind)                                                          \
    TAVRO_FIELD(name[0], kind), TAVRO_FIELD(name[1], kind), TAVRO_FIELD(name[2], kind), \
        TAVRO_FIELD(name[3], kind)

// What a pass reads: settings, modes, per-handset state.
const Field kFields[] = {
    TAVRO_FIELD(XcalScreen, I32), TAVRO_FIELD(YcalScreen, I32),
    TAVRO_FIELD(SubframeInterpolation, I32), TAVRO_FIELD(SleepingFactor, I32),
    TAVRO_FIELD(PowerThresh, I32), TAVRO_FIELD(XYCounterMax, I32), TAVRO_FIELD4(XYCounter, I32),
    TAVRO_FIELD(ClickStill, I32), TAVRO_FIELD(ClickStillCounter, I32), TAVRO_FIELD(CurrentUser, I32),
    TAVRO_FIELD(PacketUser, I32), TAVRO_FIELD4(HistoryCount, I32), TAVRO_FIELD4(Buttons, I32),
    TAVRO_FIELD(RollCounterMax, I32),
    TAVRO_FIELD(Mx, F64), TAVRO_FIELD(Bx, F64), TAVRO_FIELD(My, F64), TAVRO_FIELD(By, F64),
    TAVRO_FIELD(D0, F64), TAVRO_FIELD(Cpixel, F64), TAVRO_FIELD4(Roll, F64), TAVRO_FIELD4(Distance, F64),
    TAVRO_FIELD4(X, F64), TAVRO_FIELD4(Y, F64), TAVRO_FIELD4(RawX, F64), TAVRO_FIELD4(RawY, F64),
    TAVRO_FIELD4(StabX, F64), TAVRO_FIELD4(StabY, F64), TAVRO_FIELD4(CompX, F64), TAVRO_FIELD4(CompY, F64),
    TAVRO_FIELD(DistanceThresh, F64), TAVRO_FIELD(DistanceCounterMax, F64), TAVRO_FIELD(StabThresh, F64),
    TAVRO_FIELD4(ThetaX, F64), TAVRO_FIELD(CThetaX, F64), TAVRO_FIELD(CalDistance, F64),
    TAVRO_FIELD(Dmin, F64),
    TAVRO_FIELD(RotationCompensation, U8), TAVRO_FIELD4(Stabilize, U8), TAVRO_FIELD(DistanceScaling, U8),
    TAVRO_FIELD(MoveEnabled, U8), TAVRO_FIELD(DirectPoint, U8), TAVRO_FIELD(SmartPoint, U8),
    TAVRO_FIELD(MoveAtBoundary, U8), TAVRO_FIELD(MouseClick, U8), TAVRO_FIELD(QuickClick, U8),
    TAVRO_FIELD(SmartTracking, U8), TAVRO_FIELD(ActivateCursor, U8),
    TAVRO_FIELD4(BorderLeft, U8), TAVRO_FIELD4(BorderRight, U8), TAVRO_FIELD4(BorderTop, U8),
    TAVRO_FIELD4(BorderBottom, U8),
};

void Store(SharedDeviceState& r, FuzzedDataProvider& input) {
    auto* bytes = reinterpret_cast<uint8_t*>(&r);
    size_t offset = 0;
    Kind kind = Kind::F64;
    if (input.ConsumeIntegralInRange<int>(0, 7) != 0) {
        const Field& field = input.PickValueInArray(kFields);
        offset = field.offset;
        kind = field.kind;
    } else {
        // Anywhere in the history, where the averages of the pass read.
        const size_t doubles = sizeof r.History / sizeof(double);
        offset = offsetof(SharedDeviceState, History) +
                 sizeof(double) * input.ConsumeIntegralInRange<size_t>(0, doubles - 1);
    }
    switch (kind) {
    case Kind::U8: {
        static const uint8_t kValues[] = {0, 1, 2, 255};
        bytes[offset] = input.ConsumeBool() ? input.PickValueInArray(kValues) : input.ConsumeIntegral<uint8_t>();
        break;
    }
    case Kind::I32: {
        static const int32_t kValues[] = {INT32_MIN, INT32_MIN + 1, -100000, -1, 0, 1, 2, 3, 4, 9, 10, 11,
                                          768, 1280, 32767, 32768, 65536, INT32_MAX - 1, INT32_MAX};
        int32_t value = input.ConsumeBool() ? input.PickValueInArray(kValues) : input.ConsumeIntegral<int32_t>();
        std::memcpy(bytes + offset, &value, sizeof value);
        break;
    }
    case Kind::F64: {
        static const double kValues[] = {std::numeric_limits<double>::quiet_NaN(),
                                         -std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         0.0, -0.0, DBL_MIN, std::numeric_limits<double>::denorm_min(),
                                         DBL_MAX, -DBL_MAX, 1e300, -1e300, 1e-300, 1.0, -1.0, 0.5,
                                         70.0, 2147483648.0, -2147483649.0, 4294967296.0};
        double value = 0.0;
        if (input.ConsumeBool()) {
            value = input.PickValueInArray(kValues);
        } else {
            uint64_t raw = input.ConsumeIntegral<uint64_t>();
            std::memcpy(&value, &raw, sizeof value);
        }
        std::memcpy(bytes + offset, &value, sizeof value);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tavro::fuzz::IsolateFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* record = new tavro::fuzz::GuardedRecord;
    tavro::fuzz::FreshKit<CheckingKit> kit(*record);
    SharedDeviceState& r = *kit->SharedData;
    FuzzedDataProvider input(data, size);

    // A few passes, each after some stores into the record.
    for (int pass = 0; pass < 8 && input.remaining_bytes() > 0; ++pass) {
        const int stores = input.ConsumeIntegralInRange<int>(0, 6);
        for (int i = 0; i < stores; ++i) Store(r, input);
        r.StopRequest = 0;
        unsigned char payload[kTrackingPayloadSize] = {};
        std::vector<uint8_t> fields = input.ConsumeBytes<uint8_t>(14);
        if (!fields.empty()) std::memcpy(payload, fields.data(), fields.size());
        kit->CalculatePODDeviceData(payload);
        kit->CheckIntact();
    }
    return 0;
}
