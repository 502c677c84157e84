// Which stabiliser the device uses, chosen in the daemon's configuration
// ("filter = builtin" or "filter = adaptive", DaemonConfig.h) and picked up
// by a running daemon without a restart.
#ifndef TAVRO_FILTER_CHOICE_H
#define TAVRO_FILTER_CHOICE_H

#include <string>

class CTavroLinux;

namespace tavro {

// The configuration's names: "builtin" (the default) and "adaptive".
const char* StabiliserName(int choice);
// False for any other text.
bool ParseStabiliser(const std::string& text, int* choice);

// Reads the configuration's "filter" key (absent: builtin) and makes the kit
// use it; the status segment's Filter tells the choice in use.  On a bad
// value or an unreadable file returns false with *error one line naming the
// file and the fix; the kit keeps the stabiliser it had.
bool ApplyFilterConfig(CTavroLinux* kit, std::string* error);

// Applies the configuration now and then, from a thread of its own, again
// whenever the file changes (looked at every 500 ms), for the life of the
// process.  Problems go to the kit's log once per change of the file.
void WatchFilterConfig(CTavroLinux* kit);

}  // namespace tavro

#endif  // TAVRO_FILTER_CHOICE_H
