// The platform object's life, the shared segment, the settings paths, the
// system log, the debug-line sink and the sleep primitive.
#include "TavroLinux.h"

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

Display* display = nullptr;

key_t CTavroLinux::SharedMemoryKey = TAVRO_SHARED_MEMORY_KEY;
void (*CTavroLinux::MessageLogObserver)(const char*) = nullptr;

CTavroLinux::CTavroLinux() {
    DeviceFd = 0;
    ProblemLog = &CTavroLinux::AddToMessageLog;
    XInitThreads();
    display = XOpenDisplay(nullptr);
    std::snprintf(LogIdent, sizeof LogIdent, "%s", "Tavro");
    openlog(LogIdent, LOG_PID | LOG_CONS, LOG_LOCAL0);
    // Without a display the record, the settings and the receiver still work;
    // only pointer and key events are disabled.
    if (display == nullptr)
        AddToMessageLog("Unable to open the X display: pointer and key events are disabled");
}

CTavroLinux::~CTavroLinux() {
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
    shmid_ds status{};
    if (id >= 0 && (shmctl(id, IPC_STAT, &status) != 0 ||
                    status.shm_segsz != TAVRO_SHARED_MEMORY_SIZE))
        id = -1;
    if (id < 0) {
        AddToMessageLog("Unable to create sharedmemory");
        return 2;
    }
    SharedMemoryId = id;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        AddToMessageLog("Unable to create sharedmemory");
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
    char* directory = SharedData->SettingsDirectory;
    int length = std::snprintf(directory, sizeof SharedData->SettingsDirectory, "%s/.QuorVel", home);
    // A path that does not fit is left empty rather than cut short, so that
    // no settings file is ever written to a wrong place.
    if (length < 0 || length >= static_cast<int>(sizeof SharedData->SettingsDirectory)) {
        directory[0] = '\0';
        return 1;
    }
    return 0;
}

int CTavroLinux::TV_GetIniFileName() {
    const char* directory = SharedData->SettingsDirectory;
    char* file = SharedData->IniFileName;
    if (directory[0] == '\0') {
        file[0] = '\0';
        return 1;
    }
    char path[sizeof SharedData->IniFileName];
    int length = std::snprintf(path, sizeof path, "%s/Tavro.xml", directory);
    if (length < 0 || length >= static_cast<int>(sizeof path)) {
        file[0] = '\0';
        return 1;
    }
    std::memcpy(file, path, static_cast<size_t>(length) + 1);
    return 0;
}

int CTavroLinux::CreateIniDirectory() {
    const char* directory = SharedData->SettingsDirectory;
    if (DIR* existing = opendir(directory)) {
        closedir(existing);
        return 0;
    }
    // mkdir(2) directly: a home path with blanks or quotes must neither
    // break the path nor run anything.
    if (mkdir(directory, 0777) != 0 && errno != EEXIST)
        LogMessage("Cannot create the settings directory %s - %s(%d).", directory,
                   strerror(errno), errno);
    return 0;
}

bool CTavroLinux::FileExists() {
    FILE* file = std::fopen(SharedData->IniFileName, "r");
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
    syslog(LOG_INFO, "%s", text);
    if (MessageLogObserver != nullptr) MessageLogObserver(text);
}

void CTavroLinux::LogMessage(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    AddToMessageLog(text);
}
