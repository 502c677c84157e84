// Pointer, buttons and keys through the process's X display connection:
// pointer warps and queries, and synthetic events of the X Test extension.
#ifndef TAVRO_X11_OUTPUT_H
#define TAVRO_X11_OUTPUT_H

#include "Output.h"

#include <map>
#include <mutex>

namespace tavro {

// Works on the platform library's global connection `display` at the time of
// each call, so that it follows the connection the platform object opened
// and does nothing once it is gone.  Every X call is made under the Xlib
// display lock.
class X11Output : public Output {
public:
    const char* Name() const override { return "x11"; }
    bool ScreenSize(int* width, int* height) override;
    void MoveAbsolute(int x, int y) override;
    void MoveRelative(int dx, int dy) override;
    bool CursorPosition(int* x, int* y) override;
    void Button(PointerButton button, bool down) override;
    // X's wheel buttons: 4 up, 5 down, 6 left, 7 right, one click each.
    bool Scroll(int dx, int dy) override;
    bool Key(unsigned long keysym, bool down) override;
    void Pause(int microseconds) override;
    void Flush() override;
    void ReleaseAll() override;

private:
    // What this output holds down, so that ReleaseAll can let go of it:
    // button number or key code, and how many presses are outstanding.
    std::mutex heldLock_;
    std::map<unsigned, int> heldButtons_;
    std::map<unsigned, int> heldKeys_;
};

// Sleeps the calling thread, resuming after signals.
void SleepMicroseconds(int microseconds);

}  // namespace tavro

#endif  // TAVRO_X11_OUTPUT_H
