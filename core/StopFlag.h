// The record's stop flag.  A stop comes at any moment from another thread (a
// signal handler, the API, the daemon's loop) or another process while the
// device's threads poll it, so every access is atomic.
#ifndef TAVRO_STOP_FLAG_H
#define TAVRO_STOP_FLAG_H

#include "SharedDeviceState.h"

namespace tavro {

inline bool StopRequested(const SharedDeviceState* record) {
    return __atomic_load_n(&record->StopRequest, __ATOMIC_RELAXED) != 0;
}

inline void SetStopRequest(SharedDeviceState* record, bool stop) {
    __atomic_store_n(&record->StopRequest, static_cast<uint8_t>(stop ? 1 : 0), __ATOMIC_RELAXED);
}

}  // namespace tavro

#endif
