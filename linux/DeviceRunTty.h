// One open of the receiver's tty, shared by the platform object (while it is
// the open tty) and the device run that reads it.  The descriptor is closed
// when the last holder lets go, so that its number cannot be reused by
// another open while a reader of this one might still poll it.
#ifndef TAVRO_DEVICE_RUN_TTY_H
#define TAVRO_DEVICE_RUN_TTY_H

#include <atomic>
#include <string>

namespace tavro {

class ReceiverTty {
public:
    explicit ReceiverTty(int fd) : fd_(fd) {}
    // Gives up exclusive use and closes the descriptor.
    ~ReceiverTty();
    ReceiverTty(const ReceiverTty&) = delete;
    ReceiverTty& operator=(const ReceiverTty&) = delete;

    int fd() const { return fd_; }
    // Clears the tty's exclusive flag, which belongs to the tty, not to the
    // descriptor: left set, it outlives the process and refuses every later
    // open but root's.
    void GiveUpExclusive();

    // False from the open until a reader has framed a whole packet of a valid
    // type: until then the writer sends nothing (requests stay raised), so
    // another device that took the path is never written to.
    std::atomic<bool> answered{false};
    // Set by the reader while the tty reports the device gone; cleared when
    // data flows again.
    std::atomic<bool> lost{false};
    // The path it was opened from, set before the device's threads start.
    std::string path;

private:
    const int fd_;
};

}  // namespace tavro

#endif  // TAVRO_DEVICE_RUN_TTY_H
