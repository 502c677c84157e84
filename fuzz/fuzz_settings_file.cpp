// libFuzzer target: arbitrary bytes as the settings file, read into a record
// by the core's settings reader.  Whatever the file holds, reading must not
// crash, read outside the record or end the process, and every text field
// must stay terminated.
#include "NullPlatform.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Reads the file whose path is in the record.
class SettingsOnlyCore : public tavro::test::NullPlatform {
public:
    int TV_GetIniFileName() override { return 0; }
    bool FileExists() override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_settings_" + std::to_string(getpid()) + ".xml";
    static SettingsOnlyCore core;
    SharedDeviceState* record = core.SharedData;
    std::snprintf(record->IniFileName, sizeof record->IniFileName, "%s", path.c_str());

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
