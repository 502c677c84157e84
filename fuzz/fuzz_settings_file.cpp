// libFuzzer target: arbitrary bytes as the settings file, read into a record
// by the core's settings reader.  Whatever the file holds, reading must not
// crash, read outside the record or end the process, and every text field
// must stay terminated.
#include "TavroCore.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// A core with no platform behind it: only the paths matter here.
class SettingsOnlyCore : public CTavroCore {
public:
    int OpenDevice() override { return 0; }
    int CreatePODThreads() override { return 0; }
    int CreateDataPacketThread() override { return 0; }
    int StopDevice() override { return 0; }
    int CalculateScreenBorders(double*, double*, int) override { return 0; }
    int MoveScreenCursor(double, double, double, double, int) override { return 0; }
    int SendCommand(unsigned char*, unsigned long) override { return 0; }
    int CalculatePODCoordinates(double*, double*) override { return 0; }
    int ReadPODDeviceData() override { return 0; }
    int WritePODDeviceData() override { return 0; }
    int TV_Sleep(int) override { return 0; }
    int CreateSharedMemory() override { return 0; }
    int HandleNorthEastEvents() override { return 0; }
    int HandleNorthEvents() override { return 0; }
    int HandleNorthWestEvents() override { return 0; }
    int HandleEastEvents() override { return 0; }
    int HandleWestEvents() override { return 0; }
    int HandleSouthEastEvents() override { return 0; }
    int HandleSouthEvents() override { return 0; }
    int HandleSouthWestEvents() override { return 0; }
    int HandleMenuEvents() override { return 0; }
    int TV_GetIniFileName() override { return 0; }
    int CreateIniDirectory() override { return 0; }
    bool FileExists() override { return true; }
    int MouseEventLeftDownUp() override { return 0; }
    int MouseEventLeftDown() override { return 0; }
    int MouseEventLeftUp() override { return 0; }
    int GetSharedDataPath() override { return 0; }
    int TV_GetAppPath(char* buffer) override {
        buffer[0] = '\0';
        return 0;
    }
    int OutputDebugString(char*) override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_settings_" + std::to_string(getpid()) + ".xml";
    static auto record = std::make_unique<SharedDeviceState>();
    static SettingsOnlyCore core;
    std::memset(record.get(), 0, sizeof *record);
    std::snprintf(record->IniFileName, sizeof record->IniFileName, "%s", path.c_str());
    core.SharedData = record.get();

    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    core.ReadSettings();
    if (strnlen(record->DeviceName, sizeof record->DeviceName) == sizeof record->DeviceName ||
        strnlen(record->TavroMenuPath, sizeof record->TavroMenuPath) ==
            sizeof record->TavroMenuPath)
        std::abort();
    return 0;
}
