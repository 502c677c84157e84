// The X11 output: warps and XQueryPointer for motion, XTest for buttons and
// keys, each under the Xlib display lock.
#include "X11Output.h"

#include "DisplayLock.h"
#include "TavroLinux.h"

#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace tavro {

namespace {

// The protocol carries pointer coordinates as signed 16-bit values; anything
// wider would wrap into an unrelated position on the way to the server.
int WireCoordinate(long long value) {
    if (value > SHRT_MAX) return SHRT_MAX;
    if (value < SHRT_MIN) return SHRT_MIN;
    return static_cast<int>(value);
}

unsigned ButtonNumber(PointerButton button) {
    switch (button) {
        case PointerButton::Left: return 1;
        case PointerButton::Middle: return 2;
        case PointerButton::Right: return 3;
    }
    return 1;
}

// Counts a press or a release of `code`; false for a release of something
// not held (sent anyway: the server ignores it, and callers may rely on a
// release always going out).
void Count(std::map<unsigned, int>& held, unsigned code, bool down) {
    if (down) {
        ++held[code];
    } else {
        auto it = held.find(code);
        if (it != held.end() && --it->second <= 0) held.erase(it);
    }
}

}  // namespace

void SleepMicroseconds(int microseconds) {
    if (microseconds <= 0) return;
    timespec wait{microseconds / 1000000, static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

bool X11Output::ScreenSize(int* width, int* height) {
    if (display == nullptr) return false;
    DisplayLock lock(display);
    Display* d = lock.get();
    const int screen = DefaultScreen(d);
    *width = XDisplayWidth(d, screen);
    *height = XDisplayHeight(d, screen);
    return true;
}

void X11Output::MoveAbsolute(int x, int y) {
    if (display == nullptr) return;
    DisplayLock lock(display);
    Display* d = lock.get();
    const Window root = RootWindow(d, DefaultScreen(d));
    // Through XCB: after every write XFlush also polls the connection for
    // events, which at sub-frame rates costs more than the warp itself.
    // XCB first takes over whatever requests Xlib still buffers (keys not yet
    // flushed), so everything reaches the server in the order it was made.
    xcb_connection_t* connection = XGetXCBConnection(d);
    xcb_warp_pointer(connection, XCB_NONE, static_cast<xcb_window_t>(root), 0, 0, 0, 0,
                     static_cast<int16_t>(WireCoordinate(x)), static_cast<int16_t>(WireCoordinate(y)));
    xcb_flush(connection);
}

void X11Output::MoveRelative(int dx, int dy) {
    if (display == nullptr) return;
    DisplayLock lock(display);
    Display* d = lock.get();
    const Window root = RootWindow(d, DefaultScreen(d));
    Window rootReturn = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, root, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask);
    XWarpPointer(d, None, root, 0, 0, 0, 0,
                 WireCoordinate(static_cast<long long>(rx) + dx),
                 WireCoordinate(static_cast<long long>(ry) + dy));
    // Sent now, not whenever the next request happens to flush the buffer:
    // the last move of a pass would otherwise wait for the next packet.
    XFlush(d);
}

bool X11Output::CursorPosition(int* x, int* y) {
    if (display == nullptr) return false;
    Window rootReturn = 0, child = 0;
    int px = 0, py = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    {
        DisplayLock lock(display);
        Display* d = lock.get();
        XQueryPointer(d, RootWindow(d, DefaultScreen(d)), &rootReturn, &child, &px, &py, &wx, &wy, &mask);
    }
    *x = px;
    *y = py;
    return true;
}

void X11Output::Button(PointerButton button, bool down) {
    if (display == nullptr) return;
    const unsigned number = ButtonNumber(button);
    {
        std::lock_guard<std::mutex> hold(heldLock_);
        Count(heldButtons_, number, down);
    }
    DisplayLock lock(display);
    XTestFakeButtonEvent(lock.get(), number, down ? True : False, 0);
    XFlush(lock.get());
}

bool X11Output::Scroll(int dx, int dy) {
    if (display == nullptr) return false;
    DisplayLock lock(display);
    Display* d = lock.get();
    // Vertical detents first, then horizontal ones: each is a press and a
    // release, which clients take as one wheel step.
    const auto clicks = [&](int count, unsigned negative, unsigned positive) {
        const unsigned button = count < 0 ? negative : positive;
        for (long long i = std::min(std::llabs(count), static_cast<long long>(kMaxScrollDetents)); i > 0; --i) {
            XTestFakeButtonEvent(d, button, True, 0);
            XTestFakeButtonEvent(d, button, False, 0);
        }
    };
    clicks(dy, 4, 5);
    clicks(dx, 6, 7);
    XFlush(d);
    return true;
}

bool X11Output::Key(unsigned long keysym, bool down) {
    if (display == nullptr) return false;
    DisplayLock lock(display);
    // A key symbol the keyboard map lacks has no key code: send nothing
    // rather than events for key code 0, which the server answers with an
    // error that ends the process.
    const KeyCode code = XKeysymToKeycode(lock.get(), static_cast<KeySym>(keysym));
    if (code != 0) {
        {
            std::lock_guard<std::mutex> hold(heldLock_);
            Count(heldKeys_, code, down);
        }
        XTestFakeKeyEvent(lock.get(), code, down ? True : False, 0);
    }
    return code != 0;
}

void X11Output::Pause(int microseconds) { SleepMicroseconds(microseconds); }

void X11Output::Flush() {
    if (display == nullptr) return;
    DisplayLock lock(display);
    XFlush(lock.get());
}

void X11Output::ReleaseAll() {
    std::map<unsigned, int> buttons, keys;
    {
        std::lock_guard<std::mutex> hold(heldLock_);
        buttons.swap(heldButtons_);
        keys.swap(heldKeys_);
    }
    if (display == nullptr || (buttons.empty() && keys.empty())) return;
    DisplayLock lock(display);
    Display* d = lock.get();
    for (const auto& [code, count] : keys) XTestFakeKeyEvent(d, code, False, 0);
    for (const auto& [number, count] : buttons) XTestFakeButtonEvent(d, number, False, 0);
    XFlush(d);
}

}  // namespace tavro
