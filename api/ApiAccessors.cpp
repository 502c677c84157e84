// Getters, decoders, history averages and setters over the shared record.
#include "ApiRecord.h"
#include "HistoryAverage.h"

#include <cstring>

using tavro::LoadField;
using tavro::StoreField;
using tavro::api::FlagFrom;
using tavro::api::Record;
using tavro::api::RecordFor;

namespace {

// 1 when bit `bit` of the active-low button word is 0 (button held).
char Held(int word, int bit) { return (word >> bit) & 1 ? 0 : 1; }

void Put(char* out, char value) {
    if (out != nullptr) *out = value;
}

// Mean of one value of a handset over its `count` newest history entries.
double HistoryMean(int count, int user, double HistoryEntry::*value) {
    const SharedDeviceState* r = RecordFor(user);
    return r != nullptr ? tavro::AverageHistory(*r, value, count, user) : 0.0;
}

// Stores a persistent setting and rewrites the settings file.
template <typename Store>
int Persist(Store store) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    store(*r);
    return TavroLinux->WriteSettings();
}

}  // namespace

extern "C" {

// ---- Per-handset tracking getters ----
#define TAVRO_HANDSET_GETTER(type, function, field)           \
    type function(int user) {                                 \
        const SharedDeviceState* r = RecordFor(user);         \
        return r != nullptr ? static_cast<type>(LoadField(r->field[user])) : 0; \
    }

TAVRO_HANDSET_GETTER(double, TV_GetX, X)
TAVRO_HANDSET_GETTER(double, TV_GetY, Y)
TAVRO_HANDSET_GETTER(double, TV_GetRawX, RawX)
TAVRO_HANDSET_GETTER(double, TV_GetRawY, RawY)
TAVRO_HANDSET_GETTER(double, TV_GetRoll, Roll)
TAVRO_HANDSET_GETTER(double, TV_GetDistance, Distance)
TAVRO_HANDSET_GETTER(double, TV_GetThetaX, ThetaX)
TAVRO_HANDSET_GETTER(int, TV_GetButton, Buttons)
TAVRO_HANDSET_GETTER(int, TV_GetXYCounter, XYCounter)
TAVRO_HANDSET_GETTER(int, TV_GetPower1, Power1)
TAVRO_HANDSET_GETTER(int, TV_GetPower2, Power2)
TAVRO_HANDSET_GETTER(int, TV_GetStabilize, Stabilize)
#undef TAVRO_HANDSET_GETTER

// ---- Scalar getters ----
#define TAVRO_SCALAR_GETTER(type, function, field)     \
    type function(void) {                              \
        const SharedDeviceState* r = Record();         \
        return r != nullptr ? static_cast<type>(LoadField(r->field)) : 0; \
    }

int TV_GetDataPacketInterval(void) { return 1; }
TAVRO_SCALAR_GETTER(int, TV_GetSleepingFactor, SleepingFactor)
TAVRO_SCALAR_GETTER(int, TV_GetBaudRate, BaudRate)
TAVRO_SCALAR_GETTER(int, TV_GetXYCounterMax, XYCounterMax)
TAVRO_SCALAR_GETTER(int, TV_GetSubframeInterpolation, SubframeInterpolation)
TAVRO_SCALAR_GETTER(int, TV_GetClickStill, ClickStill)
TAVRO_SCALAR_GETTER(int, TV_GetActivateCursor, ActivateCursor)
TAVRO_SCALAR_GETTER(int, TV_GetRotationCompensation, RotationCompensation)
TAVRO_SCALAR_GETTER(int, TV_GetIRActive, LearnInProgress)
TAVRO_SCALAR_GETTER(double, TV_GetD0, D0)
TAVRO_SCALAR_GETTER(double, TV_GetMx, Mx)
TAVRO_SCALAR_GETTER(double, TV_GetBx, Bx)
TAVRO_SCALAR_GETTER(double, TV_GetMy, My)
TAVRO_SCALAR_GETTER(double, TV_GetBy, By)
TAVRO_SCALAR_GETTER(double, TV_GetCpixel, Cpixel)
TAVRO_SCALAR_GETTER(double, TV_GetStabThresh, StabThresh)
#undef TAVRO_SCALAR_GETTER

// ---- Getters with outputs ----
int TV_GetCalScreen(int* width, int* height) {
    const SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (width != nullptr) *width = LoadField(r->XcalScreen);
    if (height != nullptr) *height = LoadField(r->YcalScreen);
    return 1;
}

int TV_GetCalDistance(double* out) {
    const SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (out != nullptr) *out = LoadField(r->CalDistance);
    return 1;
}

int TV_GetDmin(double* out) {
    const SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (out != nullptr) *out = LoadField(r->Dmin);
    return 1;
}

int TV_GetTavroMenu(char* out) {
    const SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    Put(out, static_cast<char>(LoadField(r->TavroMenu)));
    return 1;
}

int TV_GetTavroMenuPath(char* out) {
    const SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (out != nullptr) {
        // Another process may have left the field unterminated.
        tavro::LoadText(r->TavroMenuPath, sizeof r->TavroMenuPath, out, sizeof r->TavroMenuPath);
    }
    return 1;
}

// ---- History averages ----
double TV_GetAverageDistance(int count, int user) {
    return HistoryMean(count, user, &HistoryEntry::Distance);
}
double TV_GetAverageRoll(int count, int user) { return HistoryMean(count, user, &HistoryEntry::Roll); }
double TV_GetAverageThetaX(int count, int user) {
    return HistoryMean(count, user, &HistoryEntry::ThetaX);
}

// ---- Button decoders ----
int TV_GetButtons(char* b2, char* b1, char* b0, char* b5, char* b4, char* b3, char* b8, char* b7,
                  char* b6, char* b9, char* b12, char* b15, int user) {
    const SharedDeviceState* r = RecordFor(user);
    if (r == nullptr) return 0;
    int w = LoadField(r->Buttons[user]);
    char* outputs[] = {b2, b1, b0, b5, b4, b3, b8, b7, b6, b9, b12, b15};
    const int bits[] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 9, 12, 15};
    for (int i = 0; i < 12; ++i) Put(outputs[i], Held(w, bits[i]));
    return 1;
}

