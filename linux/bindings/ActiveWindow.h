// The active window of an X11 desktop, as its window manager announces it
// (_NET_ACTIVE_WINDOW on the root window), so that a profile made for an
// application is chosen while that application has the focus.
#ifndef TAVRO_ACTIVE_WINDOW_H
#define TAVRO_ACTIVE_WINDOW_H

#include <X11/Xlib.h>

#include <memory>
#include <string>
#include <vector>

namespace tavro {

class ActiveWindowWatch {
public:
    // Opens a connection of its own to the display and asks for the root
    // window's property changes; null when the display cannot be opened.
    // The connection is read by one thread only, so an event is never taken
    // into Xlib's queue by another thread's call while the owner waits on
    // the socket (the owner would then not wake for it).
    static std::unique_ptr<ActiveWindowWatch> Open(const char* displayName);
    ~ActiveWindowWatch();
    ActiveWindowWatch(const ActiveWindowWatch&) = delete;
    ActiveWindowWatch& operator=(const ActiveWindowWatch&) = delete;

    // The descriptor to poll for the connection's events.
    int Descriptor() const;
    // Reads the events that arrived; true when the active window changed,
    // and *classes are then its WM_CLASS words (instance and class; none
    // without a window).
    bool Changed(std::vector<std::string>* classes);
    std::vector<std::string> Classes() const;

private:
    explicit ActiveWindowWatch(Display* display);

    Display* display_;
    Window root_;
    Atom active_;
};

}  // namespace tavro

#endif  // TAVRO_ACTIVE_WINDOW_H
