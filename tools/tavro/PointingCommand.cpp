// tavro pointing / pointer: how the handset moves the system pointer, and
// whether it does.
#include "Commands.h"
#include "DeviceRunMarker.h"
#include "Kit.h"
#include "TavroLinux.h"
#include "tavrodev.h"

#include <cstdio>
#include <string>

namespace tavro::cli {

const char kPointingHelp[] =
    "Usage: tavro pointing [direct|smart|game]\n"
    "\n"
    "Shows or changes how the handset moves the pointer:\n"
    "\n"
    "  direct  the pointer jumps to the point the handset aims at (the default)\n"
    "  smart   the pointer follows the handset's movements; aiming past an edge\n"
    "          of the screen keeps pushing the pointer that way\n"
    "  game    the pointer is moved toward the aimed point, step by step, as games\n"
    "          that read relative mouse motion expect; also pushed at the edges\n"
    "\n"
    "The mode belongs to the running device daemon: it holds until it is changed\n"
    "or the daemon restarts (it is not a setting of the settings file), so it is\n"
    "changed only while tavrod runs.\n";

const char kPointerHelp[] =
    "Usage: tavro pointer [on|off] [--user N]\n"
    "\n"
    "Without arguments, shows whether the handset moves the system pointer and\n"
    "which handset does.  \"on\" and \"off\" let the handset move the pointer or\n"
    "stop it (tracking values are still computed and shown by tavro status);\n"
    "the daemon turns the pointer on again whenever it opens the receiver.\n"
    "\n"
    "  --user N   make handset N (0-3) the one that drives the pointer, as a\n"
    "             press of its centre key would\n"
    "\n"
    "Both belong to the running device daemon, so they are changed only while\n"
    "tavrod runs.\n";

namespace {

const char* ModeName(const SharedDeviceState* r) {
    if (tavro::LoadField(r->DirectPoint) != 0) return "direct";
    return tavro::LoadField(r->SmartPoint) != 0 ? "smart" : "game";
}

// A change that only a running daemon keeps: with none, it would be
// confirmed now and undone when the daemon starts, so it is refused.
bool DaemonKeeps(const char* what) {
    if (tavro::DeviceRunsOn(CTavroLinux::SharedMemoryKey)) return true;
    Fail(kExitFailure,
         "no device daemon runs, and %s applies to a running one only: start it "
         "(systemctl --user start tavrod, or tavrod) and run this again",
         what);
    return false;
}

}  // namespace

int RunPointing(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    if (words.size() > 1) return Fail(kExitUsage, "usage: tavro pointing [direct|smart|game]");
    std::string mode = words.empty() ? "" : words[0];
    if (!mode.empty() && mode != "direct" && mode != "smart" && mode != "game")
        return Fail(kExitUsage, "the pointing mode is direct, smart or game, not \"%s\"", mode.c_str());

    if (!mode.empty() && !DaemonKeeps("the pointing mode")) return kExitFailure;
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    if (mode == "direct") TV_SetDirectPoint();
    else if (mode == "smart") TV_SetSmartPoint();
    else if (mode == "game") TV_SetGamePoint();
    std::printf("pointing mode: %s\n", ModeName(r));
    return kExitOk;
}

int RunPointer(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"user"}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    if (words.size() > 1) return Fail(kExitUsage, "usage: tavro pointer [on|off] [--user N]");
    std::string state = words.empty() ? "" : words[0];
    if (!state.empty() && state != "on" && state != "off")
        return Fail(kExitUsage, "the pointer is turned on or off, not \"%s\"", state.c_str());
    long user = -1;
    if (line.Has("user") && !line.IntOption("user", 0, TAVRO_HANDSETS - 1, &user)) return kExitUsage;

    if ((!state.empty() || user >= 0) && !DaemonKeeps("the pointer's state")) return kExitFailure;
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    if (!state.empty() && TV_SetActivateCursor(state == "on" ? 1 : 0) != 0)
        return Fail(kExitFailure, "the pointer is %s, but the settings file %s could not be rewritten",
                    state.c_str(), tavro::LoadText(r->IniFileName).c_str());
    if (user >= 0) tavro::StoreField(r->CurrentUser, static_cast<int32_t>(user));
    std::printf("pointer: %s, driven by handset %d\n", TV_GetActivateCursor() != 0 ? "on" : "off",
                static_cast<int>(tavro::LoadField(r->CurrentUser)));
    return kExitOk;
}

}  // namespace tavro::cli
