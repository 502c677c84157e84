// tavro-demo: the smallest client of the kit.  It attaches the shared record
// and prints the active handset's pointer position about 33 times a second
// until a signal stops it.  The positions are those written by whichever
// process runs the device (tavrod); without one they stay at 0.
#include "tavrodev.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

const char kHelp[] =
    "Usage: tavro-demo [--help | --version]\n"
    "\n"
    "Prints where the active handset points (the pointer position in display\n"
    "pixels), about 33 times a second, as \"X = 640, Y = 400\", until Ctrl-C.\n"
    "The positions come from the device daemon (tavrod); without it they stay\n"
    "at 0.\n"
    "\n"
    "Exit status: 1 when the kit's shared record cannot be attached, 2 for a\n"
    "wrong argument.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[1], "--version") == 0) {
            std::printf("tavro-demo %s\n", TAVRO_VERSION);
            return 0;
        }
        std::fprintf(stderr, "tavro-demo: unknown argument \"%s\" (see tavro-demo --help)\n", argv[1]);
        return 2;
    }
    if (TV_Attach() != 0) {
        std::fprintf(stderr,
                     "tavro-demo: cannot attach the kit's shared record "
                     "(see the system log: journalctl -t Tavro)\n");
        return 1;
    }
    for (;;) {
        int x = static_cast<int>(TV_GetX(TV_GetCurrentUser()));
        int y = static_cast<int>(TV_GetY(TV_GetCurrentUser()));
        std::printf("X = %d, Y = %d\n", x, y);
        std::fflush(stdout);
        usleep(30000);
    }
}
