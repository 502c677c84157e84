// The daemon's status segment and the one-daemon claim.
#include "DaemonStatus.h"

#include "RecordAccess.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tavro {

int DaemonStatusKey(int recordKey) { return recordKey + 1; }

int64_t UnixNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

DaemonStatus* AttachDaemonStatus(int recordKey, std::string* error) {
    const key_t key = DaemonStatusKey(recordKey);
    bool created = false;
    // Looked up without a size first: asking for one that does not match an
    // existing segment fails with EINVAL, which names no fix.
    int id = shmget(key, 0, 0);
    if (id < 0 && errno == ENOENT) {
        id = shmget(key, sizeof(DaemonStatus), 0666 | IPC_CREAT | IPC_EXCL);
        created = id >= 0;
        if (id < 0 && errno == EEXIST) id = shmget(key, 0, 0);
    }
    shmid_ds info{};
    if (id >= 0 && (shmctl(id, IPC_STAT, &info) != 0 || info.shm_segsz != sizeof(DaemonStatus))) {
        if (error != nullptr)
            *error = "the daemon status segment (key " + std::to_string(key) +
                     ") has the wrong size; remove it with: ipcrm -M " + std::to_string(key);
        return nullptr;
    }
    if (id < 0) {
        if (error != nullptr)
            *error = "cannot open the daemon status segment (key " + std::to_string(key) +
                     "): " + std::strerror(errno);
        return nullptr;
    }
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        if (error != nullptr)
            *error = "cannot attach the daemon status segment (key " + std::to_string(key) +
                     "): " + std::strerror(errno);
        return nullptr;
    }
    auto* status = static_cast<DaemonStatus*>(address);
    if (created || LoadPublished(status->Magic) != kDaemonStatusMagic) {
        FillBytes(status, 0, sizeof *status);
        StoreField(status->Version, kDaemonStatusVersion);
        PublishField(status->Magic, kDaemonStatusMagic);
    }
    return status;
}

bool DaemonAlive(const DaemonStatus& status) {
    const int pid = LoadField(status.DaemonPid);
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

namespace {

// semctl's fourth argument, which the program must declare itself.
union semun_arg {
    semid_ds* buf;
};

std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

// Who runs the holder, and how the caller can end it.
std::string HolderText(int pid) {
    std::string who = "another tavrod (";
    struct stat process{};
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &process) == 0)
        who += "user " + UserName(process.st_uid) + ", ";
    return who + "process " + std::to_string(pid) + ") already runs the receiver; " + StopAdvice(pid);
}

}  // namespace

std::string StopAdvice(int pid) {
    const std::string owner = OtherUsersProcess(pid);
    if (owner.empty() || getuid() == 0) return "stop it first (kill " + std::to_string(pid) + ")";
    return "only " + owner + " or root can stop it";
}

std::string OtherUsersProcess(int pid) {
    struct stat process{};
    if (pid <= 0 || stat(("/proc/" + std::to_string(pid)).c_str(), &process) != 0 || process.st_uid == getuid())
        return "";
    return UserName(process.st_uid);
}

namespace {

// The kernel's number of the first IPC namespace, the one of a machine
// without containers.
constexpr unsigned long long kInitialIpcNamespace = 0xEFFFFFFFull;

// A record is known by its key and by the IPC namespace it lives in: a
// daemon in a container, or a test's private namespace, serves another
// record and takes another claim.
std::string ClaimFileName(int recordKey, const std::string& user) {
    std::string name = "tavrod" + user;
    if (recordKey != 1103) name += "-key" + std::to_string(recordKey);
    struct stat ns{};
    if (stat("/proc/self/ns/ipc", &ns) == 0 && ns.st_ino != kInitialIpcNamespace)
        name += "-ipc" + std::to_string(static_cast<unsigned long long>(ns.st_ino));
    return name + ".lock";
}

bool OwnRuntimeDirectory(const char* path) {
    struct stat directory{};
    return path != nullptr && path[0] == '/' && stat(path, &directory) == 0 && S_ISDIR(directory.st_mode) &&
           directory.st_uid == getuid() && (directory.st_mode & 077) == 0;
}

// Only this user can enter the runtime directory ($XDG_RUNTIME_DIR, or the
// one systemd makes for the user when a session did not export it).  /tmp,
// where there is none, is shared, so the file there carries the user's id
// and is checked for its owner.
std::string ClaimFilePath(int recordKey) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (OwnRuntimeDirectory(runtime)) return std::string(runtime) + "/" + ClaimFileName(recordKey, "");
    const std::string sessions = "/run/user/" + std::to_string(getuid());
    if (OwnRuntimeDirectory(sessions.c_str())) return sessions + "/" + ClaimFileName(recordKey, "");
    return "/tmp/" + ClaimFileName(recordKey, "-" + std::to_string(getuid()));
}

int g_claimFd = -1;
char g_claimPath[4096];

