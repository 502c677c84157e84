#include "XServer.h"

#include <X11/Xlib.h>

#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace tavro::test {

namespace {
// The test's own connection, reopened when a later server changed DISPLAY.
// The old one is left open: its server may be gone, and closing a dead
// connection would end the process.
Display* TestDisplay() {
    static Display* connection = nullptr;
    static std::string connectedTo;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr) return nullptr;
    if (connection == nullptr || connectedTo != name) {
        XInitThreads();
        connection = XOpenDisplay(name);
        connectedTo = name;
    }
    return connection;
}
}  // namespace

XvfbServer::XvfbServer(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
    }
    pid_ = pid;
    name_ = ":" + number;
    setenv("DISPLAY", name_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool QueryPointer(int* x, int* y) {
    Display* d = TestDisplay();
    if (d == nullptr) return false;
    Window root, child;
    int wx, wy;
    unsigned mask;
    return XQueryPointer(d, DefaultRootWindow(d), &root, &child, x, y, &wx, &wy, &mask);
}

void WarpPointer(int x, int y) {
    Display* d = TestDisplay();
    if (d == nullptr) return;
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XSync(d, False);
}

RecordingWindow::RecordingWindow() {
    XInitThreads();
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) return;
    int screen = DefaultScreen(display_);
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0,
                                  DisplayWidth(display_, screen), DisplayHeight(display_, screen),
                                  0, 0, 0);
    XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | ButtonPressMask |
                                        ButtonReleaseMask | StructureNotifyMask);
    XMapRaised(display_, window_);
    XEvent event;
    do {
        XNextEvent(display_, &event);
    } while (event.type != MapNotify);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
}

RecordingWindow::~RecordingWindow() {
    if (display_ != nullptr) {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
}

void RecordingWindow::pump(std::chrono::milliseconds duration) {
    if (display_ == nullptr) return;
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            switch (event.type) {
                case KeyPress:
                case KeyRelease:
                    events_.push_back({event.type,
                                       static_cast<unsigned>(XLookupKeysym(&event.xkey, 0)),
                                       event.xkey.state});
                    break;
                case ButtonPress:
                case ButtonRelease:
                    events_.push_back({event.type, event.xbutton.button, event.xbutton.state});
                    break;
                default:
                    break;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
        pollfd p{ConnectionNumber(display_), POLLIN, 0};
        poll(&p, 1, 5);
    }
}

bool RecordingWindow::waitForEvents(size_t count, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (events_.size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pump(std::chrono::milliseconds(10));
    }
    return true;
}

size_t RecordingWindow::count(int type, unsigned detail) const {
    size_t n = 0;
    for (const RecordedEvent& e : events_)
        if (e.type == type && e.detail == detail) ++n;
    return n;
}

}  // namespace tavro::test
