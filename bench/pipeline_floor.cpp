// The least work any design of the daemon can do for a stream: read what the
// tty has, and move the X pointer as the default motion does (a move at once
// and one every 10 ms after it, three in all, until the next read), with one
// XCB warp per move and nothing else: no framing, no pass, no record.
// bench/pipeline_bench.sh runs it beside tavrod on the same streams, so that
// the daemon's figures can be read against what the machine itself costs
// (wake-ups, system calls, X requests).
//
// Usage: pipeline_floor TTY   (the X display of $DISPLAY; runs until killed
// or the tty ends)
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pipeline_floor TTY\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "pipeline_floor: cannot open the X display (is DISPLAY set?)\n");
        return 1;
    }
    xcb_connection_t* connection = XGetXCBConnection(display);
    const xcb_window_t root = static_cast<xcb_window_t>(DefaultRootWindow(display));
    const int tty = open(argv[1], O_RDWR | O_NOCTTY);
    if (tty < 0) {
        std::perror("pipeline_floor: open");
        return 1;
    }
    termios raw{};
    tcgetattr(tty, &raw);
    cfmakeraw(&raw);
    tcsetattr(tty, TCSANOW, &raw);

    constexpr int kMoves = 3;          // sub-frames per packet
    constexpr int kPauseMs = 10;       // between them
    unsigned char buffer[4096];
    int movesLeft = 0;
    int16_t x = 0;
    for (;;) {
        pollfd ready{tty, POLLIN, 0};
        const int n = poll(&ready, 1, movesLeft > 0 ? kPauseMs : -1);
        if (n > 0) {
            if (read(tty, buffer, sizeof buffer) <= 0) return 0;
            movesLeft = kMoves;
        }
        if (movesLeft > 0) {
            x = static_cast<int16_t>((x + 1) % 500);
            xcb_warp_pointer(connection, XCB_NONE, root, 0, 0, 0, 0, static_cast<int16_t>(10 + x), 300);
            xcb_flush(connection);
            --movesLeft;
        }
    }
}
