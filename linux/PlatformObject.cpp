// The platform object's life, the shared segment, the settings paths, the
// system log, the debug-line sink and the sleep primitive.
#include "TavroLinux.h"

#include "DaemonStatus.h"
#include "DeviceRun.h"
#include "KeyBindings.h"
#include "KeyRelay.h"
#include "OutputSelection.h"
#include "RecordAccess.h"

#include <X11/Xlib.h>

#include <dirent.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <atomic>

Display* display = nullptr;

key_t CTavroLinux::SharedMemoryKey = TAVRO_SHARED_MEMORY_KEY;
void (*CTavroLinux::MessageLogObserver)(const char*) = nullptr;
char CTavroLinux::SharedMemoryProblem[256] = "";

namespace {

// The core's dispatch asks which keys the user's bindings take.
unsigned TakeBoundKeys(CTavroCore* core, int user, unsigned buttonWord) {
    auto* kit = static_cast<CTavroLinux*>(core);
    const std::shared_ptr<tavro::KeyBindings> bindings = std::atomic_load(&kit->Bindings);
    if (!bindings || kit->SharedData == nullptr) return 0;
    return bindings->Packet(user, buttonWord, tavro::LoadField(kit->SharedData->CurrentUser));
}

// Size and owner of the segment with `key` from /proc/sysvipc/shm, which
// lists every segment of the process's IPC namespace to every user, also
// one that this user may not look at with IPC_STAT.
bool SegmentListing(key_t key, size_t* size, uid_t* owner) {
    FILE* listing = std::fopen("/proc/sysvipc/shm", "r");
    if (listing == nullptr) return false;
    char line[512];
    bool found = false;
    if (std::fgets(line, sizeof line, listing) != nullptr) {  // the column names
        while (!found && std::fgets(line, sizeof line, listing) != nullptr) {
            long long listedKey = 0, id = 0, perms = 0, cpid = 0, lpid = 0, attached = 0;
            unsigned long long bytes = 0;
            unsigned uid = 0;
            if (std::sscanf(line, "%lld %lld %llo %llu %lld %lld %lld %u", &listedKey, &id, &perms, &bytes,
                            &cpid, &lpid, &attached, &uid) == 8 &&
                listedKey == key) {
                *size = static_cast<size_t>(bytes);
                *owner = static_cast<uid_t>(uid);
                found = true;
            }
        }
    }
    std::fclose(listing);
    return found;
}

std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

// Records in the daemon's status segment which settings file the record's
// values now come from and which process loaded it, so that the daemon and
// `tavro status` can tell when another program (perhaps with another HOME)
// replaced the running values.
void RecordSettingsProvenance(CTavroCore* core, int source) {
    if (core->SharedData == nullptr) return;
    std::string error;
    tavro::DaemonStatus* status = tavro::AttachDaemonStatus(CTavroLinux::SharedMemoryKey, &error);
    if (status == nullptr) {
        CTavroLinux::LogMessage("Cannot record where the settings came from: %s", error.c_str());
        return;
    }
    tavro::StoreText(status->SettingsPath, tavro::LoadText(core->SharedData->IniFileName));
    tavro::StoreText(status->SettingsLoadedBy, program_invocation_short_name);
    tavro::StoreField(status->SettingsLoadedByPid, getpid());
    tavro::StoreField(status->SettingsFromDefaults, source);
    // The time last, after a fence: readers take a new time as "the
    // provenance changed" and then read the fields above.
    std::atomic_thread_fence(std::memory_order_release);
    tavro::PublishField(status->SettingsLoadedUnixNs, tavro::UnixNowNs());
    shmdt(status);
}

}  // namespace

CTavroLinux::CTavroLinux() {
    ProblemLog = &CTavroLinux::AddToMessageLog;
    KeysTaken = &TakeBoundKeys;
    SettingsLoaded = &RecordSettingsProvenance;
    XInitThreads();
    display = XOpenDisplay(nullptr);
    // Pointer and keys go to the X display until SelectOutput chooses.
    DesktopOutput = tavro::MakeDefaultOutput();
    std::snprintf(LogIdent, sizeof LogIdent, "%s", "Tavro");
    openlog(LogIdent, LOG_PID | LOG_CONS, LOG_LOCAL0);
    // Without a display the record, the settings and the receiver still work;
    // only pointer and key events are disabled.
    if (display == nullptr)
        AddToMessageLog("Unable to open the X display: pointer and key events are disabled");
}