// Removed while still locked, so that a daemon starting meanwhile either
// finds it locked or, once it has it locked, sees that the name now leads to
// another file and tries again.
void RemoveClaimFile() {
    struct stat named{}, held{};
    if (g_claimFd >= 0 && stat(g_claimPath, &named) == 0 && fstat(g_claimFd, &held) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino)
        unlink(g_claimPath);
}

int PidInClaimFile(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? std::atoi(text) : 0;
}

bool IsTavrod(int pid) {
    char comm[64] = {};
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    if (file == nullptr) return false;
    const bool read = std::fgets(comm, sizeof comm, file) != nullptr;
    std::fclose(file);
    return read && std::strcmp(comm, "tavrod\n") == 0;
}

// The per-user claim: an exclusive flock on a file only this user may open.
// The kernel lets go of it however the process ends.
bool TakeClaimFile(int recordKey, int* holderPid, std::string* error) {
    const std::string path = ClaimFilePath(recordKey);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        const int why = errno;
        struct stat info{};
        if (fd >= 0 && fstat(fd, &info) == 0 && info.st_uid == getuid() && S_ISREG(info.st_mode)) {
            // Ours: on to the lock.
        } else {
            if (fd >= 0) close(fd);
            struct stat existing{};
            if (lstat(path.c_str(), &existing) == 0 && existing.st_uid != getuid()) {
                // In /tmp another user's file cannot be removed but by them.
                *error = "the daemon lock file " + path + " belongs to user " + UserName(existing.st_uid) +
                         ", not to you; set XDG_RUNTIME_DIR to your own runtime directory (a login "
                         "session does), or ask " + UserName(existing.st_uid) + " or root to remove it";
            } else if (fd >= 0) {
                *error = "the daemon lock file " + path + " is not a regular file; remove it";
            } else {
                *error = "cannot open the daemon lock file " + path + ": " + std::strerror(why) +
                         (why == ELOOP ? " (it is a symbolic link; remove it)" : "");
            }
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int why = errno;
            const int pid = why == EWOULDBLOCK ? PidInClaimFile(fd) : 0;
            close(fd);
            if (why != EWOULDBLOCK) {
                *error = "cannot lock the daemon lock file " + path + ": " + std::strerror(why);
                return false;
            }
            *holderPid = pid;
            *error = pid > 0 ? HolderText(pid)
                             : "another tavrod of yours already runs (it holds " + path + "); stop it first";
            return false;
        }
        struct stat named{};
        if (stat(path.c_str(), &named) != 0 || named.st_dev != info.st_dev || named.st_ino != info.st_ino) {
            close(fd);  // its daemon ended and removed it meanwhile
            continue;
        }
        const std::string pid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
            // Still held; only the process id shown to a refused daemon is missing.
        }
        g_claimFd = fd;
        std::snprintf(g_claimPath, sizeof g_claimPath, "%s", path.c_str());
        std::atexit(RemoveClaimFile);
        return true;
    }
    *error = "cannot take the daemon lock file " + path + ": it keeps being replaced";
    return false;
}

// The status segment names the daemon of the record; another user's that
// still runs keeps this one off the record, which both would otherwise
// drive.  A process id written there counts only while it is a live tavrod.
int RecordedDaemon(int recordKey) {
    DaemonStatus* status = AttachDaemonStatus(recordKey, nullptr);
    if (status == nullptr) return 0;
    const int pid = LoadPublished(status->DaemonPid);
    shmdt(status);
    return pid > 0 && pid != getpid() && (kill(pid, 0) == 0 || errno == EPERM) && IsTavrod(pid) ? pid : 0;
}

// Raised for programs that look for a daemon through the semaphore when
// the status segment cannot be had.  Only a sign: another user may own or
// hold it, and then it is left alone.
void RaiseClaimSemaphore(int recordKey) {
    const int id = semget(DaemonStatusKey(recordKey), 1, 0644 | IPC_CREAT);
    semid_ds info{};
    semun_arg argument{&info};
    if (id < 0 || semctl(id, 0, IPC_STAT, argument) != 0 || info.sem_perm.uid != getuid()) return;
    sembuf raise[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO | IPC_NOWAIT}};
    semop(id, raise, 2);
}

}  // namespace

bool ClaimDaemonLock(int recordKey, int* holderPid, std::string* error) {
    int holder = 0;
    std::string why;
    bool claimed = TakeClaimFile(recordKey, &holder, &why);
    if (claimed && (holder = RecordedDaemon(recordKey)) > 0) {
        why = HolderText(holder);
        RemoveClaimFile();
        close(g_claimFd);
        g_claimFd = -1;
        claimed = false;
    }
    if (claimed) RaiseClaimSemaphore(recordKey);
    if (holderPid != nullptr) *holderPid = holder;
    if (error != nullptr) *error = why;
    return claimed;
}

}  // namespace tavro
