#include "Kit.h"

#include "TavroLinux.h"
#include "tavrodev.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

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
    // served one in the meantime.
    auto* bytes = reinterpret_cast<volatile uint8_t*>(&r);
    if (s.stopRequest != 0) Poke(r.StopRequest, s.stopRequest);
    if (s.learnInProgress != 0) Poke(r.LearnInProgress, s.learnInProgress);
    for (size_t offset : kStartupFlags)
        if (s.startup[offset] != 0) bytes[offset] = 1;
    for (size_t i = 0; i < sizeof s.requests; ++i)
        if (s.requests[i] != 0) bytes[offsetof(SharedDeviceState, FrequencyRequest) + i] = 1;
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

int NotServed(const char* what) {
    if (g_interrupted) return Fail(kExitFailure, "interrupted");
    return Fail(kExitNoAnswer,
                "no answer: the %s request was not taken up within %lld ms "
                "(is the device daemon tavrod running?)",
                what, static_cast<long long>(kServeTimeout.count()));
}

int CompleteCommand(SharedDeviceState* record, const uint8_t& flag, int32_t errorBefore,
                    const char* what) {
    if (!WaitServed(flag)) return NotServed(what);
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

bool ParseInt(const std::string& text, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || end == text.c_str()) return false;
    *value = parsed;
    return true;
}

bool ParseDouble(const std::string& text, double* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || end == text.c_str() || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

}  // namespace tavro::cli
