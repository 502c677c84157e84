// tavro-demo: the smallest client of the kit.  It attaches the shared record
// and prints the active handset's pointer position about 33 times a second
// until a signal stops it.  The positions are those written by whichever
// process runs the device (tavrod); without one they stay at 0.
#include "tavrodev.h"

#include <unistd.h>

#include <cstdio>

int main() {
    if (TV_Initialize() != 0) {
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
