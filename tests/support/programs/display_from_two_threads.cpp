// Two threads send requests on one X display connection, with the kit's
// display lock ("locked") or through the unlocked path ("unlocked"), so
// that a test can check that ThreadSanitizer reports exactly the second.
#include "DisplayLock.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
    const bool locked = argc == 2 && std::strcmp(argv[1], "locked") == 0;
    if (argc != 2 || (!locked && std::strcmp(argv[1], "unlocked") != 0)) {
        std::fprintf(stderr, "usage: display_from_two_threads locked|unlocked\n");
        return 2;
    }
    XInitThreads();
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "display_from_two_threads: cannot open the X display (check DISPLAY)\n");
        return 3;
    }
    auto send = [&] {
        for (int i = 0; i < 200; ++i) {
            if (locked) {
                tavro::DisplayLock lock(display);
                XNoOp(lock.get());
                XFlush(lock.get());
            } else {
                XNoOp(tavro::UnlockedDisplay(display));
                XFlush(display);
            }
        }
    };
    std::thread first(send), second(send);
    first.join();
    second.join();
    XCloseDisplay(display);
    return 0;
}
