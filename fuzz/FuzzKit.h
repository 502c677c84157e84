// The real Linux platform object for fuzz targets, with three differences
// that make one run over one input deterministic and self-contained: the
// record is a guarded buffer of the process (never the machine's segment),
// no settings file is read or written, and sub-frame waits take no time.
// Without a DISPLAY the pointer and key operations run their no-display
// paths, where the screen is the record's calibration screen.  The targets
// drive the reader loop themselves, without StartDevice, so no calculation
// worker runs and the platform computes each accepted packet's pass at once
// on the calling thread (CreateDataPacketThread): deterministic, in order.
#ifndef TAVRO_FUZZ_KIT_H
#define TAVRO_FUZZ_KIT_H

#include "GuardedRecord.h"
#include "TavroLinux.h"
#include "output/X11Output.h"

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace tavro::fuzz {

class FuzzKit : public CTavroLinux {
public:
    // A fresh object per input, so that no state of an earlier input (button
    // registers, filters) carries over; the record is the guarded one, set as
    // after a start-up without a settings file.
    explicit FuzzKit(GuardedRecord& record) : guarded_(record) {
        // Where the settings came from is recorded in another segment; a
        // fuzz run has none.
        SettingsLoaded = nullptr;
        // No desktop and no daemon: keys take the X11 output's no-display
        // path directly rather than trying the key relay's socket first,
        // which would cost a socket and a connect on every key event.
        DesktopOutput = std::make_shared<tavro::X11Output>();
        guarded_.Clear();
        Initialize();
        SharedData->ActivateCursor = 1;
    }
    // The record is not a segment: nothing to detach.
    ~FuzzKit() override { SharedData = nullptr; }

    int CreateSharedMemory() override {
        SharedData = guarded_.record();
        return 0;
    }
    int TV_GetIniFileName() override {
        SharedData->IniFileName[0] = '\0';
        return 1;  // no settings file: the defaults
    }
    int TV_Sleep(int) override { return 0; }
    void CheckIntact() const { guarded_.CheckIntact(); }

private:
    GuardedRecord& guarded_;
};

// A fresh kit object of type Kit, built in the same static storage for every
// input: a heap allocation per input would cost fresh pages each time under
// AddressSanitizer's quarantine.  Destroyed when the holder goes.
template <typename Kit>
class FreshKit {
public:
    explicit FreshKit(GuardedRecord& record) : kit_(new (Storage()) Kit(record)) {}
    ~FreshKit() { kit_->~Kit(); }
    FreshKit(const FreshKit&) = delete;
    FreshKit& operator=(const FreshKit&) = delete;
    Kit* operator->() const { return kit_; }
    Kit& operator*() const { return *kit_; }

private:
    static void* Storage() {
        alignas(Kit) static unsigned char storage[sizeof(Kit)];
        return storage;
    }
    Kit* kit_;
};

// Keeps a fuzz run away from the desktop and from the machine's segments:
// no X display, and a private IPC namespace when one can be had.
inline void IsolateFuzzProcess() {
    unsetenv("DISPLAY");
    if (unshare(CLONE_NEWIPC) != 0) unshare(CLONE_NEWUSER | CLONE_NEWIPC);
}

}  // namespace tavro::fuzz

#endif
