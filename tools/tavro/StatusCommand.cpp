// tavro status: the tracking values of the handsets, once or refreshed in
// place.
#include "Commands.h"
#include "Kit.h"
#include "tavrodev.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace tavro::cli {

const char kStatusHelp[] =
    "Usage: tavro status [--user N] [--watch] [--interval MS]\n"
    "\n"
    "Shows the device daemon's state (running, the receiver connected, packets\n"
    "per second, calculation passes dropped and pointer motion skipped under\n"
    "load), which settings file the running values came from (and when another\n"
    "program replaced them), and for each handset that sends tracking data the\n"
    "pointer position (display pixels), where it aims (camera pixels), roll\n"
    "(radians), distance, the brightness of its two light spots and the held\n"
    "keys (centre, up, down, left, right, up-left, up-right, down-left,\n"
    "down-right, menu); the active handset (the one that moves the pointer) is\n"
    "marked with '*'.  When the daemon or the receiver is gone, or no packet\n"
    "comes, a STALE line says so: the values shown are then the last ones.\n"
    "\n"
    "  --user N       only handset N (0-3)\n"
    "  --watch        refresh in place until interrupted (Ctrl-C); fits the\n"
    "                 terminal's width (narrow terminals get fewer columns)\n"
    "  --interval MS  refresh period of --watch in milliseconds (default 200)\n"
    "\n"
    "Without --watch, waits up to 1.5 s for tracking data and fails with exit\n"
    "status 3 when none comes, saying why (no daemon, no receiver, no packets).\n";

