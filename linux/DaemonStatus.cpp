// The daemon's status segment and the one-daemon claim.
#include "DaemonStatus.h"

#include <signal.h>
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

bool ClaimDaemonLock(int recordKey, int* holderPid, std::string* error) {
    if (holderPid != nullptr) *holderPid = 0;
    const key_t key = DaemonStatusKey(recordKey);
    int id = semget(key, 1, 0666 | IPC_CREAT);
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
            *error = pid > 0 ? "another tavrod (process " + std::to_string(pid) +
                                   ") already runs the receiver; stop it first (kill " +
                                   std::to_string(pid) + ")"
                             : "another tavrod already runs the receiver; stop it first";
        return false;
    }
    if (error != nullptr)
        *error = "cannot take the daemon lock (semaphore key " + std::to_string(key) +
                 "): " + std::strerror(why);
    return false;
}

}  // namespace tavro
