// The keys of the settings file, in document order, with the record field
// each one is stored in.  The reader, the writer and the command-line client
// all go through this one table.
#ifndef TAVRO_SETTINGS_KEYS_H
#define TAVRO_SETTINGS_KEYS_H

#include "SharedDeviceState.h"

#include <cstddef>

enum class SettingType { Double, Int, Flag, Text };

struct SettingKey {
    const char* name;     // element name in the file
    SettingType type;
    size_t offset;        // of the field in SharedDeviceState
    size_t size;          // of the field, for text keys
};

#define TAVRO_SETTING(name, type, field) \
    { name, SettingType::type, offsetof(SharedDeviceState, field), sizeof(SharedDeviceState::field) }

inline constexpr SettingKey kSettingKeys[] = {
    TAVRO_SETTING("D0", Double, D0),
    TAVRO_SETTING("Mx", Double, Mx),
    TAVRO_SETTING("Bx", Double, Bx),
    TAVRO_SETTING("My", Double, My),
    TAVRO_SETTING("By", Double, By),
    TAVRO_SETTING("CPixel", Double, Cpixel),
    TAVRO_SETTING("DistanceThresh", Double, DistanceThresh),
    TAVRO_SETTING("StabThresh", Double, StabThresh),
    TAVRO_SETTING("CThetaX", Double, CThetaX),
    TAVRO_SETTING("CalDistance", Double, CalDistance),
    TAVRO_SETTING("Dmin", Double, Dmin),
    TAVRO_SETTING("DistanceCounterMax", Double, DistanceCounterMax),
    TAVRO_SETTING("XYCounterMax", Int, XYCounterMax),
    TAVRO_SETTING("RollCounterMax", Int, RollCounterMax),
    TAVRO_SETTING("SubframeInterpolation", Int, SubframeInterpolation),
    TAVRO_SETTING("RotationCompensation", Flag, RotationCompensation),
    TAVRO_SETTING("TavroMenu", Flag, TavroMenu),
    TAVRO_SETTING("Sleepingfactor", Int, SleepingFactor),
    TAVRO_SETTING("PowerThresh", Int, PowerThresh),
    TAVRO_SETTING("ClickStill", Int, ClickStill),
    TAVRO_SETTING("XcalScreen", Int, XcalScreen),
    TAVRO_SETTING("YcalScreen", Int, YcalScreen),
    TAVRO_SETTING("BaudRate", Int, BaudRate),
    TAVRO_SETTING("DistanceScaling", Flag, DistanceScaling),
    TAVRO_SETTING("DeviceName", Text, DeviceName),
    TAVRO_SETTING("TavroMenuPath", Text, TavroMenuPath),
};

#undef TAVRO_SETTING

inline constexpr size_t kSettingKeyCount = sizeof kSettingKeys / sizeof kSettingKeys[0];
static_assert(kSettingKeyCount == 26, "the settings file has 26 keys");

#endif
