// The "a device runs on this record" semaphore.
#include "DeviceRunMarker.h"

#include <sys/ipc.h>
#include <sys/sem.h>

namespace tavro {

key_t DeviceRunMarkerKey(key_t recordKey) { return recordKey + 2; }

DeviceRunMarker::DeviceRunMarker(key_t recordKey) {
    // Mode 0666 like the record itself: every user's clients read it.  A
    // count rather than a flag, so that two runs (a test's two kits) each
    // lower only their own share.
    id_ = semget(DeviceRunMarkerKey(recordKey), 1, 0666 | IPC_CREAT);
    if (id_ < 0) return;
    sembuf raise{0, 1, SEM_UNDO};
    if (semop(id_, &raise, 1) != 0) id_ = -1;
}

DeviceRunMarker::~DeviceRunMarker() {
    if (id_ < 0) return;
    sembuf lower{0, -1, SEM_UNDO | IPC_NOWAIT};
    semop(id_, &lower, 1);
}

bool DeviceRunsOn(key_t recordKey) {
    const int id = semget(DeviceRunMarkerKey(recordKey), 1, 0);
    return id >= 0 && semctl(id, 0, GETVAL) > 0;
}

}  // namespace tavro
