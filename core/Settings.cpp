// The settings file: start-up flow, defaults, reading and writing.
#include "SettingsKeys.h"
#include "TavroCore.h"
#include "xmlParser.h"

#include <locale.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

// Numbers in the file always use a decimal point, whatever locale the client
// process has chosen.
class CNumericLocale {
public:
    CNumericLocale()
        : c_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))),
          previous_(c_ != static_cast<locale_t>(nullptr) ? uselocale(c_)
                                                         : static_cast<locale_t>(nullptr)) {}
    ~CNumericLocale() {
        if (c_ != static_cast<locale_t>(nullptr)) {
            uselocale(previous_);
            freelocale(c_);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t c_;
    locale_t previous_;
};

template <typename T>
T& Field(SharedDeviceState& r, const SettingKey& key) {
    return *reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(&r) + key.offset);
}

// Base-10 integer as strtol reads it (0 for no digits, trailing text
// ignored), saturated to the range of the field.
int ParseInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Stores one key's text in its field.
void StoreSetting(SharedDeviceState& r, const SettingKey& key, const char* text) {
    if (key.type == SettingType::Text) {
        char* field = &Field<char>(r, key);
        size_t length = strnlen(text, key.size - 1);
        std::memcpy(field, text, length);
        field[length] = '\0';
        return;
    }
    // Numbers are read from at most 255 characters.
    char number[256];
    std::snprintf(number, sizeof number, "%s", text);
    switch (key.type) {
        case SettingType::Double:
            Field<double>(r, key) = std::strtod(number, nullptr);
            break;
        case SettingType::Int:
            Field<int32_t>(r, key) = ParseInt(number);
            break;
        case SettingType::Flag:
            Field<uint8_t>(r, key) = ParseInt(number) > 0 ? 1 : 0;
            break;
        case SettingType::Text:
            break;
    }
}

// Formats one key's field as it is written to the file.
void FormatSetting(SharedDeviceState& r, const SettingKey& key, char (&text)[256]) {
    switch (key.type) {
        case SettingType::Double:
            std::snprintf(text, sizeof text, "%f", Field<double>(r, key));
            break;
        case SettingType::Int:
            std::snprintf(text, sizeof text, "%d", Field<int32_t>(r, key));
            break;
        case SettingType::Flag:
            std::snprintf(text, sizeof text, "%d", Field<uint8_t>(r, key));
            break;
        case SettingType::Text: {
            const char* field = &Field<char>(r, key);
            size_t length = strnlen(field, key.size - 1);
            std::snprintf(text, sizeof text, "%.*s", static_cast<int>(length), field);
            break;
        }
    }
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

int CTavroCore::ReadSettings() {
    SharedDeviceState& r = *SharedData;
    Debug(__LINE__, kDebugFailure, "ReadSettings xml filename = %s ", r.IniFileName);

    // A key missing from the file keeps its default, not a stale value.
    StoreDefaults(r);
    std::strcpy(r.TavroMenuPath, "Start_TavroMENU.exe");

    // A file that does not parse must not end the client's process: report
    // it, run on the defaults, and leave the file for the user to mend.
    XMLResults results{};
    XMLNode document = XMLNode::parseFile(r.IniFileName, nullptr, &results);
    if (results.error != eXMLErrorNone) {
        char report[2048];
        XMLNode::formatParseReport(report, sizeof report, r.IniFileName, nullptr, results);
        ReportProblem("%s", report);
        if (document.isEmpty()) return 0;
    }

    CNumericLocale numbers;
    XMLNode settings = document.getChildNode("QuorVel").getChildNode("Settings");
    for (const SettingKey& key : kSettingKeys) {
        const char* text = settings.getChildNode(key.name).getText();
        if (text == nullptr || text[0] == '\0') continue;
        StoreSetting(r, key, text);
    }
    return 0;
}

int CTavroCore::WriteSettings() {
    SharedDeviceState& r = *SharedData;
    XMLNode document = XMLNode::createXMLTopNode("xml", 1);
    document.addAttribute("version", "1.0");
    XMLNode settings = document.addChild("Quorvel").addChild("Settings");
    {
        CNumericLocale numbers;
        char text[256];
        for (const SettingKey& key : kSettingKeys) {
            FormatSetting(r, key, text);
            settings.addChild(key.name).addText(text);
        }
    }
    Debug(__LINE__, kDebugFailure, "WriteSettings filename = %s ", r.IniFileName);

    // The writer replaces the file in one step, so a failed write leaves the
    // previous file whole.
    XMLError error = document.writeToFile(r.IniFileName, "ISO-8859-1", 1);
    if (error != eXMLErrorNone) {
        ReportProblem("Cannot write the settings file %s: %s (%s)", r.IniFileName,
                      XMLNode::getError(error), std::strerror(errno));
        return error;
    }
    return 0;
}