namespace {

// The kit's start-up sets PacketUser to this until a calculation pass ran.
constexpr int32_t kNoPassYet = 99;

bool HasData(const SharedDeviceState* r, int user) { return tavro::LoadField(r->HistoryCount[user]) > 0; }

// Rows of 86 characters need a wide terminal; narrower ones get the
// pointer, roll, distance and keys only.
constexpr size_t kWideLayout = 87;

std::string Row(const SharedDeviceState* r, int user, int active, bool wide) {
    char line[256];
    if (!HasData(r, user)) {
        std::snprintf(line, sizeof line, " %d  no data", user);
        return line;
    }
    char mark = user == active ? '*' : ' ';
    if (wide)
        std::snprintf(line, sizeof line, "%c%d %9.1f %9.1f %8.2f %8.2f %7.3f %9.3f %7d %7d  %s", mark,
                      user, TV_GetX(user), TV_GetY(user), TV_GetRawX(user), TV_GetRawY(user),
                      TV_GetRoll(user), TV_GetDistance(user), TV_GetPower1(user), TV_GetPower2(user),
                      HeldKeys(TV_GetButton(user)).c_str());
    else
        std::snprintf(line, sizeof line, "%c%d %7.0f %7.0f %6.2f %6.2f  %s", mark, user, TV_GetX(user),
                      TV_GetY(user), TV_GetRoll(user), TV_GetDistance(user),
                      HeldKeys(TV_GetButton(user)).c_str());
    return line;
}

std::string ClockTime(int64_t unixNs) {
    time_t seconds = static_cast<time_t>(unixNs / 1000000000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// The daemon's state in one line, and where the running values came from.
std::vector<std::string> DaemonLines(const DaemonView& view, double packetsPerSecond) {
    std::vector<std::string> lines;
    char line[512];
    if (!view.running) {
        lines.push_back("daemon: not running");
    } else {
        std::string receiver = view.receiverPath.empty() ? "receiver" : "receiver " + view.receiverPath;
        std::snprintf(line, sizeof line, "daemon: running (process %d), %s %s", view.pid, receiver.c_str(),
                      view.receiverConnected ? "connected" : "not connected");
        std::string text = line;
        if (packetsPerSecond >= 0) {
            std::snprintf(line, sizeof line, ", %.0f packets/s", packetsPerSecond);
            text += line;
        }
        std::snprintf(line, sizeof line, ", passes dropped %llu, motion skipped %llu",
                      static_cast<unsigned long long>(view.passesDropped),
                      static_cast<unsigned long long>(view.motionSkipped));
        text += line;
        lines.push_back(text);
        if (!view.profile.empty()) lines.push_back("keys: profile " + view.profile + " (tavro profile, tavro bind)");
    }
    if (!view.settingsPath.empty()) {
        std::string by = view.settingsLoadedBy.empty() ? "a program" : view.settingsLoadedBy;
        std::string source = view.settingsPath + (view.settingsFromDefaults ? " (its defaults: the file was missing or broken)" : "");
        bool byDaemon = view.running && view.settingsLoadedByPid == view.pid;
        if (byDaemon || !view.running)
            std::snprintf(line, sizeof line, "settings: %s, loaded by %s (process %d) at %s", source.c_str(),
                          by.c_str(), view.settingsLoadedByPid, ClockTime(view.settingsLoadedUnixNs).c_str());
        else
            std::snprintf(line, sizeof line,
                          "settings: %s, loaded at %s by %s (process %d), replacing the values the daemon "
                          "started with",
                          source.c_str(), ClockTime(view.settingsLoadedUnixNs).c_str(), by.c_str(),
                          view.settingsLoadedByPid);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Render(const SharedDeviceState* r, int onlyUser, bool wide) {
    std::vector<std::string> lines;
    int active = TV_GetCurrentUser();
    if (tavro::LoadField(r->PacketUser) == kNoPassYet) {
        lines.push_back("waiting for tracking data");
        return lines;
    }
    lines.push_back("active handset: " + std::to_string(active));
    lines.push_back(wide ? " #  pointer x pointer y    raw x    raw y    roll  distance  power1  power2  held"
                         : " #  pointer x pointer y   roll   dist  held");
    for (int user = 0; user < TAVRO_HANDSETS; ++user)
        if (onlyUser < 0 || onlyUser == user) lines.push_back(Row(r, user, active, wide));
    return lines;
}

void Pause(long milliseconds) {
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

volatile std::sig_atomic_t g_resized = 0;
void OnResize(int) { g_resized = 1; }

// Columns of the terminal on standard output; 0 when it is not one.
size_t TerminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

// Lines broken to fit, at blanks where possible: a row as wide as the
// terminal would wrap on some terminals and break the redraw, so one column
// stays free.
std::vector<std::string> Fit(const std::string& line, size_t width) {
    if (width < 2 || line.size() < width) return {line};
    std::vector<std::string> pieces;
    std::string rest = line;
    const size_t room = width - 1;
    while (rest.size() > room) {
        size_t cut = rest.rfind(' ', room);
        if (cut == std::string::npos || cut < room / 2) cut = room;
        pieces.push_back(rest.substr(0, cut));
        size_t next = rest.find_first_not_of(' ', cut);
        rest = next == std::string::npos ? "" : "  " + rest.substr(next);
    }
    if (!rest.empty()) pieces.push_back(rest);
    return pieces;
}

// What the tracking rows show, to notice the record going still.
std::string Fingerprint(const SharedDeviceState* r) {
    std::string text;
    for (int user = 0; user < TAVRO_HANDSETS; ++user)
        text += Row(r, user, -1, true) + std::to_string(tavro::LoadField(r->HistoryCount[user]));
    return text;
}

int Watch(const SharedDeviceState* r, int onlyUser, long interval) {
    bool terminal = isatty(STDOUT_FILENO) == 1;
    if (terminal) {
        struct sigaction action {};
        action.sa_handler = OnResize;
        sigemptyset(&action.sa_mask);
        sigaction(SIGWINCH, &action, nullptr);
    }
    using Clock = std::chrono::steady_clock;
    size_t shown = 0;
    uint64_t lastPackets = 0;
    Clock::time_point lastSample = Clock::now(), lastChange = Clock::now();
    bool sampled = false;
    std::string lastFingerprint;
    double rate = -1;
    while (!g_interrupted) {
        DaemonView view = ReadDaemonView();
        Clock::time_point now = Clock::now();
        double elapsed = std::chrono::duration<double>(now - lastSample).count();
        if (sampled && elapsed > 0 && view.packets >= lastPackets)
            rate = (view.packets - lastPackets) / elapsed;
        if (!sampled || elapsed >= 1.0 || view.packets < lastPackets) {
            lastPackets = view.packets;
            lastSample = now;
            sampled = true;
        }
        std::string fingerprint = Fingerprint(r);
        if (fingerprint != lastFingerprint || (view.secondsSincePacket >= 0 && view.secondsSincePacket < 1.0))
            lastChange = now;
        lastFingerprint = fingerprint;

        size_t width = terminal ? TerminalWidth() : 0;
        bool wide = width == 0 || width >= kWideLayout;
        std::vector<std::string> lines = DaemonLines(view, view.packets > 0 ? rate : -1);
        std::string problem = DeviceProblem(view);
        // Packets that still change the record count even when the daemon's
        // own packet clock is not kept.
        bool flowing = std::chrono::duration<double>(now - lastChange).count() < 2.0;
        if (!problem.empty() && view.running && view.receiverConnected && flowing) problem.clear();
        if (!problem.empty())
            lines.push_back("STALE (the values below are the last ones received): " + problem);
        for (const std::string& row : Render(r, onlyUser, wide)) lines.push_back(row);

        std::string frame;
        if (terminal) {
            if (g_resized) {
                // Rows drawn for the old width may have wrapped: start afresh.
                g_resized = 0;
                frame += "\033[H\033[2J";
            } else if (shown > 0) {
                frame += "\r\033[" + std::to_string(shown) + "A";
            }
        }
        size_t rows = 0;
        for (const std::string& line : lines)
            for (const std::string& piece : Fit(line, width)) {
                frame += piece + (terminal ? "\033[K\n" : "\n");
                ++rows;
            }
        if (terminal) frame += "\033[J";
        else frame += "\n";
        std::fputs(frame.c_str(), stdout);
        std::fflush(stdout);
        shown = rows;
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

    if (!WaitUntil([&] { return tavro::LoadField(r->PacketUser) != kNoPassYet; },
                   std::chrono::milliseconds(1500))) {
        std::string problem = DeviceProblem(ReadDaemonView());
        if (problem.empty()) problem = "is a handset switched on?";
        return Fail(kExitNoAnswer, "no tracking data from the receiver within 1.5 s: %s", problem.c_str());
    }
    // Handsets report in turn; give the others a moment to show up too.
    Pause(100);
    if (user >= 0 && !HasData(r, static_cast<int>(user)))
        return Fail(kExitNoAnswer, "no tracking data from handset %ld", user);
    DaemonView view = ReadDaemonView();
    for (const std::string& text : DaemonLines(view, -1)) std::puts(text.c_str());
    std::string problem = DeviceProblem(view);
    if (!problem.empty()) std::printf("STALE (the values below are the last ones received): %s\n", problem.c_str());
    for (const std::string& text : Render(r, static_cast<int>(user), true)) std::puts(text.c_str());
    return kExitOk;
}

}  // namespace tavro::cli
