// tavro get / set / settings: the settings of the kit by their key names in
// the settings file.
#include "Commands.h"
#include "DeviceRunMarker.h"
#include "Kit.h"
#include "SettingsKeys.h"
#include "TavroLinux.h"
#include "tavrodev.h"
#include "xmlParser.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace tavro::cli {

const char kGetHelp[] =
    "Usage: tavro get KEY\n"
    "\n"
    "Prints the value of one setting as the settings file holds it (numbers with\n"
    "six decimals for real values).  KEY is a key of the settings file; case does\n"
    "not matter.  `tavro settings` lists the keys.\n";

const char kSetHelp[] =
    "Usage: tavro set KEY VALUE\n"
    "\n"
    "Checks VALUE, stores it in the running kit and rewrites the settings file\n"
    "(~/.QuorVel/Tavro.xml), then reads the file back to make sure it holds the new\n"
    "value.  KEY is a key of the settings file; case does not matter.  `tavro\n"
    "settings` lists the keys and the values each one accepts.\n"
    "\n"
    "Every key takes effect at once in the running kit.  DeviceName (the\n"
    "receiver's tty) is used the next time the daemon opens the receiver.\n"
    "Numbers are written without blanks around them.\n";

const char kSettingsHelp[] =
    "Usage: tavro settings\n"
    "\n"
    "Lists every key of the settings file with its current value and the values\n"
    "it accepts.  Keys marked [record] are not reachable through the kit's\n"
    "programming interface; tavro set changes them all the same.\n";

namespace {

enum class Range { Any, Positive, NonNegative, NonZero, Integers, Flag, BaudRate, Path, Text };

// How the client reads and changes one key.  Setters return 0 when the
// settings file was written, or the writer's error; a setter of the API that
// does not tell is followed by reading the file back, as every setter is.
struct Access {
    const char* key;
    Range range;
    long low, high;  // for Range::Integers
    double (*getDouble)();
    int (*getInt)();
    int (*setDouble)(double);
    int (*setInt)(int);
    int (*setText)(const char*);
    const char* accepts;  // for the listing
};

// The attached record, where a key without an API getter or setter is read
// and stored by its offset.
SharedDeviceState& Record() { return *TavroLinux->SharedData; }

constexpr Access kAccess[] = {
    {"D0", Range::Positive, 0, 0, TV_GetD0, nullptr, TV_SetD0, nullptr, nullptr, "a number > 0"},
    {"Mx", Range::NonZero, 0, 0, TV_GetMx, nullptr, TV_SetMx, nullptr, nullptr, "a number other than 0"},
    {"Bx", Range::Any, 0, 0, TV_GetBx, nullptr, TV_SetBx, nullptr, nullptr, "a number"},
    {"My", Range::NonZero, 0, 0, TV_GetMy, nullptr, TV_SetMy, nullptr, nullptr, "a number other than 0"},
    {"By", Range::Any, 0, 0, TV_GetBy, nullptr, TV_SetBy, nullptr, nullptr, "a number"},
    {"CPixel", Range::Positive, 0, 0, TV_GetCpixel, nullptr, TV_SetCpixel, nullptr, nullptr,
     "a number > 0"},
    {"DistanceThresh", Range::NonNegative, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a number >= 0"},
    {"StabThresh", Range::NonNegative, 0, 0, TV_GetStabThresh, nullptr, TV_SetStabThresh,
     nullptr, nullptr, "a number >= 0 (camera pixels)"},
    {"CThetaX", Range::Any, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, "a number"},
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
     nullptr, nullptr, "a number > 0"},
    {"Dmin", Range::NonNegative, 0, 0,
     [] {
         double value = 0.0;
         TV_GetDmin(&value);
         return value;
     },
     nullptr, TV_SetDmin, nullptr, nullptr, "a number >= 0"},
    {"DistanceCounterMax", Range::Positive, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a number > 0"},
    {"XYCounterMax", Range::Integers, 1, TAVRO_HISTORY_ENTRIES, nullptr, TV_GetXYCounterMax,
     nullptr,
     [](int value) {
         TV_SetXYCounterMax(value);
         return 0;
     },
     nullptr, "1 to 60 (packets averaged at rest)"},
    {"RollCounterMax", Range::Integers, 0, INT_MAX, nullptr, nullptr, nullptr, nullptr, nullptr,
     "a whole number >= 0"},
    {"SubframeInterpolation", Range::Integers, 0, 10, nullptr, TV_GetSubframeInterpolation,
     nullptr, TV_SetSubframeInterpolation, nullptr, "0 to 10 (pointer steps per packet)"},
    {"RotationCompensation", Range::Flag, 0, 1, nullptr, TV_GetRotationCompensation, nullptr,
     TV_SetRotationCompensation, nullptr, "0 or 1"},
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
     nullptr, "0 or 1"},
    {"Sleepingfactor", Range::Integers, 0, 1000, nullptr, TV_GetSleepingFactor, nullptr,
     TV_SetSleepingFactor, nullptr, "0 to 1000 (milliseconds per packet step)"},
    {"PowerThresh", Range::Integers, 0, 65535, nullptr, nullptr, nullptr, nullptr, nullptr,
     "0 to 65535"},
    {"ClickStill", Range::Integers, 0, 1000, nullptr, TV_GetClickStill, nullptr,
     TV_SetClickStill, nullptr, "0 to 1000 (packets)"},
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
     nullptr, "1 to 32767 (pixels)"},
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
     nullptr, "1 to 32767 (pixels)"},
    {"BaudRate", Range::BaudRate, 0, 0, nullptr, TV_GetBaudRate, nullptr, TV_SetBaudRate, nullptr,
     "a serial speed: 9600, 19200, 38400, 57600, 115200, 230400, ..."},
    {"DistanceScaling", Range::Flag, 0, 1, nullptr,
     [] { return static_cast<int>(tavro::LoadField(TavroLinux->SharedData->DistanceScaling)); }, nullptr,
     TV_SetDistanceScaling, nullptr, "0 or 1"},
    {"DeviceName", Range::Path, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
     "an absolute path of at most 127 characters"},
    {"TavroMenuPath", Range::Text, 0, 0, nullptr, nullptr, nullptr, nullptr,
     [](const char* path) {
         TV_SetTavroMenuPath(path);
         return 0;
     },
     "a text of 1 to 255 characters, no blanks at the ends"},
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

