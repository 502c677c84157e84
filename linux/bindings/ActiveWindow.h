// The active window of an X11 desktop, as its window manager announces it
// (_NET_ACTIVE_WINDOW on the root window), so that a profile made for an
// application is chosen while that application has the focus.
#ifndef TAVRO_ACTIVE_WINDOW_H
#define TAVRO_ACTIVE_WINDOW_H

#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace tavro {

class ActiveWindowWatch {
public:
    // Asks for the root window's property changes.  Every call here is made
    // with the display's lock held (in the loop that reads its events).
    explicit ActiveWindowWatch(Display* display);
    // True when `event` says the active window changed; *classes are then
    // its WM_CLASS words (instance and class; none without a window).
    bool Changed(const XEvent& event, std::vector<std::string>* classes) const;
    std::vector<std::string> Classes() const;

private:
    Display* display_;
    Window root_;
    Atom active_;
};

}  // namespace tavro

#endif  // TAVRO_ACTIVE_WINDOW_H
