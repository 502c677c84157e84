// tavro filter: which stabiliser steadies the pointer, kept in the daemon's
// own configuration and followed by a running daemon within a second.
#include "Commands.h"
#include "DaemonConfig.h"
#include "DaemonStatus.h"
#include "FilterChoice.h"
#include "Kit.h"
#include "TavroCore.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace tavro::cli {

const char kFilterHelp[] =
    "Usage: tavro filter [builtin|adaptive]\n"
    "\n"
    "Chooses how the pointer is steadied, or without an argument shows the\n"
    "choice saved and the one the running daemon uses.\n"
    "\n"
    "  builtin   the kit's own averaging of the newest positions\n"
    "  adaptive  a filter whose smoothing follows the hand's speed: several times\n"
    "            steadier at rest, less lag in motion; it also smooths the roll,\n"
    "            which steadies the pointer near the screen's edges (the default:\n"
    "            a configuration without a filter line uses it)\n"
    "\n"
    "The choice is saved as \"filter\" in the daemon's configuration\n"
    "(~/.config/tavro/tavrod.conf); the settings file is not changed.  A running\n"
    "daemon takes it up within a second, without a restart and without a jump\n"
    "of the pointer; this command waits for that and says so.\n";

namespace {

constexpr auto kPickUpTimeout = std::chrono::milliseconds(3000);

std::string Saved(std::string* error) {
    std::map<std::string, std::string> values;
    if (!ReadDaemonConfig(&values, error)) return "";
    const auto found = values.find("filter");
    return found == values.end() ? std::string(StabiliserName(kDefaultStabiliser)) + ", the default" : found->second;
}

}  // namespace

int RunFilter(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    if (words.size() > 1)
        return Fail(kExitUsage, "filter takes one argument, builtin or adaptive (see tavro filter --help)");

    if (words.empty()) {
        std::string error;
        const std::string saved = Saved(&error);
        if (!error.empty()) return Fail(kExitFailure, "%s", error.c_str());
        std::printf("saved:  %s (%s)\n", saved.c_str(), DaemonConfigPath().c_str());
        const DaemonView view = ReadDaemonView();
        if (view.running)
            std::printf("in use: %s (tavrod, process %d)\n", view.filter.empty() ? "builtin" : view.filter.c_str(),
                        view.pid);
        else
            std::printf("in use: no daemon runs\n");
        return kExitOk;
    }

    int choice = 0;
    if (!ParseStabiliser(words[0], &choice))
        return Fail(kExitUsage, "unknown filter \"%s\": use builtin or adaptive", words[0].c_str());
    std::string error;
    if (!WriteDaemonConfigValue("filter", words[0], &error)) return Fail(kExitFailure, "%s", error.c_str());

    if (!ReadDaemonView().running) {
        std::printf("filter: %s (saved; tavrod uses it when it starts)\n", words[0].c_str());
        return kExitOk;
    }
    // Another user's daemon reads that user's configuration, not this one.
    const DaemonView running = ReadDaemonView();
    const std::string owner = OtherUsersProcess(running.pid);
    if (!owner.empty())
        return Fail(kExitNoAnswer,
                    "saved, but the running tavrod (process %d) is %s's and reads %s's configuration; ask %s "
                    "to change it, or start your own tavrod once theirs stops",
                    running.pid, owner.c_str(), owner.c_str(), owner.c_str());
    if (!WaitUntil([&] { return ReadDaemonView().filter == words[0]; }, kPickUpTimeout)) {
        const DaemonView view = ReadDaemonView();
        return Fail(kExitNoAnswer,
                    "saved, but the running tavrod (process %d) still uses \"%s\"; it may be an older "
                    "version: restart it (or see journalctl -t Tavro)",
                    view.pid, view.filter.empty() ? "builtin" : view.filter.c_str());
    }
    std::printf("filter: %s (the running daemon uses it now)\n", words[0].c_str());
    return kExitOk;
}

}  // namespace tavro::cli
