#include "ActiveWindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace tavro {

std::unique_ptr<ActiveWindowWatch> ActiveWindowWatch::Open(const char* displayName) {
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) return nullptr;
    return std::unique_ptr<ActiveWindowWatch>(new ActiveWindowWatch(display));
}

ActiveWindowWatch::ActiveWindowWatch(Display* display)
    : display_(display), root_(DefaultRootWindow(display)),
      active_(XInternAtom(display, "_NET_ACTIVE_WINDOW", False)) {
    XSelectInput(display_, root_, PropertyChangeMask);
    XFlush(display_);
}

ActiveWindowWatch::~ActiveWindowWatch() { XCloseDisplay(display_); }

int ActiveWindowWatch::Descriptor() const { return ConnectionNumber(display_); }

bool ActiveWindowWatch::Changed(std::vector<std::string>* classes) {
    bool changedAny = false;
    for (;;) {
        bool changed = false;
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == PropertyNotify && event.xproperty.window == root_ && event.xproperty.atom == active_)
                changed = true;
        }
        if (!changed) return changedAny;
        // Several changes read at once: only the window active now counts.
        // Reading its class may queue further events, so look again.
        changedAny = true;
        *classes = Classes();
    }
}

std::vector<std::string> ActiveWindowWatch::Classes() const {
    std::vector<std::string> classes;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, root_, active_, 0, 1, False, XA_WINDOW, &type, &format, &count, &after,
                           &data) != Success || data == nullptr)
        return classes;
    const Window window = count == 1 && format == 32 ? *reinterpret_cast<Window*>(data) : None;
    XFree(data);
    XClassHint hint{};
    // A window gone meanwhile gives an error that the daemon's handler
    // ignores, and no hint.
    if (window != None && XGetClassHint(display_, window, &hint) != 0) {
        if (hint.res_name != nullptr) classes.emplace_back(hint.res_name);
        if (hint.res_class != nullptr) classes.emplace_back(hint.res_class);
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return classes;
}

}  // namespace tavro
