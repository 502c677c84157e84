// tavrod: the device daemon.  It owns the receiver: it initialises the kit,
// opens and configures the receiver's tty and runs the device threads, so
// that every other process reads positions and requests commands through
// the shared record.  SIGINT, SIGTERM or TV_StopDevice from any process end
// it cleanly.  When the receiver goes away (unplugged, the tty hung up) it
// closes the tty, waits for the path to come back and runs the device again.
#include "TavroLinux.h"
#include "tavrodev.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const char kUsage[] =
    "Usage: tavrod [--device PATH]\n"
    "Runs the Tavro receiver: opens its tty (the settings' DeviceName, or PATH\n"
    "for this run), configures it and serves it until SIGINT, SIGTERM or\n"
    "TV_StopDevice.  When the receiver is unplugged tavrod waits for the path\n"
    "to come back and reopens it.\n"
    "\n"
    "  --device PATH   the receiver's tty for this run (the settings file is\n"
    "                  not changed)\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 after a requested stop; 1 when the kit or the receiver\n"
    "cannot be started (the reason is printed on standard error); 2 for bad\n"
    "options.\n";

// How often the path of a vanished receiver is looked at.
constexpr int kDeviceProbeMs = 250;
// How long an exit waits for calculation passes still running.
constexpr int kPassDrainMs = 1000;

volatile sig_atomic_t g_signalled = 0;
uint8_t* volatile g_stopFlag = nullptr;

void OnSignal(int) {
    g_signalled = 1;
    if (g_stopFlag != nullptr) *g_stopFlag = 1;
}

// The kit's latest log message, to say why a configuration failed.
std::mutex g_messageMutex;
std::string g_lastMessage;

void CaptureMessage(const char* text) {
    std::lock_guard<std::mutex> lock(g_messageMutex);
    g_lastMessage = text != nullptr ? text : "";
    while (!g_lastMessage.empty() && (g_lastMessage.back() == '\n' || g_lastMessage.back() == '.'))
        g_lastMessage.pop_back();
}

std::string LastMessage() {
    std::lock_guard<std::mutex> lock(g_messageMutex);
    return g_lastMessage;
}

bool StopWanted(const SharedDeviceState* record) {
    return g_signalled != 0 || __atomic_load_n(&record->StopRequest, __ATOMIC_RELAXED) != 0;
}

// Opens the path the way the kit will, to learn why it cannot.  Returns 0 or
// the errno of the failure.
int ProbeDevice(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

// Waits, without spinning, until the receiver's path opens again or a stop
// is wanted.  Returns whether the device is back.
bool WaitForDevice(const std::string& path, const SharedDeviceState* record) {
    while (!StopWanted(record)) {
        if (ProbeDevice(path) == 0) return true;
        poll(nullptr, 0, kDeviceProbeMs);
    }
    return false;
}

void CloseDevice(CTavroLinux* kit) {
    if (kit->DeviceFd > 0) close(kit->DeviceFd);
    kit->DeviceFd = 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string deviceOverride;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--device") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tavrod: --device needs the receiver's path\n");
                return 2;
            }
            deviceOverride = argv[++i];
        } else if (arg.rfind("--device=", 0) == 0) {
            deviceOverride = arg.substr(9);
        } else {
            std::fprintf(stderr, "tavrod: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }

    if (TV_Initialize() != 0 || TavroLinux == nullptr || TavroLinux->SharedData == nullptr) {
        std::fprintf(stderr, "tavrod: cannot attach the kit's shared record (key %d); see the system log\n",
                     TAVRO_SHARED_MEMORY_KEY);
        return 1;
    }
    CTavroLinux* kit = TavroLinux;
    SharedDeviceState* record = kit->SharedData;

    std::string path = deviceOverride;
    if (path.empty()) path.assign(record->DeviceName, strnlen(record->DeviceName, sizeof record->DeviceName));
    if (path.empty() || path.size() >= sizeof record->DeviceName) {
        std::fprintf(stderr, "tavrod: the receiver's path \"%s\" is empty or longer than %zu characters\n",
                     path.c_str(), sizeof record->DeviceName - 1);
        return 1;
    }

    CTavroLinux::MessageLogObserver = CaptureMessage;
    g_stopFlag = &record->StopRequest;
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // A lost receiver ends the device threads, so the tty can be reopened.
    kit->EndOnDeviceLoss.store(true);
    bool started = false;
    int status = 0;

    while (!StopWanted(record)) {
        // Another process's start-up reloads DeviceName from the settings;
        // the path of this run is set again before every open.
        std::memset(record->DeviceName, 0, sizeof record->DeviceName);
        std::memcpy(record->DeviceName, path.data(), path.size());

        int openError = ProbeDevice(path);
        int result = openError == 0 ? kit->OpenDevice() : 3;
        if (result == 0) result = kit->InitializeDevice();
        if (result != 0) {
            if (!started) {
                if (result == 3)
                    std::fprintf(stderr, "tavrod: cannot open the receiver %s: %s\n", path.c_str(),
                                 std::strerror(openError != 0 ? openError : ENOENT));
                else
                    std::fprintf(stderr, "tavrod: cannot configure the receiver %s: %s\n", path.c_str(),
                                 LastMessage().c_str());
                status = 1;
                break;
            }
            // Gone again before it could be used: the stop a failed open
            // raises is ours, not a request to end.
            CloseDevice(kit);
            if (result == 3 && !g_signalled) record->StopRequest = 0;
            poll(nullptr, 0, kDeviceProbeMs);
            if (!WaitForDevice(path, record)) break;
            continue;
        }

        std::fprintf(stderr, started ? "tavrod: receiver %s is back\n" : "tavrod: running the receiver on %s\n",
                     path.c_str());
        started = true;
        // Returns on a stop, when the receiver is gone, or at once when it
        // went away before the threads started (configuring it again failed).
        kit->StartDevice();
        if (StopWanted(record)) break;

        CloseDevice(kit);
        std::fprintf(stderr, "tavrod: receiver %s is gone; waiting for it to come back\n", path.c_str());
        poll(nullptr, 0, kDeviceProbeMs);
        if (!WaitForDevice(path, record)) break;
    }

    CloseDevice(kit);
    for (int waited = 0; kit->RunningPasses.load() > 0 && waited < kPassDrainMs; waited += 10)
        poll(nullptr, 0, 10);
    if (status == 0) std::fprintf(stderr, "tavrod: stopped\n");
    return status;
}
