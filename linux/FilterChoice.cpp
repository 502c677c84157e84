// The stabiliser choice from the daemon's configuration, and the watch that
// lets a running daemon follow a change of it.
#include "FilterChoice.h"

#include "DaemonConfig.h"
#include "DaemonStatus.h"
#include "TavroLinux.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

namespace tavro {

namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(500);

void Publish(CTavroLinux* kit, int choice) {
    if (kit->Status == nullptr) return;
    char* field = kit->Status->Filter;
    const char* name = StabiliserName(choice);
    // Plain bytes another process reads at any time: the terminator stays put.
    const size_t length = std::strlen(name);
    std::memset(field + length, 0, sizeof kit->Status->Filter - length);
    std::memcpy(field, name, length);
}

// What tells a rewritten file from the one read last: the rename of a
// rewrite gives a new inode, an edit in place a new time or size.
struct Stamp {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    bool operator==(const Stamp& o) const {
        return exists == o.exists && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

Stamp StampOf(const std::string& path) {
    Stamp s;
    struct stat info {};
    if (!path.empty() && stat(path.c_str(), &info) == 0) {
        s.exists = true;
        s.inode = info.st_ino;
        s.size = info.st_size;
        s.modified = info.st_mtim;
    }
    return s;
}

}  // namespace

const char* StabiliserName(int choice) {
    return choice == CTavroCore::kStabiliserAdaptive ? "adaptive" : "builtin";
}

bool ParseStabiliser(const std::string& text, int* choice) {
    if (text == "builtin") *choice = CTavroCore::kStabiliserBuiltin;
    else if (text == "adaptive") *choice = CTavroCore::kStabiliserAdaptive;
    else return false;
    return true;
}

bool ApplyFilterConfig(CTavroLinux* kit, std::string* error) {
    std::map<std::string, std::string> values;
    std::string problem;
    if (!ReadDaemonConfig(&values, &problem)) {
        if (error != nullptr) *error = problem + "; the stabiliser stays " +
                                       StabiliserName(kit->StabiliserChoice.load());
        return false;
    }
    int choice = CTavroCore::kStabiliserBuiltin;
    const auto found = values.find("filter");
    if (found != values.end() && !ParseStabiliser(found->second, &choice)) {
        if (error != nullptr)
            *error = DaemonConfigPath() + ": filter \"" + found->second +
                     "\" is neither builtin nor adaptive (set it with: tavro filter builtin|adaptive)";
        return false;
    }
    kit->StabiliserChoice.store(choice);
    Publish(kit, choice);
    return true;
}

void WatchFilterConfig(CTavroLinux* kit) {
    if (kit == nullptr) return;
    auto apply = [kit] {
        std::string error;
        if (!ApplyFilterConfig(kit, &error)) CTavroLinux::LogMessage("%s", error.c_str());
    };
    // Stamped before reading, so a change while it is read is seen next time.
    Stamp first = StampOf(DaemonConfigPath());
    apply();
    Publish(kit, kit->StabiliserChoice.load());
    // The platform object lives as long as the process, and so does this.
    std::thread([kit, apply, first] {
        Stamp last = first;
        for (;;) {
            std::this_thread::sleep_for(kWatchInterval);
            const Stamp now = StampOf(DaemonConfigPath());
            if (now == last) continue;
            last = now;
            apply();
        }
    }).detach();
}

}  // namespace tavro
