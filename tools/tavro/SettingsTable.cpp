// The settings table of the kit's programs (SettingsTable.h).
#include "SettingsTable.h"

#include "Kit.h"

#include "RecordAccess.h"
#include "SettingsKeys.h"
#include "TavroLinux.h"
#include "tavrodev.h"
#include "xmlParser.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tavro::settings {

namespace {

// The attached record, where a key without an API getter or setter is read
// and stored by its offset.
SharedDeviceState& Record() { return *TavroLinux->SharedData; }

constexpr Access kAccess[] = {
    {"D0", Range::Positive, 0, 0, TV_GetD0, nullptr, TV_SetD0, nullptr, nullptr, "a number > 0",
     "distance constant: the distance is D0 divided by the spots' separation"},
    {"Mx", Range::NonZero, 0, 0, TV_GetMx, nullptr, TV_SetMx, nullptr, nullptr, "a number other than 0",
     "calibration: screen pixels per camera pixel across"},
    {"Bx", Range::Any, 0, 0, TV_GetBx, nullptr, TV_SetBx, nullptr, nullptr, "a number",
     "calibration: horizontal offset in screen pixels"},
    {"My", Range::NonZero, 0, 0, TV_GetMy, nullptr, TV_SetMy, nullptr, nullptr, "a number other than 0",
     "calibration: screen pixels per camera pixel down"},
    {"By", Range::Any, 0, 0, TV_GetBy, nullptr, TV_SetBy, nullptr, nullptr, "a number",
     "calibration: vertical offset in screen pixels"},
    {"CPixel", Range::Positive, 0, 0, TV_GetCpixel, nullptr, TV_SetCpixel, nullptr, nullptr,
     "a number > 0",
     "width of a camera pixel relative to its height"},
    {"DistanceThresh", Range::NonNegative, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a number >= 0",
     "change of distance that counts as moving closer or away"},
    {"StabThresh", Range::NonNegative, 0, 0, TV_GetStabThresh, nullptr, TV_SetStabThresh,
     nullptr, nullptr, "a number >= 0 (camera pixels)",
     "movement (camera pixels) below which the hand counts as still and the pointer is held"},
    {"CThetaX", Range::Any, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, "a number",
     "scale of the spot-power ratio term"},
    {"CalDistance", Range::Positive, 0, 0,
     [] {
         double value = 0.0;
         TV_GetCalDistance(&value);
         return value;
     },
     nullptr,
     // The API's setter changes the running system only; the key is saved too.
     [](double value) {
         TV_SetCalDistance(value);
         return TavroLinux->WriteSettings();
     },
     nullptr, nullptr, "a number > 0",
     "distance at which the calibration holds"},
    {"Dmin", Range::NonNegative, 0, 0,
     [] {
         double value = 0.0;
         TV_GetDmin(&value);
         return value;
     },
     nullptr, TV_SetDmin, nullptr, nullptr, "a number >= 0",
     "smallest averaged distance used for distance scaling"},
    {"DistanceCounterMax", Range::Positive, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a number > 0",
     "farthest distance at which the pointer still moves"},
    {"XYCounterMax", Range::Integers, 1, TAVRO_HISTORY_ENTRIES, nullptr, TV_GetXYCounterMax,
     nullptr,
     [](int value) {
         TV_SetXYCounterMax(value);
         return 0;
     },
     nullptr, "1 to 60 (packets averaged at rest)",
     "packets averaged while the hand is still: more is steadier, fewer follows sooner"},
    {"RollCounterMax", Range::Integers, 0, INT_MAX, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a whole number >= 0",
     "kept for compatibility; not used"},
    {"SubframeInterpolation", Range::Integers, 0, 10, nullptr, TV_GetSubframeInterpolation,
     nullptr, TV_SetSubframeInterpolation, nullptr, "0 to 10 (pointer steps per packet)",
     "pointer steps per packet: more steps give smoother motion"},
    {"RotationCompensation", Range::Flag, 0, 1, nullptr, TV_GetRotationCompensation, nullptr,
     TV_SetRotationCompensation, nullptr, "0 or 1",
     "correct the aim for the handset's roll"},
    {"TavroMenu", Range::Flag, 0, 1, nullptr,
     [] {
         char value = 0;
         TV_GetTavroMenu(&value);
         return static_cast<int>(static_cast<unsigned char>(value));
     },
     nullptr,
     [](int value) {
         TV_SetTavroMenu(value);
         return 0;
     },
     nullptr, "0 or 1",
     "menu option flag"},
    {"Sleepingfactor", Range::Integers, 0, 1000, nullptr, TV_GetSleepingFactor, nullptr,
     TV_SetSleepingFactor, nullptr, "0 to 1000 (milliseconds per packet step)",
     "milliseconds over which one packet's movement is spread"},
    {"PowerThresh", Range::Integers, 0, 65535, nullptr, nullptr, nullptr, nullptr, nullptr,
     "0 to 65535",
     "both spots must be brighter than this to count"},
    {"ClickStill", Range::Integers, 0, 1000, nullptr, TV_GetClickStill, nullptr,
     TV_SetClickStill, nullptr, "0 to 1000 (packets)",
     "twice the number of packets the pointer stays put after a click"},
    {"XcalScreen", Range::Integers, 1, 32767, nullptr,
     [] {
         int width = 0, height = 0;
         TV_GetCalScreen(&width, &height);
         return width;
     },
     nullptr,
     [](int value) {
         int width = 0, height = 0;
         TV_GetCalScreen(&width, &height);
         return TV_SetCalScreen(value, height);
     },
     nullptr, "1 to 32767 (pixels)",
     "width of the screen the calibration refers to"},
    {"YcalScreen", Range::Integers, 1, 32767, nullptr,
     [] {
         int width = 0, height = 0;
         TV_GetCalScreen(&width, &height);
         return height;
     },
     nullptr,
     [](int value) {
         int width = 0, height = 0;
         TV_GetCalScreen(&width, &height);
         return TV_SetCalScreen(width, value);
     },
     nullptr, "1 to 32767 (pixels)",
     "height of the screen the calibration refers to"},
    {"BaudRate", Range::BaudRate, 0, 0, nullptr, TV_GetBaudRate, nullptr, TV_SetBaudRate, nullptr,
     "a serial speed: 9600, 19200, 38400, 57600, 115200, 230400, ...",
     "the receiver's serial speed"},
    {"DistanceScaling", Range::Flag, 0, 1, nullptr,
     [] { return static_cast<int>(tavro::LoadField(TavroLinux->SharedData->DistanceScaling)); }, nullptr,
     TV_SetDistanceScaling, nullptr, "0 or 1",
     "scale the calibration with the handset's distance"},
    {"DeviceName", Range::Path, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "an absolute path of at most 127 characters",
     "the receiver's tty"},
    {"TavroMenuPath", Range::Text, 0, 0, nullptr, nullptr, nullptr, nullptr,
     [](const char* path) {
         TV_SetTavroMenuPath(path);
         return 0;
     },
     "a text of 1 to 255 characters, no blanks at the ends",
     "the menu program"},
};

constexpr bool SameName(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
constexpr bool InKeyOrder() {
    for (size_t i = 0; i < kSettingKeyCount; ++i)
        if (!SameName(kAccess[i].key, kSettingKeys[i].name)) return false;
    return true;
}
static_assert(sizeof kAccess / sizeof kAccess[0] == kSettingKeyCount, "one entry per key");
static_assert(InKeyOrder(), "kAccess follows the order of the settings keys");

const long kBaudRates[] = {50,     75,     110,     134,     150,     200,     300,     600,
                           1200,   1800,   2400,    4800,    9600,    19200,   38400,   57600,
                           115200, 230400, 460800,  500000,  576000,  921600,  1000000, 1152000,
                           1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

const Access& Entry(int index) { return kAccess[index]; }
int KeyCount() { return static_cast<int>(kSettingKeyCount); }

int FindKey(const std::string& name) {
    for (size_t i = 0; i < kSettingKeyCount; ++i)
        if (strcasecmp(kSettingKeys[i].name, name.c_str()) == 0) return static_cast<int>(i);
    return -1;
}

bool HasSetter(int index) {
    const Access& access = kAccess[index];
    return access.setDouble != nullptr || access.setInt != nullptr || access.setText != nullptr;
}

std::string Format(int index) {
    const SettingKey& key = kSettingKeys[index];
    const Access& access = kAccess[index];
    char text[300];
    switch (key.type) {
        case SettingType::Double:
            std::snprintf(text, sizeof text, "%f",
                          access.getDouble != nullptr ? access.getDouble()
                                                        : tavro::LoadAt<double>(Record(), key.offset));
            break;
        case SettingType::Int:
            std::snprintf(text, sizeof text, "%d",
                          access.getInt != nullptr ? access.getInt() : tavro::LoadAt<int32_t>(Record(), key.offset));
            break;
        case SettingType::Flag:
            std::snprintf(text, sizeof text, "%d",
                          access.getInt != nullptr ? access.getInt()
                                                   : static_cast<int>(tavro::LoadAt<uint8_t>(Record(), key.offset)));
            break;
        case SettingType::Text:
            if (std::strcmp(key.name, "TavroMenuPath") == 0) {
                char path[256] = {};
                TV_GetTavroMenuPath(path);
                std::snprintf(text, sizeof text, "%s", path);
            } else {
                std::snprintf(text, sizeof text, "%s",
                              tavro::LoadTextAt(Record(), key.offset, key.size).c_str());
            }
            break;
    }
    return text;
}

bool Check(int index, const std::string& text, double* number, long* whole, std::string* refusal) {
    const SettingKey& key = kSettingKeys[index];
    const Access& access = kAccess[index];
    auto refuse = [&] {
        *refusal = std::string(key.name) + " takes " + access.accepts + ", not \"" + text + "\"";
        return false;
    };
    switch (access.range) {
        case Range::Any:
        case Range::Positive:
        case Range::NonNegative:
        case Range::NonZero:
            if (!cli::ParseDouble(text, number)) return refuse();
            if (access.range == Range::Positive && !(*number > 0)) return refuse();
            if (access.range == Range::NonNegative && !(*number >= 0)) return refuse();
            if (access.range == Range::NonZero && *number == 0) return refuse();
            return true;
        case Range::Integers:
        case Range::Flag:
            if (!cli::ParseInt(text, whole) || *whole < access.low || *whole > access.high) return refuse();
            return true;
        case Range::BaudRate:
            if (!cli::ParseInt(text, whole)) return refuse();
            for (long rate : kBaudRates)
                if (rate == *whole) return true;
            return refuse();
        case Range::Path:
        case Range::Text: {
            // The file cannot keep an empty text or blanks at its ends: the
            // kit reads an empty key as its default.
            bool blankEnd = !text.empty() && (Blank(text.front()) || Blank(text.back()));
            if (text.empty() || blankEnd || text.size() > key.size - 1) return refuse();
            if (access.range == Range::Path && text[0] != '/') return refuse();
            return true;
        }
    }
    return refuse();
}

int Store(int index, const std::string& text, double number, long whole) {
    const SettingKey& key = kSettingKeys[index];
    const Access& access = kAccess[index];
    if (access.setDouble != nullptr) return access.setDouble(number);
    if (access.setInt != nullptr) return access.setInt(static_cast<int>(whole));
    if (access.setText != nullptr) return access.setText(text.c_str());

    // No setter: the record's field, then the whole file from the record.
    switch (key.type) {
        case SettingType::Double: tavro::StoreAt<double>(Record(), key.offset, number); break;
        case SettingType::Int: tavro::StoreAt<int32_t>(Record(), key.offset, whole); break;
        case SettingType::Flag: tavro::StoreAt<uint8_t>(Record(), key.offset, whole); break;
        case SettingType::Text:
            tavro::StoreTextAt(Record(), key.offset, key.size, text.data(), text.size());
            break;
    }
    return TavroLinux->WriteSettings();
}

bool ReadBack(const char* file, const char* name, std::string* text) {
    XMLResults results{};
    XMLNode document = XMLNode::parseFile(file, nullptr, &results);
    if (document.isEmpty()) return false;
    XMLNode element = document.getChildNode("QuorVel").getChildNode("Settings").getChildNode(name);
    if (element.isEmpty()) return false;
    const char* value = element.getText();
    *text = value != nullptr ? value : "";
    return true;
}

std::string WhyNotWritable(const std::string& file) {
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    if (errno != ENOENT) return std::strerror(errno);
    const std::string directory = file.substr(0, file.rfind('/'));
    if (access(directory.c_str(), W_OK) != 0) return std::string(directory) + ": " + std::strerror(errno);
    return "";
}

SetResult Set(int index, const std::string& text, bool keepInRecord) {
    SetResult result;
    double number = 0.0;
    long whole = 0;
    if (!Check(index, text, &number, &whole, &result.message)) {
        result.refused = true;
        result.value = Format(index);
        return result;
    }
    const char* name = kSettingKeys[index].name;
    result.file = tavro::LoadText(Record().IniFileName);
    const std::string before = Format(index);
    const int error = Store(index, text, number, whole);
    result.value = Format(index);
    std::string saved;
    if (error == 0 && ReadBack(result.file.c_str(), name, &saved) && saved == result.value) {
        result.ok = true;
        return result;
    }
    std::string why = WhyNotWritable(result.file);
    result.message = std::string(name) + " is not changed: the settings file " + result.file +
                     " could not be updated" + (why.empty() ? "" : " (" + why + ")");
    if (!keepInRecord && before != result.value) {
        // Put the old value back, so that the record and what is shown agree
        // with the file; its own write fails the same way and is not reported.
        std::string refusal;
        if (Check(index, before, &number, &whole, &refusal)) Store(index, before, number, whole);
        result.value = Format(index);
    }
    return result;
}

}  // namespace tavro::settings
