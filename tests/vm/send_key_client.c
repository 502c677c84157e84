/* A client of the kit in a process of its own: initialises the API and taps
 * each key symbol given (hexadecimal, e.g. 0x61) with TV_SendKeyEvent, as
 * any program using libTavroDev would.  Prints "sent" when done. */
#include "tavrodev.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s KEYSYM...\n", argv[0]);
        return 2;
    }
    if (TV_Initialize() != 0) {
        fprintf(stderr, "TV_Initialize failed\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) TV_SendKeyEvent((int)strtol(argv[i], NULL, 16), -1, 0, 5);
    printf("sent\n");
    fflush(stdout);
    return 0;
}
