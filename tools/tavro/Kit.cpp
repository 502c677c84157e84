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

// What the kit's start-up resets but what belongs to the running device and
// to other clients, not to a client that merely attaches: the pointing state
// (active handset, pointing mode, click options), and requests still pending
// (a stop, receiver commands, a learn in progress) that clearing would
// silently cancel.
struct LiveState {
    int32_t currentUser;
    uint8_t directPoint, smartPoint, moveAtBoundary, moveEnabled;
    uint8_t smartTracking, mouseClick, quickClick, drawBitmaps;
    uint8_t stopRequest, learnInProgress;
    uint8_t startup[16];   // 0x0000 to 0x000F: the first request flags
    uint8_t requests[10];  // FrequencyRequest to ProgramIDRequest
};

// The request flags among the first 16 bytes of the record.
constexpr size_t kStartupFlags[] = {
    offsetof(SharedDeviceState, HIDMouseRequest),     offsetof(SharedDeviceState, HIDCalRequest),
    offsetof(SharedDeviceState, HIDAntiShakeRequest), offsetof(SharedDeviceState, HIDDefaultRequest),
    offsetof(SharedDeviceState, HIDMappingsRequest),  offsetof(SharedDeviceState, StartMotorRequest),
    offsetof(SharedDeviceState, LearnCodeRequest),    offsetof(SharedDeviceState, SendIRCodeRequest),
};

LiveState Capture(const SharedDeviceState& r) {
    LiveState s{};
    s.currentUser = Peek(r.CurrentUser);
    s.directPoint = Peek(r.DirectPoint);
    s.smartPoint = Peek(r.SmartPoint);
    s.moveAtBoundary = Peek(r.MoveAtBoundary);
    s.moveEnabled = Peek(r.MoveEnabled);
    s.smartTracking = Peek(r.SmartTracking);
    s.mouseClick = Peek(r.MouseClick);
    s.quickClick = Peek(r.QuickClick);
    s.drawBitmaps = Peek(r.DrawBitmaps);
    s.stopRequest = Peek(r.StopRequest);
    s.learnInProgress = Peek(r.LearnInProgress);
    const auto* bytes = reinterpret_cast<const volatile uint8_t*>(&r);
    for (size_t offset : kStartupFlags) s.startup[offset] = bytes[offset];
    for (size_t i = 0; i < sizeof s.requests; ++i)
        s.requests[i] = bytes[offsetof(SharedDeviceState, FrequencyRequest) + i];
    return s;
}

void Restore(SharedDeviceState& r, const LiveState& s) {
    if (s.currentUser >= 0 && s.currentUser < TAVRO_HANDSETS) Poke(r.CurrentUser, s.currentUser);
    Poke(r.DirectPoint, s.directPoint);
    Poke(r.SmartPoint, s.smartPoint);
    Poke(r.MoveAtBoundary, s.moveAtBoundary);
    Poke(r.MoveEnabled, s.moveEnabled);
    Poke(r.SmartTracking, s.smartTracking);
    Poke(r.MouseClick, s.mouseClick);
    Poke(r.QuickClick, s.quickClick);
    Poke(r.DrawBitmaps, s.drawBitmaps);
    // Pending flags are raised again, never lowered: the daemon may have
    // served one in the meantime.  A flag the writer had taken up (2) is
    // being sent already and is not raised again.
    auto* bytes = reinterpret_cast<volatile uint8_t*>(&r);
    if (s.stopRequest != 0) Poke(r.StopRequest, s.stopRequest);
    if (s.learnInProgress != 0) Poke(r.LearnInProgress, s.learnInProgress);
    for (size_t offset : kStartupFlags)
        if (s.startup[offset] == 1) bytes[offset] = 1;
    for (size_t i = 0; i < sizeof s.requests; ++i)
        if (s.requests[i] == 1) bytes[offsetof(SharedDeviceState, FrequencyRequest) + i] = 1;
}

// Reads the live state of an existing record without attaching it for
// writing; false when there is no record yet (nothing to keep).
bool CaptureExisting(LiveState* state) {
    int id = shmget(CTavroLinux::SharedMemoryKey, 0, 0);
    if (id < 0) return false;
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) != 0 || status.shm_segsz != TAVRO_SHARED_MEMORY_SIZE)
        return false;
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) return false;
    *state = Capture(*static_cast<const SharedDeviceState*>(address));
    shmdt(address);
    return true;
}

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

volatile std::sig_atomic_t g_interrupted = 0;

void SetProgramName(const char* name) { g_programName = name; }
const char* ProgramName() { return g_programName; }

int Fail(int status, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", g_programName, message);
    return status;
}

