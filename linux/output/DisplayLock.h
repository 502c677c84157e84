// The process's one X display connection is used by several threads (the
// passes that move the pointer, the output thread, key injection, the
// daemon's loop).  Xlib, made thread-safe at start-up, locks around each
// call, but a sequence (query then warp, press then flush) must hold the
// display throughout, so every sequence the kit sends runs under a
// DisplayLock and takes the display from it.
//
// ThreadSanitizer sees Xlib's lock, a pthread mutex, but not the memory of
// libX11, which is not instrumented: a sequence that skipped the lock would
// go unreported.  So each use of the display also writes a variable of the
// kit's own: under the lock (DisplayLock::get) or without it
// (UnlockedDisplay, for calls made while one thread runs).  Two threads that
// use the display without the lock race on that variable, and the sanitizer
// reports them in the kit's frames.
#ifndef TAVRO_DISPLAY_LOCK_H
#define TAVRO_DISPLAY_LOCK_H

struct _XDisplay;
typedef struct _XDisplay Display;

namespace tavro {

class DisplayLock {
public:
    // Takes the display's lock; `display` may be null (nothing is locked).
    explicit DisplayLock(Display* display);
    ~DisplayLock();
    DisplayLock(const DisplayLock&) = delete;
    DisplayLock& operator=(const DisplayLock&) = delete;

    // The display, for the calls of this sequence.
    Display* get() const;

private:
    Display* display_;
};

// The display for a call made without the lock, where no other thread uses
// the display (start-up, before the device's threads run).
Display* UnlockedDisplay(Display* display);

}  // namespace tavro

#endif
