// tavrod: the device daemon.  It owns the receiver: it initialises the kit,
// opens and configures the receiver's tty and runs the device threads, so
// that every other process reads positions and requests commands through
// the shared record.  SIGINT, SIGTERM or TV_StopDevice from any process end
// it cleanly; SIGHUP rereads its configuration and the settings file.  A
// receiver that is missing at start or unplugged later is waited for.  Only
// one tavrod runs at a time, whoever starts it.
#include "DaemonLog.h"
#include "DaemonOptions.h"
#include "DaemonStatus.h"
#include "DeviceRunMarker.h"
#include "DisplayLock.h"
#include "FilterChoice.h"
#include "ActiveWindow.h"
#include "KeyBindings.h"
#include "KeyRelay.h"
#include "OutputSelection.h"
#include "RecordAccess.h"
#include "ReceiverLock.h"
#include "SettingsKeys.h"
#include "TavroLinux.h"
#include "TtyHolders.h"
#include "tavrodev.h"

#include <X11/Xlib.h>
// Xlib's macro would rename CTavroLinux::Status.
#undef Status

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

using tavrod::Say;

// How often the path of a missing receiver is looked at.
constexpr int kDeviceProbeMs = 250;
// How long an exit waits for calculation passes still running.
constexpr int kPassDrainMs = 1000;
// How often the daemon's loop looks at the settings' provenance and the
// configuration's filter.
constexpr auto kCheckPeriod = std::chrono::milliseconds(500);
constexpr auto kRelayRetryPeriod = std::chrono::seconds(2);

// Exit statuses.
constexpr int kExitStopped = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;

// Set by the handler, which may run on any of the daemon's threads, and
// read by the main thread: atomics (lock-free, so safe in a
// handler), not volatile, so that the reader is ordered after the store.
std::atomic<int> g_signalled{0};  // SIGINT or SIGTERM
std::atomic<int> g_hangup{0};     // SIGHUP
static_assert(std::atomic<int>::is_always_lock_free, "the signal flags must be safe in a handler");
std::atomic<SharedDeviceState*> g_stopRecord{nullptr};  // asks the device to stop
int g_wakeFd = -1;  // write end of the pipe that wakes the daemon's loop

