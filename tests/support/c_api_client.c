/* A small C client of the kit: proves that tavrodev.h compiles as strict C
 * and that the exported names link unmangled.  Runs in an isolated IPC
 * namespace and HOME (see run-isolated.sh). */
#include "tavrodev.h"

#include <stdio.h>

int main(void) {
    char held[12];
    int wheel = -1;
    double distance = 0.0;

    if (TV_GetX(0) != 0.0 || TV_GetLatestError() != 0) {
        fprintf(stderr, "getters before TV_Initialize must return 0\n");
        return 1;
    }
    if (TV_Initialize() != 0) {
        fprintf(stderr, "TV_Initialize failed\n");
        return 1;
    }
    if (TV_GetClickWheel(&held[0], &held[1], &held[2], &held[3], &held[4], &wheel, &held[5],
                         &held[6], 0) != 1 || wheel != 0) {
        fprintf(stderr, "TV_GetClickWheel: wheel %d with no button held\n", wheel);
        return 1;
    }
    TV_GetCalDistance(&distance);
    printf("X = %d, Y = %d, BaudRate %d, CalDistance %f\n", (int)TV_GetX(TV_GetCurrentUser()),
           (int)TV_GetY(TV_GetCurrentUser()), TV_GetBaudRate(), distance);
    return TV_GetBaudRate() == 115200 ? 0 : 1;
}
