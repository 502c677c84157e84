// The daemon's status segment and the one-daemon claim.
#include "DaemonStatus.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
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
    if (created || status->Magic != kDaemonStatusMagic) {
        std::memset(status, 0, sizeof *status);
        status->Version = kDaemonStatusVersion;
        __atomic_store_n(&status->Magic, kDaemonStatusMagic, __ATOMIC_RELEASE);
    }
    return status;
}

bool DaemonAlive(const DaemonStatus& status) {
    const int pid = __atomic_load_n(&status.DaemonPid, __ATOMIC_RELAXED);
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

// Who runs the holder, and what the caller can do about it: stop it when it
// is the caller's own (or the caller is root), otherwise ask its owner.
std::string HolderText(int pid) {
    struct stat process{};
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &process) != 0)
        return "another tavrod (process " + std::to_string(pid) + ") already runs the receiver; stop it first (kill " +
               std::to_string(pid) + ")";
    const std::string owner = UserName(process.st_uid);
    const std::string who = "another tavrod (user " + owner + ", process " + std::to_string(pid) + ")";
    if (process.st_uid == getuid() || getuid() == 0)
        return who + " already runs the receiver; stop it first (kill " + std::to_string(pid) + ")";
    return who + " already runs the receiver; only " + owner + " or root can stop it";
}

}  // namespace

std::string OtherUsersProcess(int pid) {
    struct stat process{};
    if (pid <= 0 || stat(("/proc/" + std::to_string(pid)).c_str(), &process) != 0 || process.st_uid == getuid())
        return "";
    return UserName(process.st_uid);
}

bool ClaimDaemonLock(int recordKey, int* holderPid, std::string* error) {
    if (holderPid != nullptr) *holderPid = 0;
    const key_t key = DaemonStatusKey(recordKey);
    // Only its owner may raise or lower the claim: another user could
    // otherwise block it, or lower it so that a second daemon starts.
    int id = semget(key, 1, 0644 | IPC_CREAT);
    semid_ds info{};
    semun_arg argument{&info};
    if (id >= 0 && semctl(id, 0, IPC_STAT, argument) == 0 && info.sem_perm.uid != getuid()) {
        if (error != nullptr)
            *error = "the daemon lock (semaphore key " + std::to_string(key) + ") belongs to user " +
                     UserName(info.sem_perm.uid) + ", not to you; " + UserName(info.sem_perm.uid) +
                     " or root can remove it with: ipcrm -S " + std::to_string(key);
        return false;
    }
    if (id < 0) {
        if (error != nullptr)
            *error = "cannot create the daemon lock (semaphore key " + std::to_string(key) +
                     "): " + std::strerror(errno);
        return false;
    }
    // The semaphore counts claims: 0 free, 1 held.  Waiting for zero and
    // raising it in one operation is atomic; SEM_UNDO lowers it again when
    // this process ends.
    sembuf claim[2] = {{0, 0, IPC_NOWAIT}, {0, 1, SEM_UNDO | IPC_NOWAIT}};
    if (semop(id, claim, 2) == 0) return true;
    const int why = errno;
    if (why == EAGAIN) {
        const int pid = semctl(id, 0, GETPID);
        if (holderPid != nullptr) *holderPid = pid > 0 ? pid : 0;
        if (error != nullptr)
            *error = pid > 0 ? HolderText(pid) : "another tavrod already runs the receiver; stop it first";
        return false;
    }
    if (error != nullptr)
        *error = "cannot take the daemon lock (semaphore key " + std::to_string(key) +
                 "): " + std::strerror(why);
    return false;
}

}  // namespace tavro
