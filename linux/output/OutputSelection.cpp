// Choosing where pointer, buttons and keys go.  (Placeholder until the
// uinput output lands: the X11 route is always used.)
#include "TavroLinux.h"

int CTavroLinux::SelectOutput(OutputChoice, int, int, std::string* message) {
    if (message != nullptr) *message = "pointer and keys go to the X display";
    return 0;
}
