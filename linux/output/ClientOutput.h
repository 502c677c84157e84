// The output of a process that does not run the device (a client of the
// API): the X11 output for the pointer, and for keys the route that reaches
// the desktop the user sits at.
#ifndef TAVRO_CLIENT_OUTPUT_H
#define TAVRO_CLIENT_OUTPUT_H

#include "KeyRelay.h"
#include "Output.h"

#include <memory>
#include <mutex>

namespace tavro {

class UinputOutput;

// Keys go, in this order of preference:
//  1. to the device daemon's virtual keyboard through the key relay, when a
//     daemon that uses the uinput output serves this user and record;
//  2. in a Wayland session without such a daemon, to a virtual keyboard of
//     this process, made on the first key (whose first key waits until the
//     desktop has opened it), when /dev/uinput can be opened;
//  3. otherwise to the X display, as the X11 output does.
class ClientOutput : public Output {
public:
    explicit ClientOutput(std::shared_ptr<Output> x11);
    ~ClientOutput() override;

    const char* Name() const override { return "client"; }
    bool ScreenSize(int* width, int* height) override { return x11_->ScreenSize(width, height); }
    void MoveAbsolute(int x, int y) override { x11_->MoveAbsolute(x, y); }
    void MoveRelative(int dx, int dy) override { x11_->MoveRelative(dx, dy); }
    bool CursorPosition(int* x, int* y) override { return x11_->CursorPosition(x, y); }
    void Button(PointerButton button, bool down) override { x11_->Button(button, down); }
    // The wheel goes where the pointer's buttons go (a program that runs
    // the device without choosing an output scrolls with its bindings).
    bool Scroll(int dx, int dy) override { return x11_->Scroll(dx, dy); }
    bool Key(unsigned long keysym, bool down) override;
    void Pause(int microseconds) override { x11_->Pause(microseconds); }
    void Flush() override { x11_->Flush(); }
    void ReleaseAll() override;

private:
    Output* OwnKeyboard();
    std::shared_ptr<Output> x11_;
    KeyRelayClient relay_;
    std::mutex lock_;
    std::unique_ptr<UinputOutput> keyboard_;
    bool keyboardTried_ = false;
};

// True in a Wayland session: WAYLAND_DISPLAY set, or XDG_SESSION_TYPE
// "wayland".  *why (when given) names the variable that says so.
bool WaylandSession(std::string* why = nullptr);

}  // namespace tavro

#endif  // TAVRO_CLIENT_OUTPUT_H