CTavroLinux::~CTavroLinux() {
    // A run whose reader was held in a pass past its end goes first: its
    // threads are joined while everything they use is still here.
    ReapEndedRuns(true);
    // Nothing stays held once the devices and the display go.
    KeyRelay.reset();
    std::atomic_store(&Bindings, std::shared_ptr<tavro::KeyBindings>());
    tavro::ReleaseHeldInput(*this);
    std::atomic_store(&DesktopOutput, std::shared_ptr<tavro::Output>());
    // Only an attached segment is detached and removed: an object whose
    // start-up failed must not remove a segment that belongs to others.
    if (SharedData != nullptr) {
        if (shmdt(SharedData) != 0) {
            perror("child detach failed \n");
            syslog(LOG_ALERT, "%s", "child detach failed");
        }
        SharedData = nullptr;
        if (shmctl(SharedMemoryId, IPC_RMID, nullptr) != 0) {
            perror("remove of shared memory failed\n");
            syslog(LOG_ALERT, "%s", "remove of shared memory failed");
        }
    }
    if (display != nullptr) {
        XCloseDisplay(display);
        display = nullptr;
    }
    closelog();
}

int CTavroLinux::CreateSharedMemory() {
    int id = shmget(SharedMemoryKey, TAVRO_SHARED_MEMORY_SIZE, 0666);
    if (id < 0 && errno == ENOENT)
        id = shmget(SharedMemoryKey, TAVRO_SHARED_MEMORY_SIZE, 0666 | IPC_CREAT);
    // A larger stale segment passes the lookup; its layout is not ours either.
    // The reason and the fix go into the message and SharedMemoryProblem,
    // so that every program can say them in its own one line.
    const int lookupError = errno;
    const int key = static_cast<int>(SharedMemoryKey);
    SharedMemoryProblem[0] = '\0';
    shmid_ds status{};
    if (id >= 0 && (shmctl(id, IPC_STAT, &status) != 0 ||
                    status.shm_segsz != TAVRO_SHARED_MEMORY_SIZE)) {
        std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                      "an old segment with key %d of %zu bytes is in the way (the kit needs %zu); "
                      "remove it with: ipcrm -M %d",
                      key, static_cast<size_t>(status.shm_segsz),
                      static_cast<size_t>(TAVRO_SHARED_MEMORY_SIZE), key);
        id = -1;
    } else if (id < 0 && lookupError == EINVAL) {
        // shmget refuses an existing segment smaller than the size asked.
        // Another user's may not be looked at: the system's listing says its
        // size and owner, and only that user or root can remove it.
        const int stale = shmget(SharedMemoryKey, 0, 0);
        size_t size = 0;
        uid_t owner = 0;
        if (stale >= 0 && shmctl(stale, IPC_STAT, &status) == 0) {
            std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                          "an old segment with key %d of %zu bytes is in the way (the kit needs %zu); "
                          "remove it with: ipcrm -M %d",
                          key, static_cast<size_t>(status.shm_segsz),
                          static_cast<size_t>(TAVRO_SHARED_MEMORY_SIZE), key);
        } else if (SegmentListing(SharedMemoryKey, &size, &owner)) {
            std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                          "an old segment with key %d of %zu bytes, owned by user %s, is in the way "
                          "(the kit needs %zu); ask that user or root to remove it with: ipcrm -M %d",
                          key, size, UserName(owner).c_str(),
                          static_cast<size_t>(TAVRO_SHARED_MEMORY_SIZE), key);
        } else {
            std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                          "an old segment with key %d that this user may not read is in the way (the "
                          "kit needs %zu bytes); ask its owner or root to remove it with: ipcrm -M %d",
                          key, static_cast<size_t>(TAVRO_SHARED_MEMORY_SIZE), key);
        }
    } else if (id < 0 && (lookupError == EACCES || lookupError == EPERM)) {
        size_t size = 0;
        uid_t owner = 0;
        const std::string whose =
            SegmentListing(SharedMemoryKey, &size, &owner) ? "user " + UserName(owner) : "another user";
        std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                      "the segment with key %d belongs to %s and is not shared with you; run as that "
                      "user, or ask that user or root to remove it with: ipcrm -M %d",
                      key, whose.c_str(), key);
    } else if (id < 0) {
        std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                      "cannot create the segment with key %d: %s", key, strerror(lookupError));
    }
    if (id < 0) {
        LogMessage("Unable to create sharedmemory: %s", SharedMemoryProblem);
        return 2;
    }
    SharedMemoryId = id;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        std::snprintf(SharedMemoryProblem, sizeof SharedMemoryProblem,
                      "cannot attach the segment with key %d: %s", key, strerror(errno));
        LogMessage("Unable to create sharedmemory: %s", SharedMemoryProblem);
        return 2;
    }
    SharedData = static_cast<SharedDeviceState*>(address);
    return 0;
}