int TV_GetButtonsExt(char* b2, char* b1, char* b0, char* b5, char* b4, char* b3, char* b8,
                     char* b7, char* b6, char* b9, char* b10, char* b11, char* b12, char* b15,
                     int user) {
    const SharedDeviceState* r = RecordFor(user);
    if (r == nullptr) return 0;
    int w = LoadField(r->Buttons[user]);
    char* outputs[] = {b2, b1, b0, b5, b4, b3, b8, b7, b6, b9, b10, b11, b12, b15};
    const int bits[] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 9, 10, 11, 12, 15};
    for (int i = 0; i < 14; ++i) Put(outputs[i], Held(w, bits[i]));
    return 1;
}

int TV_GetClickWheel(char* b0, char* b1, char* b2, char* b3, char* b4, int* wheel, char* b12,
                     char* b15, int user) {
    const SharedDeviceState* r = RecordFor(user);
    if (r == nullptr) return 0;
    int w = LoadField(r->Buttons[user]);
    char* outputs[] = {b0, b1, b2, b3, b4};
    for (int bit = 0; bit < 5; ++bit) Put(outputs[bit], Held(w, bit));
    if (wheel != nullptr) {
        // Bits 5 to 10 weigh 1, 2, 4, 16, 32, 64: there is no weight 8.
        const int weights[] = {1, 2, 4, 16, 32, 64};
        int value = 0;
        for (int i = 0; i < 6; ++i) value += Held(w, 5 + i) * weights[i];
        *wheel = value;
    }
    Put(b12, Held(w, 12));
    Put(b15, Held(w, 15));
    return 1;
}

int TV_GetVirtualButtons(char* angleBelow, char* angleAbove, char* distanceDecreased,
                         char* distanceIncreased, char* borderBottom, char* borderTop,
                         char* borderLeft, char* borderRight, int user) {
    const SharedDeviceState* r = RecordFor(user);
    if (r == nullptr) return 0;
    Put(angleBelow, static_cast<char>(LoadField(r->AngleBelowLimit[user])));
    Put(angleAbove, static_cast<char>(LoadField(r->AngleAboveLimit[user])));
    Put(distanceDecreased, static_cast<char>(LoadField(r->DistanceDecreased[user])));
    Put(distanceIncreased, static_cast<char>(LoadField(r->DistanceIncreased[user])));
    Put(borderBottom, static_cast<char>(LoadField(r->BorderBottom[user])));
    Put(borderTop, static_cast<char>(LoadField(r->BorderTop[user])));
    Put(borderLeft, static_cast<char>(LoadField(r->BorderLeft[user])));
    Put(borderRight, static_cast<char>(LoadField(r->BorderRight[user])));
    return 1;
}

