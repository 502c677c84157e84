// tavro status: the tracking values of the handsets, once or refreshed in
// place.
#include "Commands.h"
#include "Kit.h"
#include "tavrodev.h"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace tavro::cli {

const char kStatusHelp[] =
    "Usage: tavro status [--user N] [--watch] [--interval MS]\n"
    "\n"
    "Shows, for each handset that sends tracking data, the pointer position\n"
    "(display pixels), the raw aiming point (camera pixels), roll (radians),\n"
    "distance, the powers of the two light spots and the held keys; the active\n"
    "handset (the one that drives the pointer) is marked with '*'.\n"
    "\n"
    "  --user N       only handset N (0-3)\n"
    "  --watch        refresh in place until interrupted (Ctrl-C)\n"
    "  --interval MS  refresh period of --watch in milliseconds (default 200)\n"
    "\n"
    "Without --watch, waits up to 1.5 s for tracking data and fails with exit\n"
    "status 3 when none comes (no daemon running, or no handset switched on).\n";

namespace {

// The kit's start-up sets PacketUser to this until a calculation pass ran.
constexpr int32_t kNoPassYet = 99;

bool HasData(const SharedDeviceState* r, int user) { return Peek(r->HistoryCount[user]) > 0; }

std::string Row(const SharedDeviceState* r, int user, int active) {
    char line[256];
    if (!HasData(r, user)) {
        std::snprintf(line, sizeof line, " %d  no data", user);
        return line;
    }
    std::snprintf(line, sizeof line, "%c%d %9.1f %9.1f %8.2f %8.2f %7.3f %9.3f %7d %7d  %s",
                  user == active ? '*' : ' ', user, TV_GetX(user), TV_GetY(user),
                  TV_GetRawX(user), TV_GetRawY(user), TV_GetRoll(user), TV_GetDistance(user),
                  TV_GetPower1(user), TV_GetPower2(user), HeldKeys(TV_GetButton(user)).c_str());
    return line;
}

std::vector<std::string> Render(const SharedDeviceState* r, int onlyUser) {
    std::vector<std::string> lines;
    int active = TV_GetCurrentUser();
    if (Peek(r->PacketUser) == kNoPassYet) {
        lines.push_back("waiting for tracking data (is the device daemon tavrod running?)");
        return lines;
    }
    lines.push_back("active handset: " + std::to_string(active));
    lines.push_back(" #  pointer x pointer y    raw x    raw y    roll  distance  power1  power2  held");
    for (int user = 0; user < TAVRO_HANDSETS; ++user)
        if (onlyUser < 0 || onlyUser == user) lines.push_back(Row(r, user, active));
    return lines;
}

void Pause(long milliseconds) {
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

int Watch(const SharedDeviceState* r, int onlyUser, long interval) {
    bool terminal = isatty(STDOUT_FILENO) == 1;
    size_t shown = 0;
    while (!g_interrupted) {
        std::vector<std::string> lines = Render(r, onlyUser);
        std::string frame;
        if (terminal && shown > 0) frame += "\033[" + std::to_string(shown) + "A";
        for (const std::string& line : lines) frame += line + (terminal ? "\033[K\n" : "\n");
        if (terminal) frame += "\033[J";
        else frame += "\n";
        std::fputs(frame.c_str(), stdout);
        std::fflush(stdout);
        shown = lines.size();
        Pause(interval);
    }
    return kExitOk;
}

}  // namespace

int RunStatus(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"user", "interval"}, {"watch"})) return kExitUsage;
    if (!line.Positional().empty())
        return Fail(kExitUsage, "status takes no arguments besides options, not \"%s\"",
                    line.Positional()[0].c_str());
    long user = -1, interval = 200;
    if (line.Has("user") && !line.IntOption("user", 0, TAVRO_HANDSETS - 1, &user)) return kExitUsage;
    if (line.Has("interval") && !line.IntOption("interval", 20, 60000, &interval)) return kExitUsage;

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    if (line.Has("watch")) return Watch(r, static_cast<int>(user), interval);

    if (!WaitUntil([&] { return Peek(r->PacketUser) != kNoPassYet; },
                   std::chrono::milliseconds(1500)))
        return Fail(kExitNoAnswer,
                    "no tracking data from the receiver within 1.5 s "
                    "(is the device daemon tavrod running and a handset switched on?)");
    // Handsets report in turn; give the others a moment to show up too.
    Pause(100);
    if (user >= 0 && !HasData(r, static_cast<int>(user)))
        return Fail(kExitNoAnswer, "no tracking data from handset %ld", user);
    for (const std::string& text : Render(r, static_cast<int>(user))) std::puts(text.c_str());
    return kExitOk;
}

}  // namespace tavro::cli
