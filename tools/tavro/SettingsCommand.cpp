// tavro get / set / settings: the settings of the kit by their key names in
// the settings file.
#include "Commands.h"
#include "DeviceRunMarker.h"
#include "Kit.h"
#include "SettingsKeys.h"
#include "SettingsTable.h"
#include "TavroLinux.h"
#include "tavrodev.h"

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

using settings::Check;
using settings::FindKey;
using settings::Format;
using settings::HasSetter;
using settings::ReadBack;
using settings::Store;

int UnknownKey(const std::string& name) {
    return Fail(kExitUsage, "unknown setting \"%s\" (tavro settings lists the %zu keys)",
                name.c_str(), kSettingKeyCount);
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
    std::string refusal;
    if (!Check(index, text, &number, &whole, &refusal)) return Fail(kExitUsage, "%s", refusal.c_str());

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
                    settings::Entry(index).accepts, HasSetter(index) ? "" : " [record]");
    }
    return kExitOk;
}

}  // namespace tavro::cli
