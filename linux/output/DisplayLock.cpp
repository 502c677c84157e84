#include "DisplayLock.h"

#include <X11/Xlib.h>

namespace tavro {

namespace {

// Written by every use of the display (see the header): a plain variable on
// purpose, so that uses that are not ordered by the display's lock are a
// data race the sanitizer can see.
unsigned long g_displayUses = 0;

[[gnu::noinline]] Display* NoteUse(Display* display) {
    ++g_displayUses;
    return display;
}

}  // namespace

DisplayLock::DisplayLock(Display* display) : display_(display) {
    if (display_ != nullptr) XLockDisplay(display_);
}

DisplayLock::~DisplayLock() {
    if (display_ != nullptr) XUnlockDisplay(display_);
}

Display* DisplayLock::get() const { return NoteUse(display_); }

Display* UnlockedDisplay(Display* display) { return NoteUse(display); }

}  // namespace tavro
