#include "RecordView.h"

#include "TavroLinux.h"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace tavro::test {

RecordView::RecordView(const CTavroLinux& kit) { Attach(kit.SharedMemoryId); }

RecordView::RecordView(key_t key) { Attach(shmget(key, 0, 0)); }

RecordView::RecordView() : RecordView(CTavroLinux::SharedMemoryKey) {}

RecordView::~RecordView() {
    if (record_ != nullptr) shmdt(record_);
}

void RecordView::Attach(int id) {
    if (id < 0) return;
    void* address = shmat(id, nullptr, 0);
    if (address != reinterpret_cast<void*>(-1)) record_ = static_cast<SharedDeviceState*>(address);
}

}  // namespace tavro::test
