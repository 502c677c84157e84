// Tells every process whether a device runs on a record: a System V
// semaphore keyed two above the record's key, raised by the process whose
// device threads run and lowered when they end.  It is taken with SEM_UNDO,
// so a run that ends in any way, SIGKILL included, lowers it too.
//
// A process that attaches the record looks at it to decide whether the
// record's live values (positions, buttons, requests, pointing mode) belong
// to a running device and must be left as they are.
#ifndef TAVRO_DEVICE_RUN_MARKER_H
#define TAVRO_DEVICE_RUN_MARKER_H

#include <sys/types.h>

namespace tavro {

// The semaphore's key for a record key.
key_t DeviceRunMarkerKey(key_t recordKey);

// Raised for the object's life.  When the semaphore cannot be had (IPC
// limits), nothing is marked and other processes treat the record as idle,
// as they did before the marker existed.
class DeviceRunMarker {
public:
    explicit DeviceRunMarker(key_t recordKey);
    ~DeviceRunMarker();
    DeviceRunMarker(const DeviceRunMarker&) = delete;
    DeviceRunMarker& operator=(const DeviceRunMarker&) = delete;

private:
    int id_ = -1;
};

// Whether some process's device runs on the record of `recordKey` now.
bool DeviceRunsOn(key_t recordKey);

}  // namespace tavro

#endif
