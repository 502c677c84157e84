// Which stabiliser the device uses, chosen in the daemon's configuration
// ("filter = builtin" or "filter = adaptive", DaemonConfig.h) and picked up
// by a running daemon without a restart.
#ifndef TAVRO_FILTER_CHOICE_H
#define TAVRO_FILTER_CHOICE_H

#include "TavroCore.h"

#include <sys/types.h>

#include <ctime>
#include <string>

class CTavroLinux;

namespace tavro {

// The stabiliser of a configuration without a "filter" line.
constexpr int kDefaultStabiliser = CTavroCore::kStabiliserAdaptive;

// The configuration's names: "builtin" and "adaptive" (the default).
const char* StabiliserName(int choice);
// False for any other text.
bool ParseStabiliser(const std::string& text, int* choice);

// Reads the configuration's "filter" key (absent: kDefaultStabiliser) and makes the kit
// use it; the status segment's Filter tells the choice in use.  On a bad
// value or an unreadable file returns false with *error one line naming the
// file and the fix; the kit keeps the stabiliser it had.
bool ApplyFilterConfig(CTavroLinux* kit, std::string* error);

// Follows the configuration from the process's own loop: applies it when
// made (the kit starts on kDefaultStabiliser, which a configuration that
// cannot be used at start leaves in force), and again from Check whenever
// the file changed since (the daemon checks every 500 ms).  Problems go to
// the kit's log once per change of the file.
class FilterConfigWatch {
public:
    explicit FilterConfigWatch(CTavroLinux* kit);
    void Check();

    // What tells a rewritten file from the one read last: the rename of a
    // rewrite gives a new inode, an edit in place a new time or size.
    struct Stamp {
        bool exists = false;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified {};
        bool operator==(const Stamp& o) const;
    };

private:
    void Apply();
    CTavroLinux* kit_;
    Stamp last_;
};

}  // namespace tavro

#endif  // TAVRO_FILTER_CHOICE_H
