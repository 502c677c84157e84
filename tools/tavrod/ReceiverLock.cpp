// The flock on the receiver's tty, and who holds it.
#include "ReceiverLock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tavrod {
namespace {

// The process holding a flock on the file, from /proc/locks lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 /dev/pts/3"'s "1234 00:05:87".
int FlockHolder(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, device;
        unsigned long inode = 0;
        if (!(fields >> number >> kind)) continue;
        if (kind == "->") continue;  // a waiter, not the holder
        if (!(fields >> mode >> access >> pid >> device) || kind != "FLOCK") continue;
        unsigned major = 0, minor = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (makedev(major, minor) == info.st_dev && inode == info.st_ino) return std::stoi(pid);
    }
    return 0;
}

}  // namespace

int LockReceiver(int fd, int* holderPid) {
    if (holderPid != nullptr) *holderPid = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    const int error = errno;
    if (error == EWOULDBLOCK && holderPid != nullptr) *holderPid = FlockHolder(fd);
    return error;
}

}  // namespace tavrod
