// The settings file: start-up flow, defaults, reading and writing.
#include "SettingsKeys.h"
#include "TavroCore.h"

#include <cstring>

namespace {

void StoreDefaults(SharedDeviceState& r) {
    r.D0 = 70.0;
    r.Mx = 5.0;
    r.Bx = -250.0;
    r.My = 5.0;
    r.By = -340.0;
    r.Cpixel = 1.0;
    r.DistanceThresh = 0.04;
    r.StabThresh = 7.0;
    r.CThetaX = 1.0;
    r.CalDistance = 3.1;
    r.Dmin = 3.2;
    r.DistanceCounterMax = 12.0;
    r.XYCounterMax = 3;
    r.RollCounterMax = 5;
    r.SubframeInterpolation = 3;
    r.RotationCompensation = 1;
    r.SleepingFactor = 30;
    r.PowerThresh = 1;
    r.ClickStill = 12;
    r.XcalScreen = 1280;
    r.YcalScreen = 768;
    r.BaudRate = 115200;
    r.DistanceScaling = 0;
    std::strcpy(r.DeviceName, "/dev/ttyUSB0");
}

}  // namespace

int CTavroCore::ReadStaticSettings() {
    GetSharedDataPath();
    int result = TV_GetIniFileName();
    if (result != 0) {
        Debug(__LINE__, kDebugFailure, "TV_GetIniFileName() failed");
        // No file to read: run with the defaults rather than a zeroed record.
        InitializeValues();
        return result;
    }
    if (!FileExists()) {
        CreateIniDirectory();
        Debug(__LINE__, kDebugProgress, "CreateIniDirectory called");
        InitializeValues();
        Debug(__LINE__, kDebugProgress, "InitializeValues called");
        WriteSettings();
        Debug(__LINE__, kDebugProgress, "WriteSettings called");
    }
    return ReadSettings();
}

int CTavroCore::InitializeValues() {
    StoreDefaults(*SharedData);
    char path[256];
    TV_GetAppPath(path);
    std::strcpy(path, "Start_TavroMENU.exe");
    std::strcpy(SharedData->TavroMenuPath, path);
    Debug(__LINE__, kDebugFailure, "InitializeValues filename = %s ", SharedData->TavroMenuPath);
    return 0;
}

// Reading and writing the XML file arrive with the XML library; until then
// the record runs on the defaults.
int CTavroCore::ReadSettings() {
    InitializeValues();
    return 0;
}

int CTavroCore::WriteSettings() { return 0; }