// The key's index, by name regardless of case; -1 when there is none.
int FindKey(const std::string& name) {
    for (size_t i = 0; i < kSettingKeyCount; ++i)
        if (strcasecmp(kSettingKeys[i].name, name.c_str()) == 0) return static_cast<int>(i);
    return -1;
}

bool HasSetter(const Access& access) {
    return access.setDouble != nullptr || access.setInt != nullptr || access.setText != nullptr;
}

// The value as the settings file writes it.
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

int UnknownKey(const std::string& name) {
    return Fail(kExitUsage, "unknown setting \"%s\" (tavro settings lists the %zu keys)",
                name.c_str(), kSettingKeyCount);
}

// Checks the text against the key's range; on success the parsed value is
// in *number or *whole.  Prints the reason and returns false otherwise.
bool Check(int index, const std::string& text, double* number, long* whole) {
    const SettingKey& key = kSettingKeys[index];
    const Access& access = kAccess[index];
    auto refuse = [&] {
        Fail(kExitUsage, "%s takes %s, not \"%s\"", key.name, access.accepts, text.c_str());
        return false;
    };
    switch (access.range) {
        case Range::Any:
        case Range::Positive:
        case Range::NonNegative:
        case Range::NonZero:
            if (!ParseDouble(text, number)) return refuse();
            if (access.range == Range::Positive && !(*number > 0)) return refuse();
            if (access.range == Range::NonNegative && !(*number >= 0)) return refuse();
            if (access.range == Range::NonZero && *number == 0) return refuse();
            return true;
        case Range::Integers:
        case Range::Flag:
            if (!ParseInt(text, whole) || *whole < access.low || *whole > access.high) return refuse();
            return true;
        case Range::BaudRate:
            if (!ParseInt(text, whole)) return refuse();
            for (long rate : kBaudRates)
                if (rate == *whole) return true;
            return refuse();
        case Range::Path:
        case Range::Text: {
            // The file cannot keep an empty text or blanks at its ends: the
            // kit reads an empty key as its default.
            bool blankEnd = !text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                                              std::isspace(static_cast<unsigned char>(text.back())));
            if (text.empty() || blankEnd || text.size() > key.size - 1) return refuse();
            if (access.range == Range::Path && text[0] != '/') return refuse();
            return true;
        }
    }
    return refuse();
}

// Stores the checked value; returns 0 or the settings writer's error.
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

// The key's text in the settings file, or false when the file or the key
// cannot be read.
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

}  // namespace

int RunGet(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    if (line.Positional().size() != 1) return Fail(kExitUsage, "usage: tavro get KEY");
    int index = FindKey(line.Positional()[0]);
    if (index < 0) return UnknownKey(line.Positional()[0]);
    if (AttachKit() == nullptr) return kExitFailure;
    std::puts(Format(index).c_str());
    return kExitOk;
}

int RunSet(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    if (line.Positional().size() != 2) return Fail(kExitUsage, "usage: tavro set KEY VALUE");
    const std::string& name = line.Positional()[0];
    const std::string& text = line.Positional()[1];
    int index = FindKey(name);
    if (index < 0) return UnknownKey(name);
    double number = 0.0;
    long whole = 0;
    if (!Check(index, text, &number, &whole)) return kExitUsage;

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    const char* keyName = kSettingKeys[index].name;
    std::string file = tavro::LoadText(r->IniFileName);
    int error = Store(index, text, number, whole);
    std::string value = Format(index), saved;
    if (error != 0 || !ReadBack(file.c_str(), keyName, &saved) || saved != value) {
        // The record holds the value only for a running daemon; without one,
        // the next program reads the file again.
        if (tavro::DeviceRunsOn(CTavroLinux::SharedMemoryKey))
            return Fail(kExitFailure, "%s is %s in the running daemon until it restarts, but the settings "
                        "file %s could not be updated", keyName, value.c_str(), file.c_str());
        return Fail(kExitFailure, "%s is not changed: the settings file %s could not be updated", keyName,
                    file.c_str());
    }
    std::printf("%s = %s (saved in %s)\n", keyName, value.c_str(), file.c_str());
    return kExitOk;
}

int RunSettings(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    if (!line.Positional().empty()) return Fail(kExitUsage, "usage: tavro settings");
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    std::printf("settings file: %s\n", tavro::LoadText(r->IniFileName).c_str());
    for (size_t i = 0; i < kSettingKeyCount; ++i) {
        int index = static_cast<int>(i);
        std::printf("%-22s %-20s %s%s\n", kSettingKeys[i].name, Format(index).c_str(),
                    kAccess[i].accepts, HasSetter(kAccess[i]) ? "" : " [record]");
    }
    return kExitOk;
}

}  // namespace tavro::cli
