#include "ActiveWindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace tavro {

ActiveWindowWatch::ActiveWindowWatch(Display* display)
    : display_(display), root_(DefaultRootWindow(display)),
      active_(XInternAtom(display, "_NET_ACTIVE_WINDOW", False)) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, root_, &attributes);
    XSelectInput(display_, root_, attributes.your_event_mask | PropertyChangeMask);
    XFlush(display_);
}

bool ActiveWindowWatch::Changed(const XEvent& event, std::vector<std::string>* classes) const {
    if (event.type != PropertyNotify || event.xproperty.window != root_ || event.xproperty.atom != active_)
        return false;
    *classes = Classes();
    return true;
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
