/* A client built against the installed kit: attaches the record and reads
 * the settings the kit wrote with its defaults. */
#include <tavrodev.h>

#include <stdio.h>

int main(void) {
    if (TV_Initialize() != 0) {
        fprintf(stderr, "consumer: TV_Initialize failed\n");
        return 1;
    }
    printf("consumer: BaudRate %d, X = %d\n", TV_GetBaudRate(), (int)TV_GetX(TV_GetCurrentUser()));
    return TV_GetBaudRate() == 115200 ? 0 : 1;
}
