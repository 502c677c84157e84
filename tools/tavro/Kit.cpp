#include "Kit.h"

#include "DaemonStatus.h"
#include "TavroLinux.h"
#include "tavrodev.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavro::cli {

namespace {

const char* g_programName = "tavro";

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

volatile std::sig_atomic_t g_interrupted = 0;

void SetProgramName(const char* name) { g_programName = name; }
const char* ProgramName() { return g_programName; }

namespace {

// A one-line message, as Fail prints it and Failure keeps it.
std::string Formatted(const char* format, va_list args) {
    char message[1024];
    std::vsnprintf(message, sizeof message, format, args);
    return message;
}

}  // namespace

int Fail(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = Formatted(format, args);
    va_end(args);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", g_programName, message.c_str());
    return status;
}

SharedDeviceState* AttachKit() {
    if (TV_Attach() != 0 || TavroLinux == nullptr || TavroLinux->SharedData == nullptr) {
        // The platform names the cause and its fix (a segment of the wrong
        // size or another user's, IPC limits).
        if (CTavroLinux::SharedMemoryProblem[0] != '\0')
            Fail(kExitFailure, "cannot attach the kit's shared record: %s",
                 CTavroLinux::SharedMemoryProblem);
        else
            Fail(kExitFailure, "cannot attach the kit's shared record (key %d); see the system log",
                 static_cast<int>(CTavroLinux::SharedMemoryKey));
        return nullptr;
    }
    return TavroLinux->SharedData;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (g_interrupted || std::chrono::steady_clock::now() >= deadline) return false;
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

bool AwaitOrWithdraw(SharedDeviceState* record, RequestFlag flag, std::chrono::milliseconds timeout) {
    return tavro::AwaitOrWithdrawRequest(record->*flag, timeout, [] { return g_interrupted != 0; });
}

Outcome Failure(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Outcome outcome{status, Formatted(format, args)};
    va_end(args);
    return outcome;
}

int Report(const Outcome& outcome) {
    if (!outcome.ok()) Fail(outcome.status, "%s", outcome.message.c_str());
    return outcome.status;
}

Outcome NotServedOutcome(const char* what) {
    if (g_interrupted) return Failure(kExitFailure, "interrupted; the %s request was withdrawn", what);
    std::string cause = DeviceProblem(ReadDaemonView());
    if (cause.empty()) cause = "the device daemon did not take it up; it may be overloaded";
    return Failure(kExitNoAnswer,
                   "no answer: the %s request was not taken up within %lld ms and was withdrawn: %s",
                   what, static_cast<long long>(kServeTimeout.count()), cause.c_str());
}

int NotServed(const char* what) { return Report(NotServedOutcome(what)); }

namespace {

// The process holding the one-daemon claim, or 0.
int DaemonClaimHolder() {
    int id = semget(DaemonStatusKey(CTavroLinux::SharedMemoryKey), 1, 0);
    if (id < 0 || semctl(id, 0, GETVAL) <= 0) return 0;
    int pid = semctl(id, 0, GETPID);
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM) ? pid : 0;
}

}  // namespace

DaemonView ReadDaemonView() {
    DaemonView view;
    std::string error;
    static DaemonStatus* status = AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    if (status != nullptr) {
        const DaemonStatus& s = *status;
        view.known = true;
        view.pid = tavro::LoadField(s.DaemonPid);
        view.running = DaemonAlive(s);
        view.receiverConnected = tavro::LoadField(s.ReceiverConnected) != 0;
        view.receiverPath = tavro::LoadText(s.ReceiverPath);
        view.packets = tavro::LoadField(s.PacketsDecoded);
        for (int u = 0; u < 4; ++u) view.perHandset[u] = tavro::LoadField(s.PacketsPerHandset[u]);
        int64_t last = tavro::LoadField(s.LastPacketUnixNs);
        if (last > 0) view.secondsSincePacket = std::max(0.0, (UnixNowNs() - last) / 1e9);
        view.motionSkipped = tavro::LoadField(s.MotionSkipped);
        view.passesDropped = tavro::LoadField(s.PassesDropped);
        view.output = tavro::LoadText(s.Output);
        view.filter = tavro::LoadText(s.Filter);
        view.outputReason = tavro::LoadText(s.OutputReason);
        view.screenWidth = tavro::LoadField(s.ScreenWidth);
        view.screenHeight = tavro::LoadField(s.ScreenHeight);
        view.profile = tavro::LoadText(s.ActiveProfile);
        view.settingsPath = tavro::LoadText(s.SettingsPath);
        view.settingsLoadedBy = tavro::LoadText(s.SettingsLoadedBy);
        view.settingsLoadedByPid = tavro::LoadField(s.SettingsLoadedByPid);
        view.settingsFromDefaults = tavro::LoadField(s.SettingsFromDefaults) != 0;
        view.settingsLoadedUnixNs = tavro::LoadField(s.SettingsLoadedUnixNs);
    }
    if (!view.running) {
        // A daemon that holds the claim but has not said more (yet).
        int holder = DaemonClaimHolder();
        if (holder > 0) {
            view.running = true;
            view.pid = holder;
        }
    }
    return view;
}

std::string DeviceProblem(const DaemonView& view) {
    if (!view.running)
        return "no device daemon is running; start it with \"tavrod\" "
               "(or \"systemctl --user start tavrod\")";
    std::string receiver = view.receiverPath.empty() ? "the receiver" : "the receiver " + view.receiverPath;
    if (!view.receiverConnected)
        return "the device daemon tavrod (process " + std::to_string(view.pid) + ") runs, but " +
               receiver + " is not connected; plug it in (tavrod waits for it)";
    if (view.secondsSincePacket < 0)
        return receiver + " is connected, but no packet has come from it yet; switch a handset on";
    if (view.secondsSincePacket >= tavro::kPacketsStaleAfterSeconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.0f", view.secondsSincePacket);
        return receiver + " is connected, but no packet has come for " + seconds +
               " s; switch a handset on";
    }
    return "";
}

int CompleteCommand(SharedDeviceState* record, RequestFlag flag, int32_t errorBefore,
                    const char* what) {
    return Report(AwaitCommand(record, flag, errorBefore, what));
}

Outcome AwaitCommand(SharedDeviceState* record, RequestFlag flag, int32_t errorBefore, const char* what) {
    if (!AwaitOrWithdraw(record, flag)) return NotServedOutcome(what);
    // A receiver that refuses a command answers with an error packet at once;
    // a write that failed is recorded as error 4 by the daemon.
    int32_t error = errorBefore;
    WaitUntil([&] { return (error = tavro::LoadField(record->LastError)) != errorBefore; },
              std::chrono::milliseconds(150));
    if (error != errorBefore) {
        if (error == 4)
            return Failure(kExitFailure, "%s: the command could not be written to the receiver", what);
        return Failure(kExitFailure, "%s: the receiver reported error %d", what, static_cast<int>(error));
    }
    return Outcome{};
}

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

namespace {
bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

bool ParseInt(const std::string& text, long* value) {
    if (text.empty() || Blank(text.front()) || Blank(text.back())) return false;
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || end == text.c_str()) return false;
    *value = parsed;
    return true;
}

bool ParseDouble(const std::string& text, double* value) {
    if (text.empty() || Blank(text.front()) || Blank(text.back())) return false;
    errno = 0;
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || end == text.c_str() || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

}  // namespace tavro::cli
