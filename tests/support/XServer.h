// A private X server (Xvfb, 1920x1080) for one test process, and a window
// that covers the screen, holds the focus and records the events it gets.
#ifndef TAVRO_TEST_XSERVER_H
#define TAVRO_TEST_XSERVER_H

#include <chrono>
#include <string>
#include <vector>

struct _XDisplay;

namespace tavro::test {

class XvfbServer {
public:
    // Starts Xvfb on a free display and sets DISPLAY; skip the test when
    // started() is false (Xvfb missing).
    explicit XvfbServer(int width = 1920, int height = 1080);
    ~XvfbServer();
    bool started() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

private:
    int pid_ = -1;
    std::string name_;
};

#define TAVRO_REQUIRE_X(server) \
    do { if (!(server).started()) GTEST_SKIP() << "Xvfb is not available"; } while (0)

// Pointer position on the root window, through a connection of the test's own.
bool QueryPointer(int* x, int* y);
void WarpPointer(int x, int y);

struct RecordedEvent {
    int type;          // Xlib event type: KeyPress, KeyRelease, ButtonPress, ButtonRelease
    unsigned detail;   // key symbol for keys, button number for buttons
    unsigned state;    // modifier mask at the time of the event
};

class RecordingWindow {
public:
    RecordingWindow();  // maps a full-screen window and gives it the focus
    ~RecordingWindow();
    // Collects events that arrive within the time.
    void pump(std::chrono::milliseconds duration);
    // Pumps until `count` events of the kind arrived or the time-out passed.
    bool waitForEvents(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    const std::vector<RecordedEvent>& events() const { return events_; }
    void clear() { events_.clear(); }
    size_t count(int type, unsigned detail) const;

private:
    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;  // an X Window id
    std::vector<RecordedEvent> events_;
};

}  // namespace tavro::test

#endif