// ---- Setters of the running system ----
int TV_SetCalDistance(double value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->CalDistance, value);
    return 1;
}

int TV_SetDirectPoint(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->MoveAtBoundary, 0);
    StoreField(r->DirectPoint, 1);
    return 1;
}

int TV_SetSmartPoint(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->MoveAtBoundary, 1);
    StoreField(r->SmartPoint, 1);
    StoreField(r->DirectPoint, 0);
    return 1;
}

int TV_SetGamePoint(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->MoveAtBoundary, 1);
    StoreField(r->SmartPoint, 0);
    StoreField(r->DirectPoint, 0);
    return 1;
}

int TV_MoveAtBoundary(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->MoveAtBoundary, FlagFrom(on));
    return 1;
}

int TV_SmartTracking(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->SmartTracking, static_cast<uint8_t>(value));
    return 1;
}

// ---- Setters of persistent settings ----
int TV_SetMx(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.Mx, v); }); }
int TV_SetBx(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.Bx, v); }); }
int TV_SetMy(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.My, v); }); }
int TV_SetBy(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.By, v); }); }
int TV_SetD0(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.D0, v); }); }
int TV_SetCpixel(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.Cpixel, v); }); }
int TV_SetDmin(double v) { return Persist([v](SharedDeviceState& r) { StoreField(r.Dmin, v); }); }
int TV_SetStabThresh(double v) {
    return Persist([v](SharedDeviceState& r) { StoreField(r.StabThresh, v); });
}
int TV_SetBaudRate(int v) { return Persist([v](SharedDeviceState& r) { StoreField(r.BaudRate, v); }); }
int TV_SetSleepingFactor(int v) {
    return Persist([v](SharedDeviceState& r) { StoreField(r.SleepingFactor, v); });
}
int TV_SetClickStill(int v) {
    return Persist([v](SharedDeviceState& r) { StoreField(r.ClickStill, v); });
}
int TV_SetSubframeInterpolation(int v) {
    return Persist([v](SharedDeviceState& r) { StoreField(r.SubframeInterpolation, v); });
}

int TV_SetCalScreen(int width, int height) {
    return Persist([=](SharedDeviceState& r) {
        StoreField(r.XcalScreen, width);
        StoreField(r.YcalScreen, height);
    });
}

int TV_SetRotationCompensation(int on) {
    return Persist([on](SharedDeviceState& r) { StoreField(r.RotationCompensation, FlagFrom(on)); });
}

int TV_SetActivateCursor(int on) {
    return Persist([on](SharedDeviceState& r) { StoreField(r.ActivateCursor, on == 1 ? 1 : 0); });
}

int TV_SetDistanceScaling(int value) {
    return Persist(
        [value](SharedDeviceState& r) { StoreField(r.DistanceScaling, static_cast<uint8_t>(value)); });
}

int TV_SetStabilize(int on, int user) {
    if (RecordFor(user) == nullptr) return 0;
    return Persist([=](SharedDeviceState& r) { StoreField(r.Stabilize[user], FlagFrom(on)); });
}

int TV_SetXYCounterMax(int value) {
    if (Record() == nullptr) return 0;
    Persist([value](SharedDeviceState& r) { StoreField(r.XYCounterMax, value); });
    return 1;
}

int TV_SetTavroMenu(int value) {
    if (Record() == nullptr) return 0;
    Persist([value](SharedDeviceState& r) { StoreField(r.TavroMenu, static_cast<uint8_t>(value)); });
    return 1;
}

int TV_SetTavroMenuPath(const char* path) {
    if (Record() == nullptr || path == nullptr) return 0;
    Persist([path](SharedDeviceState& r) {
        tavro::StoreText(r.TavroMenuPath, sizeof r.TavroMenuPath, path,
                         strnlen(path, sizeof r.TavroMenuPath - 1));
    });
    return 1;
}

}  // extern "C"