int CTavroLinux::GetSharedDataPath() {
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : "";
    }
    // A path that does not fit is left empty rather than cut short, so that
    // no settings file is ever written to a wrong place.
    if (!tavro::StoreText(SharedData->SettingsDirectory, std::string(home) + "/.QuorVel")) {
        tavro::StoreText(SharedData->SettingsDirectory, "");
        return 1;
    }
    return 0;
}

int CTavroLinux::TV_GetIniFileName() {
    const std::string directory = tavro::LoadText(SharedData->SettingsDirectory);
    if (directory.empty() || !tavro::StoreText(SharedData->IniFileName, directory + "/Tavro.xml")) {
        tavro::StoreText(SharedData->IniFileName, "");
        return 1;
    }
    return 0;
}

int CTavroLinux::CreateIniDirectory() {
    const std::string path = tavro::LoadText(SharedData->SettingsDirectory);
    const char* directory = path.c_str();
    if (DIR* existing = opendir(directory)) {
        closedir(existing);
        return 0;
    }
    // mkdir(2) directly: a home path with blanks or quotes must neither
    // break the path nor run anything.
    if (mkdir(directory, 0777) != 0 && errno != EEXIST) {
        // errno stays mkdir's, so that the caller can name the reason.
        const int reason = errno;
        LogMessage("Cannot create the settings directory %s - %s(%d).", directory, strerror(reason),
                   reason);
        errno = reason;
    }
    return 0;
}

bool CTavroLinux::FileExists() {
    FILE* file = std::fopen(tavro::LoadText(SharedData->IniFileName).c_str(), "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

int CTavroLinux::TV_GetAppPath(char* buffer) {
    if (buffer != nullptr) buffer[0] = '\0';
    return 0;
}

int CTavroLinux::OutputDebugString(char*) { return 0; }

int CTavroLinux::TV_Sleep(int microseconds) {
    if (microseconds <= 0) return 0;
    timespec wait{microseconds / 1000000, static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    return 0;
}

int CTavroLinux::AdditionalInitialization() { return 0; }

void CTavroLinux::AddToMessageLog(const char* text) {
    if (text == nullptr) return;
    // One entry is one line: inner line breaks become "; " (a blank after a
    // full stop), trailing ones and blanks go, an empty message is dropped.
    char line[1024];
    size_t n = 0;
    bool lineBreak = false;
    for (const char* p = text; *p != '\0' && n + 3 < sizeof line; ++p) {
        if (*p == '\n' || *p == '\r') {
            lineBreak = n > 0;
            continue;
        }
        if (lineBreak) {
            if (*p == ' ' || *p == '\t') continue;
            while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
            if (n > 0 && line[n - 1] != '.' && line[n - 1] != ';' && line[n - 1] != ':') line[n++] = ';';
            line[n++] = ' ';
            lineBreak = false;
        }
        line[n++] = *p;
    }
    while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
    line[n] = '\0';
    if (n == 0) return;
    syslog(LOG_INFO, "%s", line);
    if (MessageLogObserver != nullptr) MessageLogObserver(line);
}

void CTavroLinux::LogMessage(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    AddToMessageLog(text);
}