SharedDeviceState* AttachKit() {
    LiveState before{};
    bool existed = CaptureExisting(&before);
    if (TV_Initialize() != 0 || TavroLinux == nullptr || TavroLinux->SharedData == nullptr) {
        Fail(kExitFailure,
             "cannot attach the kit's shared record (key %d); see the system log",
             static_cast<int>(CTavroLinux::SharedMemoryKey));
        return nullptr;
    }
    SharedDeviceState* record = TavroLinux->SharedData;
    if (existed) Restore(*record, before);
    return record;
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

bool WaitServed(const uint8_t& flag, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return Peek(flag) == 0; }, timeout);
}

bool Withdraw(uint8_t& flag) {
    uint8_t expected = 1;
    return __atomic_compare_exchange_n(&flag, &expected, static_cast<uint8_t>(0), false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

bool AwaitOrWithdraw(uint8_t& flag, std::chrono::milliseconds timeout) {
    if (WaitServed(flag, timeout)) return true;
    if (Withdraw(flag)) return false;
    // Taken up at the last moment: it is being sent, so it counts as served.
    return WaitServed(flag, std::chrono::milliseconds(500)) || Peek(flag) != 1;
}

int NotServed(const char* what) {
    if (g_interrupted) return Fail(kExitFailure, "interrupted; the %s request was withdrawn", what);
    std::string cause = DeviceProblem(ReadDaemonView());
    if (cause.empty()) cause = "the device daemon did not take it up; it may be overloaded";
    return Fail(kExitNoAnswer,
                "no answer: the %s request was not taken up within %lld ms and was withdrawn: %s",
                what, static_cast<long long>(kServeTimeout.count()), cause.c_str());
}

namespace {

// The process holding the one-daemon claim, or 0.
int DaemonClaimHolder() {
    int id = semget(DaemonStatusKey(CTavroLinux::SharedMemoryKey), 1, 0);
    if (id < 0 || semctl(id, 0, GETVAL) <= 0) return 0;
    int pid = semctl(id, 0, GETPID);
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM) ? pid : 0;
}

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

DaemonView ReadDaemonView() {
    DaemonView view;
    std::string error;
    static DaemonStatus* status = AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    if (status != nullptr) {
        const DaemonStatus& s = *status;
        view.known = true;
        view.pid = __atomic_load_n(&s.DaemonPid, __ATOMIC_RELAXED);
        view.running = DaemonAlive(s);
        view.receiverConnected = __atomic_load_n(&s.ReceiverConnected, __ATOMIC_RELAXED) != 0;
        view.receiverPath = FieldText(s.ReceiverPath, sizeof s.ReceiverPath);
        view.packets = __atomic_load_n(&s.PacketsDecoded, __ATOMIC_RELAXED);
        for (int u = 0; u < 4; ++u) view.perHandset[u] = __atomic_load_n(&s.PacketsPerHandset[u], __ATOMIC_RELAXED);
        int64_t last = __atomic_load_n(&s.LastPacketUnixNs, __ATOMIC_RELAXED);
        if (last > 0) view.secondsSincePacket = std::max(0.0, (UnixNowNs() - last) / 1e9);
        view.motionSkipped = __atomic_load_n(&s.MotionSkipped, __ATOMIC_RELAXED);
        view.passesDropped = __atomic_load_n(&s.PassesDropped, __ATOMIC_RELAXED);
        view.output = FieldText(s.Output, sizeof s.Output);
        view.filter = FieldText(s.Filter, sizeof s.Filter);
        view.settingsPath = FieldText(s.SettingsPath, sizeof s.SettingsPath);
        view.settingsLoadedBy = FieldText(s.SettingsLoadedBy, sizeof s.SettingsLoadedBy);
        view.settingsLoadedByPid = __atomic_load_n(&s.SettingsLoadedByPid, __ATOMIC_RELAXED);
        view.settingsFromDefaults = __atomic_load_n(&s.SettingsFromDefaults, __ATOMIC_RELAXED) != 0;
        view.settingsLoadedUnixNs = __atomic_load_n(&s.SettingsLoadedUnixNs, __ATOMIC_RELAXED);
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
    if (view.secondsSincePacket >= 2.0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.0f", view.secondsSincePacket);
        return receiver + " is connected, but no packet has come for " + seconds +
               " s; switch a handset on";
    }
    return "";
}

int CompleteCommand(SharedDeviceState* record, uint8_t& flag, int32_t errorBefore,
                    const char* what) {
    if (!AwaitOrWithdraw(flag)) return NotServed(what);
    // A receiver that refuses a command answers with an error packet at once;
    // a write that failed is recorded as error 4 by the daemon.
    int32_t error = errorBefore;
    WaitUntil([&] { return (error = Peek(record->LastError)) != errorBefore; },
              std::chrono::milliseconds(150));
    if (error != errorBefore) {
        if (error == 4)
            return Fail(kExitFailure, "%s: the command could not be written to the receiver", what);
        return Fail(kExitFailure, "%s: the receiver reported error %d", what, static_cast<int>(error));
    }
    return kExitOk;
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
