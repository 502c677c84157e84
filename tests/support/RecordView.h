// The kit's record through an attachment of the test's own, as a client
// process sees it.  Clients exchange values with the device's threads
// through the segment without locks (a value, then its flag; replies that
// are simply copied); a test that plays the client while the device runs in
// its own process reads and writes through a second mapping of the same
// pages, at another address, so that it does what a client does and
// ThreadSanitizer checks the kit's threads rather than the test's polling.
#ifndef TAVRO_TEST_RECORD_VIEW_H
#define TAVRO_TEST_RECORD_VIEW_H

#include "SharedDeviceState.h"

#include <sys/types.h>

class CTavroLinux;

namespace tavro::test {

class RecordView {
public:
    // The segment an initialised kit object has attached.
    explicit RecordView(const CTavroLinux& kit);
    // The segment with this key (the kit's key by default).
    explicit RecordView(key_t key);
    RecordView();
    ~RecordView();
    RecordView(const RecordView&) = delete;
    RecordView& operator=(const RecordView&) = delete;

    bool attached() const { return record_ != nullptr; }
    SharedDeviceState* get() const { return record_; }
    SharedDeviceState& operator*() const { return *record_; }
    SharedDeviceState* operator->() const { return record_; }

private:
    void Attach(int id);
    SharedDeviceState* record_ = nullptr;
};

}  // namespace tavro::test

#endif
