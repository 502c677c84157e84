// Keys of client processes: the daemon's keyboard, a keyboard of their own
// in a Wayland session, or the X display (see ClientOutput.h).
#include "ClientOutput.h"

#include "TavroLinux.h"
#include "UinputOutput.h"

#include <cstdlib>
#include <cstring>

namespace tavro {

bool WaylandSession(std::string* why) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && wayland[0] != '\0') {
        if (why) *why = std::string("WAYLAND_DISPLAY is ") + wayland;
        return true;
    }
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type != nullptr && std::strcmp(type, "wayland") == 0) {
        if (why) *why = "XDG_SESSION_TYPE is wayland";
        return true;
    }
    return false;
}

ClientOutput::ClientOutput(std::shared_ptr<Output> x11) : x11_(std::move(x11)) {}

ClientOutput::~ClientOutput() = default;

Output* ClientOutput::OwnKeyboard() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!keyboardTried_ && WaylandSession()) {
        keyboardTried_ = true;
        std::string error;
        keyboard_ = UinputOutput::Create(1, 1, false, &error);
        if (!keyboard_)
            CTavroLinux::LogMessage("Keys of this program reach only X11 programs: %s", error.c_str());
    }
    return keyboard_.get();
}

bool ClientOutput::Key(unsigned long keysym, bool down) {
    bool typed = false;
    if (relay_.Send(keysym, down, &typed)) return typed;
    if (Output* keyboard = OwnKeyboard()) return keyboard->Key(keysym, down);
    return x11_->Key(keysym, down);
}

void ClientOutput::ReleaseAll() {
    relay_.Close();  // the daemon releases what this process held
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (keyboard_) keyboard_->ReleaseAll();
    }
    x11_->ReleaseAll();
}

}  // namespace tavro
