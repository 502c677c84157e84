// Finds the processes that hold a character device open by looking at every
// /proc/PID/fd entry, as fuser(1) does.
#include "TtyHolders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <fstream>

namespace {

std::string CommandOf(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

bool HoldsDevice(const std::string& pid, dev_t device, bool* unreadable) {
    const std::string dir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) {
        if (errno == EACCES) *unreadable = true;
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(fds)) {
        struct stat target {};
        if (entry->d_name[0] == '.') continue;
        if (stat((dir + "/" + entry->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
            target.st_rdev == device) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

}  // namespace

namespace tavro {

std::string BusyTtyReason(const std::string& path) {
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return "it is busy; see who holds it with: fuser -v " + path;
    std::string holders;
    bool unreadable = false;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
            const std::string pid = entry->d_name;
            if (!HoldsDevice(pid, node.st_rdev, &unreadable)) continue;
            holders += (holders.empty() ? "" : ", ") + std::string("process ") + pid + " (" +
                       CommandOf(pid) + ")";
        }
        closedir(proc);
    }
    if (!holders.empty()) return "held by " + holders + "; stop it first";
    if (unreadable)
        return "held by no process of this user (those of other users were not visible: "
               "sudo fuser -v " + path + ")";
    return "no process holds it, so its exclusive flag was left set by a program that ended; "
           "unplug and replug the receiver to clear it";
}

}  // namespace tavro
