// Where the kit's pointer motion, pointer buttons and keys go.  The platform
// object holds one Output and calls only these operations; each desktop
// route (X11 through XTest and pointer warps, the kernel's uinput for
// Wayland, X.Org and the console alike) is one implementation beside the
// others in this folder.
//
// Every operation is safe to call from any thread; an implementation that
// has nothing to drive (no display, no device) does nothing and says so
// through its return value.
#ifndef TAVRO_OUTPUT_H
#define TAVRO_OUTPUT_H

#include <memory>
#include <string>

namespace tavro {

enum class PointerButton { Left, Middle, Right };

// Scroll sends at most this many detents per axis and call (a larger count
// is cut to it), so that a wild count cannot hold an output for minutes.
constexpr int kMaxScrollDetents = 1000;

class Output {
public:
    virtual ~Output() = default;

    // Short name for messages: "x11", "uinput", ...
    virtual const char* Name() const = 0;

    // The desktop's size in pixels.  False when this output does not know
    // it; the platform then falls back to its other sources.
    virtual bool ScreenSize(int* width, int* height) = 0;

    // Pointer motion.  Absolute positions are in desktop pixels; relative
    // moves are from where the pointer is now, wherever the user's own mouse
    // or another program put it.
    virtual void MoveAbsolute(int x, int y) = 0;
    virtual void MoveRelative(int dx, int dy) = 0;
    // Where the pointer is, asked of the desktop.  False when the desktop
    // does not tell (callers that need it then move to absolute positions).
    virtual bool CursorPosition(int* x, int* y) = 0;

    // A pointer button pressed (down) or released.  Buttons come from the
    // same device as the latest motion.
    virtual void Button(PointerButton button, bool down) = 0;

    // Scrolls by whole wheel detents: dy > 0 scrolls down, dy < 0 up; dx > 0
    // scrolls right, dx < 0 left.  False when this output cannot scroll.
    virtual bool Scroll(int dx, int dy) = 0;

    // A key given by its X key symbol (XK_...), pressed or released, with the
    // modifiers the symbol needs on the user's keymap.  False, sending
    // nothing, when the keymap cannot type the symbol.
    virtual bool Key(unsigned long keysym, bool down) = 0;

    // The wait between key events that lets clients see them apart.  Direct
    // outputs sleep here; a queued output keeps the wait in its queue so the
    // caller does not block.
    virtual void Pause(int microseconds) = 0;

    // Sends whatever is buffered now.
    virtual void Flush() = 0;

    // Releases every button and key this output holds down (on stop, and
    // before its devices go).
    virtual void ReleaseAll() = 0;
};

}  // namespace tavro

#endif  // TAVRO_OUTPUT_H
