// Who holds a tty that refused to open with EBUSY: the processes that have
// it open, or none (then the exclusive flag was left set on the device).
#ifndef TAVRO_TTY_HOLDERS_H
#define TAVRO_TTY_HOLDERS_H

#include <string>

namespace tavro {

// Why `path` is busy and what to do, as the end of a one-line message, for
// example "held by process 812 (minicom); stop it first".
std::string BusyTtyReason(const std::string& path);

}  // namespace tavro

#endif