void OnSignal(int signal) {
    const int saved = errno;
    if (signal == SIGHUP) {
        g_hangup = 1;
    } else {
        g_signalled = 1;
        if (SharedDeviceState* record = g_stopRecord.load()) tavro::SetStopRequest(record, true);
    }
    if (g_wakeFd >= 0) {
        const char byte = 1;
        ssize_t ignored = write(g_wakeFd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

// The kit's latest log message of its own, to say why a configuration failed.
std::mutex g_messageMutex;
std::string g_lastMessage;

void CaptureMessage(const char* text) {
    if (text == nullptr || std::strncmp(text, "tavrod: ", 8) == 0) return;
    std::lock_guard<std::mutex> lock(g_messageMutex);
    g_lastMessage = text;
    while (!g_lastMessage.empty() && (g_lastMessage.back() == '\n' || g_lastMessage.back() == '.'))
        g_lastMessage.pop_back();
}

std::string LastMessage() {
    std::lock_guard<std::mutex> lock(g_messageMutex);
    return g_lastMessage;
}

// ---- The status segment other programs read. ----

tavro::DaemonStatus* g_status = nullptr;

void PublishConnected(bool connected) {
    if (g_status != nullptr) tavro::StoreField(g_status->ReceiverConnected, connected ? 1 : 0);
}

void PublishEnd() {
    if (g_status == nullptr) return;
    tavro::StoreField(g_status->ReceiverConnected, 0);
    // The pid last, after the fields it stands for.
    std::atomic_thread_fence(std::memory_order_release);
    tavro::StoreField(g_status->DaemonPid, 0);
}

// The receiver's path as the record holds it.
std::string RecordedPath(const SharedDeviceState* record) { return tavro::LoadText(record->DeviceName); }

// ---- The X display going away. ----

char g_displayName[128] = "";

// A request that failed on the X server (a window that closed before its
// class was read) must not end the daemon, as Xlib's own handler would.
int OnXError(Display*, XErrorEvent* error) {
    if (error->error_code != BadWindow) {
        static std::atomic<int> said{0};
        if (said.fetch_add(1) < 5)
            Say("an X request failed (error %d, request %d); going on", error->error_code,
                error->request_code);
    }
    return 0;
}

// Xlib calls this when the connection to the X server breaks, and ends the
// process if it returns; say so in our own words and exit non-zero, so that
// the service manager starts tavrod again with the next session.
int OnDisplayLost(Display*) {
    char text[300];
    std::snprintf(text, sizeof text,
                  "tavrod: the X display %s went away (the X server ended or the session closed); "
                  "exiting so that the service manager can start tavrod again",
                  g_displayName);
    std::fprintf(stderr, "%s\n", text);
    syslog(LOG_INFO, "%s", text);
    PublishEnd();
    _exit(kExitFailure);
}

bool StopWanted(const SharedDeviceState* record) {
    return g_signalled != 0 || tavro::StopRequested(record);
}

// ---- The receiver's tty. ----

// Opens the path the way the kit will, to learn why it cannot.  Returns 0 or
// the errno of the failure.
int ProbeDevice(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

// Errors after which the receiver may still appear: it is not plugged in,
// its driver is not bound yet, or udev has not given it its rights yet.
bool MayAppear(int error) {
    return error == ENOENT || error == ENODEV || error == ENXIO || error == ENOTDIR || error == EIO;
}

std::string PermissionFix(const std::string& path) {
    return "cannot open the receiver " + path + ": " + std::strerror(EACCES) +
           "; join the dialout group (sudo adduser $USER dialout, then log in again) or install "
           "the udev rule 60-tavro-receiver.rules";
}

// Lets the receiver's tty go: its lock at once, so that the next open can
// take it even while a reader held by a frozen desktop still holds the
// descriptor.
void CloseDevice(CTavroLinux* kit) {
    const int fd = kit->DeviceFd();
    if (fd > 0) flock(fd, LOCK_UN);
    kit->CloseDevice();
}

// ---- The daemon's state. ----

struct Daemon {
    CTavroLinux* kit = nullptr;
    SharedDeviceState* record = nullptr;
    tavrod::Options commandLine;
    tavrod::Options effective;     // command line over the configuration file
    std::string path;              // the receiver's tty of this run
    std::string ownSettings;       // the settings file of the daemon's own HOME
    // The receiver's path as the settings name it.  The record's DeviceName,
    // which every program's settings write saves into the file, holds it
    // except while this run's path is being opened: a --device path is for
    // this run only, and a path another program set meanwhile is kept.
    std::string settingsDevice;

    std::mutex mutex;              // guards `wanted`
    tavrod::Options wanted;        // the options a SIGHUP asked for
    std::string wantedPath;
    std::atomic<bool> restart{false};  // end the device run and apply `wanted`

    // The loop of the main thread (Serve): the read end of the signal pipe,
    // the filter's configuration, the settings as last seen.
    int wakeFd = -1;
    std::unique_ptr<tavro::FilterConfigWatch> filter;
    std::unique_ptr<tavro::ActiveWindowWatch> activeWindow;  // for the profiles made for applications
    const tavro::KeyBindings* bindingsTold = nullptr;        // the bindings that know the active window
    int64_t settingsSeen = 0;
    std::vector<unsigned char> settingsValues;
    std::chrono::steady_clock::time_point nextCheck;
    std::chrono::steady_clock::time_point nextRelayTry;  // while the relay's name is taken
};

// Ends the current device run so that the main loop can apply new options
// between runs, when nothing uses the output or the tty.
void RequestRestart(Daemon& d) {
    d.restart.store(true);
    tavro::SetStopRequest(d.record, true);
}

// Selects the output for the options; on failure says why and returns false.
bool SelectOutput(Daemon& d, const tavrod::Options& options) {
    const tavro::OutputSelection chosen =
        d.kit->ChooseOutput(options.output, options.screenWidth, options.screenHeight);
    if (chosen.result != 0) {
        Say("%s", chosen.message.empty() ? "cannot start the output" : chosen.message.c_str());
        return false;
    }
    // The line says which output and why; without a display it also says
    // that pointer and keys go nowhere, on the terminal as in the log.
    Say("%s", chosen.message.c_str());
    // Where the events go now, for `tavro status`.
    if (g_status != nullptr) {
        tavro::StoreText(g_status->Output, tavro::OutputKindName(chosen.output));
        // Why, and the desktop's size positions are mapped to, for programs
        // that show the daemon's state (tavro-control).
        tavro::StoreText(g_status->OutputReason, chosen.message);
        int width = 0, height = 0;
        tavro::DesktopSize(*d.kit, &width, &height);
        tavro::StoreField(g_status->ScreenWidth, width);
        tavro::StoreField(g_status->ScreenHeight, height);
    }
    return true;
}

// ---- SIGHUP: reread the configuration and the settings. ----

// The settings values the running kit holds (the receiver's path aside,
// which this run keeps), to tell whether another program changed them.
std::vector<unsigned char> SettingsBytes(const SharedDeviceState* record) {
    std::vector<unsigned char> bytes;
    const auto* base = reinterpret_cast<const unsigned char*>(record);
    for (const SettingKey& key : kSettingKeys) {
        if (key.offset == offsetof(SharedDeviceState, DeviceName)) continue;
        for (size_t i = 0; i < key.size; ++i) bytes.push_back(tavro::LoadField(base[key.offset + i]));
    }
    return bytes;
}

std::string ChangedKeys(const std::vector<unsigned char>& before, const SharedDeviceState* record) {
    std::string names;
    const std::vector<unsigned char> now = SettingsBytes(record);
    size_t at = 0;
    for (const SettingKey& key : kSettingKeys) {
        if (key.offset == offsetof(SharedDeviceState, DeviceName)) continue;
        if (at + key.size <= before.size() && at + key.size <= now.size() &&
            std::memcmp(before.data() + at, now.data() + at, key.size) != 0)
            names += (names.empty() ? "" : ", ") + std::string(key.name);
        at += key.size;
    }
    return names;
}

void Reload(Daemon& d) {
    tavrod::Options options;
    std::string error;
    if (!tavrod::ApplyConfigFile(d.commandLine, &options, &error)) {
        Say("SIGHUP: cannot use the configuration: %s; keeping the running one", error.c_str());
        return;
    }
    // The settings of the daemon's own home, whatever another program loaded.
    d.kit->ReadStaticSettings();
    std::string newPath = d.commandLine.device;
    if (newPath.empty()) newPath = RecordedPath(d.record);
    Say("SIGHUP: reread the configuration (output %s, screen %s) and the settings file %s",
        tavrod::OutputName(options.output), tavrod::ScreenText(options).c_str(),
        tavro::LoadText(d.record->IniFileName).c_str());
    const bool outputChanged = options.output != d.effective.output ||
                               options.screenWidth != d.effective.screenWidth ||
                               options.screenHeight != d.effective.screenHeight;
    const bool pathChanged = !newPath.empty() && newPath.size() < sizeof d.record->DeviceName &&
                             newPath != d.path;
    if (outputChanged || pathChanged) {
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            d.wanted = options;
            d.wantedPath = pathChanged ? newPath : d.path;
        }
        RequestRestart(d);
    }
}

// ---- The daemon's loop: signals, the X connection, the key relay, the
// configuration's filter, the settings' origin.  It runs on the main thread,
// between device runs and (through WhileDeviceRuns) while one runs, so the
// daemon needs no thread beyond the device's. ----

// Another program's start-up loads its settings file into the record: tell
// when that replaced the values the daemon runs on.
void CheckSettingsOrigin(Daemon& d) {
    if (g_status == nullptr) return;
    const int64_t loaded = tavro::LoadPublished(g_status->SettingsLoadedUnixNs);
    if (loaded == d.settingsSeen) return;
    // The time is stored last: what it stands for is read after it.
    std::atomic_thread_fence(std::memory_order_acquire);
    d.settingsSeen = loaded;
    const int pid = tavro::LoadField(g_status->SettingsLoadedByPid);
    if (pid != getpid()) {
        const std::string from = tavro::LoadText(g_status->SettingsPath);
        const std::string who = tavro::LoadText(g_status->SettingsLoadedBy);
        const bool defaults = tavro::LoadField(g_status->SettingsFromDefaults) != 0;
        const std::string changed = ChangedKeys(d.settingsValues, d.record);
        if (from != d.ownSettings)
            Say("the running settings were replaced by %s (process %d) from %s%s%s; SIGHUP "
                "reloads %s", who.c_str(), pid, from.c_str(), defaults ? " (its defaults)" : "",
                changed.empty() ? "" : (", changing " + changed).c_str(), d.ownSettings.c_str());
        else if (!changed.empty())
            Say("the running settings were reloaded by %s (process %d) from %s%s: %s changed",
                who.c_str(), pid, from.c_str(), defaults ? " (its defaults)" : "", changed.c_str());
    }
    d.settingsValues = SettingsBytes(d.record);
}

// A relay whose name another process held at start takes it once it is
// free: tried every few seconds and at each replug.
void ListenForKeysAgain(Daemon& d) {
    const std::shared_ptr<tavro::KeyRelayServer> relay = std::atomic_load(&d.kit->KeyRelay);
    d.nextRelayTry = std::chrono::steady_clock::now() + kRelayRetryPeriod;
    if (relay && !relay->started() && relay->ListenAgain())
        Say("serving other programs' keys on the socket @%s: its name is free now", tavro::KeyRelayName().c_str());
}

// Waits up to `timeoutMs` for something to do and does it; returns after
// the first event, or when `extraFd` (the device's "writer ended") is
// readable, or at the time-out.
void Serve(Daemon& d, int extraFd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const std::shared_ptr<tavro::KeyRelayServer> relay = std::atomic_load(&d.kit->KeyRelay);
    const int xfd = display != nullptr ? ConnectionNumber(display) : -1;
    std::vector<pollfd> fds{{d.wakeFd, POLLIN, 0}};
    if (xfd >= 0) fds.push_back({xfd, POLLIN, 0});
    if (extraFd >= 0) fds.push_back({extraFd, POLLIN, 0});
    const size_t activeWindowAt = fds.size();
    if (d.activeWindow) fds.push_back({d.activeWindow->Descriptor(), POLLIN, 0});
    if (relay) relay->AddDescriptors(&fds);
    const std::shared_ptr<tavro::KeyBindings> bindings = std::atomic_load(&d.kit->Bindings);
    const size_t bindingsAt = fds.size();
    if (bindings) fds.push_back({bindings->Descriptor(), POLLIN, 0});

    // Rounded up: a time-out a fraction of a millisecond short would wake
    // the loop before the check is due and poll again at once.
    const auto untilCheck = std::chrono::ceil<std::chrono::milliseconds>(d.nextCheck - Clock::now()).count();
    const int timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(timeoutMs, untilCheck)));
    // Another thread's X call may have read events off the connection: it
    // then shows nothing to poll, yet they wait to be handled.
    bool queued = false;
    if (xfd >= 0) {
        tavro::DisplayLock lock(display);
        queued = XEventsQueued(lock.get(), QueuedAfterReading) > 0;
    }
    const int count = poll(fds.data(), fds.size(), queued ? 0 : timeout);
    if (count > 0 && (fds[0].revents & POLLIN) != 0) {
        char drain[64];
        while (read(d.wakeFd, drain, sizeof drain) > 0) {
        }
    }
    if (g_hangup != 0) {
        g_hangup = 0;
        Reload(d);
    }
    // Reading the connection notices a server that went away (Xlib then
    // calls OnDisplayLost); events that arrive are not used, except a
    // changed keyboard mapping.
    if (xfd >= 0 && (queued || (count > 0 && fds[1].revents != 0))) {
        tavro::DisplayLock lock(display);
        while (XPending(lock.get()) > 0) {
            XEvent event;
            XNextEvent(lock.get(), &event);
            if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
        }
    }
    if (d.activeWindow) {
        std::vector<std::string> classes;
        const bool changed = count > 0 && fds[activeWindowAt].revents != 0 && d.activeWindow->Changed(&classes);
        // Bindings loaded since the last look hear of the window already
        // active, as well as of each change.
        if (bindings && bindings.get() != d.bindingsTold) {
            d.bindingsTold = bindings.get();
            if (!changed) classes = d.activeWindow->Classes();
            bindings->ApplicationChanged(classes);
        } else if (bindings && changed) {
            bindings->ApplicationChanged(classes);
        }
    }
    if (relay && count > 0) relay->ServeReady(fds);
    if (bindings && count > 0 && fds[bindingsAt].revents != 0) bindings->Serve();
    const auto now = Clock::now();
    if (now >= d.nextCheck) {
        d.nextCheck = now + kCheckPeriod;
        if (d.filter) d.filter->Check();
        CheckSettingsOrigin(d);
        if (now >= d.nextRelayTry) ListenForKeysAgain(d);
    }
}

// Serves the daemon's loop for `milliseconds`, or until a stop or a restart
// is wanted.
void ServeFor(Daemon& d, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || StopWanted(d.record) || d.restart.load()) return;
        Serve(d, -1, static_cast<int>(left));
    }
}

// Waits, without spinning, until the receiver's path opens or a stop or a
// restart is wanted.  A permission error while waiting is said once: udev
// may still be giving the new device its rights.  Returns whether the
// device is there.
bool WaitForDevice(Daemon& d, const std::string& path) {
    bool permissionSaid = false;
    while (!StopWanted(d.record) && !d.restart.load()) {
        const int error = ProbeDevice(path);
        if (error == 0) return true;
        if ((error == EACCES || error == EPERM) && !permissionSaid) {
            permissionSaid = true;
            Say("%s; still waiting", PermissionFix(path).c_str());
        }
        ServeFor(d, kDeviceProbeMs);
    }
    return false;
}

// Applies the options a SIGHUP asked for; false when no output can be had.
bool ApplyRestart(Daemon& d) {
    tavrod::Options wanted;
    std::string wantedPath;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        wanted = d.wanted;
        wantedPath = d.wantedPath;
    }
    d.restart.store(false);
    if (!g_signalled) tavro::SetStopRequest(d.record, false);
    if (wantedPath != d.path) {
        Say("the receiver is now %s (was %s)", wantedPath.c_str(), d.path.c_str());
        d.path = wantedPath;
        if (g_status != nullptr) tavro::StoreText(g_status->ReceiverPath, d.path);
    }
    if (wanted.output != d.effective.output || wanted.screenWidth != d.effective.screenWidth ||
        wanted.screenHeight != d.effective.screenHeight) {
        if (SelectOutput(d, wanted)) {
            d.effective = wanted;
        } else if (!SelectOutput(d, d.effective)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    tavrod::Options commandLine;
    std::string error;
    switch (tavrod::ParseCommandLine(argc, argv, &commandLine, &error)) {
        case tavrod::Parsed::Help:
            std::fputs(tavrod::kUsage, stdout);
            return 0;
        case tavrod::Parsed::Version:
            std::printf("tavrod (Tavro driver kit) %s\n", TAVRO_VERSION);
            return 0;
        case tavrod::Parsed::Error:
            std::fprintf(stderr, "tavrod: %s\n", error.c_str());
            return kExitUsage;
        case tavrod::Parsed::Run:
            break;
    }
    Daemon d;
    d.commandLine = commandLine;
    if (!tavrod::ApplyConfigFile(commandLine, &d.effective, &error)) {
        std::fprintf(stderr, "tavrod: %s\n", error.c_str());
        return kExitUsage;
    }

    // Signals first: a SIGHUP or SIGTERM during start-up must not kill the
    // daemon half-way.
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "tavrod: cannot create a pipe: %s\n", std::strerror(errno));
        return kExitFailure;
    }
    g_wakeFd = wake[1];
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    openlog("Tavro", LOG_PID | LOG_CONS, LOG_LOCAL0);

    // One daemon, whoever runs it: the claim is given back by the kernel
    // however this process ends.
    int holder = 0;
    if (!tavro::ClaimDaemonLock(CTavroLinux::SharedMemoryKey, &holder, &error)) {
        Say("%s", error.c_str());
        return holder > 0 ? kExitAlreadyRunning : kExitFailure;
    }

    CTavroLinux::MessageLogObserver = CaptureMessage;
    if (TV_Initialize() != 0 || TavroLinux == nullptr || TavroLinux->SharedData == nullptr) {
        const char* why = CTavroLinux::SharedMemoryProblem;
        Say("cannot attach the kit's shared record (key %d): %s", static_cast<int>(CTavroLinux::SharedMemoryKey),
            why[0] != '\0' ? why : "see the system log (journalctl -t Tavro)");
        return kExitFailure;
    }
    d.kit = TavroLinux;
    // The record is this daemon's from here on, also while it waits for the
    // receiver: programs that start meanwhile attach without resetting it or
    // putting their own settings into it.
    const tavro::DeviceRunMarker daemonRuns(CTavroLinux::SharedMemoryKey);
    d.record = d.kit->SharedData;
    d.ownSettings = tavro::LoadText(d.record->IniFileName);
    const char* displayName = display != nullptr ? DisplayString(display) : getenv("DISPLAY");
    std::snprintf(g_displayName, sizeof g_displayName, "%s", displayName != nullptr ? displayName : "");
    XSetIOErrorHandler(OnDisplayLost);
    XSetErrorHandler(OnXError);
    if (display != nullptr) d.activeWindow = tavro::ActiveWindowWatch::Open(g_displayName);

    d.path = commandLine.device;
    if (d.path.empty()) d.path = RecordedPath(d.record);
    if (d.path.empty() || d.path.size() >= sizeof d.record->DeviceName) {
        Say("the receiver's path \"%s\" is empty or longer than %zu characters", d.path.c_str(),
            sizeof d.record->DeviceName - 1);
        return kExitFailure;
    }

    g_status = tavro::AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    if (g_status == nullptr) {
        Say("%s; running without it (tavro status cannot show the daemon)", error.c_str());
    } else {
        tavro::StoreText(g_status->ReceiverPath, d.path);
        tavro::StoreField(g_status->ReceiverConnected, 0);
        tavro::StoreField(g_status->DaemonStartedUnixNs, tavro::UnixNowNs());
        // The pid last: readers take it as "the daemon runs", then read the rest.
        std::atomic_thread_fence(std::memory_order_release);
        tavro::PublishField(g_status->DaemonPid, getpid());
        d.kit->RunOptions.Status = g_status;
    }
    // The stabiliser from the configuration, followed while the daemon runs.
    d.filter = std::make_unique<tavro::FilterConfigWatch>(d.kit);
    // Other programs' keys are served by the daemon's own loop.
    tavro::KeyRelayServer::ServeFromOwnersLoop();
    if (!SelectOutput(d, d.effective)) {
        PublishEnd();
        return kExitFailure;
    }
    Say("started (process %d, version %s): output %s, screen %s, settings from %s",
        static_cast<int>(getpid()), TAVRO_VERSION, tavrod::OutputName(d.effective.output),
        tavrod::ScreenText(d.effective).c_str(), d.ownSettings.c_str());

    g_stopRecord = d.record;
    if (g_signalled) tavro::SetStopRequest(d.record, true);
    d.wakeFd = wake[0];
    d.settingsSeen = g_status != nullptr ? tavro::LoadPublished(g_status->SettingsLoadedUnixNs) : 0;
    d.settingsValues = SettingsBytes(d.record);
    d.nextCheck = std::chrono::steady_clock::now() + kCheckPeriod;
    d.kit->RunOptions.WhileDeviceRuns = [&d](int writerEnded) { Serve(d, writerEnded, 60000); };

    // A lost receiver ends the device threads, so the tty can be reopened.
    d.kit->RunOptions.EndOnDeviceLoss = true;
    d.kit->RunOptions.BindingsServedByOwner = true;
    bool started = false;
    bool restarted = false;
    bool waitingSaid = false;
    int status = kExitStopped;

    for (;;) {
        if (d.restart.load()) {
            if (!ApplyRestart(d)) {
                status = kExitFailure;
                break;
            }
            restarted = true;
        }
        if (StopWanted(d.record)) break;
        const int openError = ProbeDevice(d.path);
        if (openError != 0) {
            if (!started && !waitingSaid && (openError == EACCES || openError == EPERM)) {
                Say("%s", PermissionFix(d.path).c_str());
                status = kExitFailure;
                break;
            }
            if (!MayAppear(openError) && !started && !waitingSaid) {
                Say("cannot open the receiver %s: %s", d.path.c_str(),
                    openError == EBUSY ? tavro::BusyTtyReason(d.path).c_str() : std::strerror(openError));
                status = kExitFailure;
                break;
            }
            if (!started && !waitingSaid) {
                waitingSaid = true;
                Say("waiting for %s (%s)", d.path.c_str(), std::strerror(openError));
            }
            if (!WaitForDevice(d, d.path)) continue;
        }

        // The kit opens the path the record names: this run's, for the open
        // only (see settingsDevice).
        d.settingsDevice = RecordedPath(d.record);
        tavro::StoreText(d.record->DeviceName, d.path);
        int result = d.kit->OpenDevice();
        if (result == 0) result = d.kit->InitializeDevice();
        tavro::StoreText(d.record->DeviceName, d.settingsDevice);
        int holderPid = 0;
        const int lockError = result == 0 ? tavrod::LockReceiver(d.kit->DeviceFd(), &holderPid) : 0;
        if (result != 0 || lockError != 0) {
            CloseDevice(d.kit);
            if (!started && !waitingSaid && result == 6) {
                Say("cannot configure the receiver %s: %s", d.path.c_str(), LastMessage().c_str());
                status = kExitFailure;
                break;
            }
            if (!started && lockError != 0) {
                if (holderPid > 0) {
                    const std::string owner = tavro::OtherUsersProcess(holderPid);
                    Say("the receiver %s is already run by another tavrod (%sprocess %d); %s", d.path.c_str(),
                        owner.empty() ? "" : ("user " + owner + ", ").c_str(), holderPid,
                        tavro::StopAdvice(holderPid).c_str());
                } else
                    Say("the receiver %s is locked by another process (see fuser -v %s)", d.path.c_str(),
                        d.path.c_str());
                status = lockError == EWOULDBLOCK ? kExitAlreadyRunning : kExitFailure;
                break;
            }
            // Gone again before it could be used: the stop a failed open
            // raises is ours, not a request to end.
            if (result == 3 && !g_signalled) tavro::SetStopRequest(d.record, false);
            ServeFor(d, kDeviceProbeMs);
            if (!WaitForDevice(d, d.path)) continue;
            continue;
        }
        // Packets that queued up while nobody read the tty are old: drop
        // them instead of computing a burst of stale positions.
        tcflush(d.kit->DeviceFd(), TCIFLUSH);

        PublishConnected(true);
        if (!started || restarted)
            Say("running the receiver on %s", d.path.c_str());
        else
            Say("receiver %s is back", d.path.c_str());
        ListenForKeysAgain(d);
        started = true;
        restarted = false;
        // Returns on a stop, when the receiver is gone, or at once when it
        // went away before the threads started (configuring it again failed).
        d.kit->StartDevice();
        PublishConnected(false);
        CloseDevice(d.kit);
        if (d.restart.load()) continue;
        if (StopWanted(d.record)) break;

        Say("receiver %s is gone; waiting for it to come back", d.path.c_str());
        ServeFor(d, kDeviceProbeMs);
        WaitForDevice(d, d.path);
    }

    CloseDevice(d.kit);
    for (int waited = 0; d.kit->Counts.RunningPasses.load() > 0 && waited < kPassDrainMs; waited += 10)
        poll(nullptr, 0, 10);
    d.kit->RunOptions.WhileDeviceRuns = nullptr;
    PublishEnd();
    if (status == kExitStopped) Say("stopped");
    return status;
}
