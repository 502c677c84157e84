// The receiver's serial tty: opening it, claiming and configuring it in raw
// 8-bit mode, and writing command bytes to it.
#include "TavroLinux.h"

#include "StopFlag.h"
#include "TtyHolders.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A write attempt waits this long for room in the tty's output queue, so a
// receiver that stops reading cannot hold the command writer forever.
constexpr int kWriteWaitMs = 100;
constexpr int kMaxWriteAttempts = 50;

// DeviceFd 0 means "not open", so the tty must never live on descriptor 0
// (possible when the process runs with its standard input closed).  Moves
// such a descriptor elsewhere and parks /dev/null on 0.
int AvoidDescriptorZero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        close(fd);
        return -1;
    }
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0 && null != 0) {
        dup2(null, 0);
        close(null);
    } else if (null < 0) {
        close(0);
    }
    return moved;
}

}  // namespace

int CTavroLinux::OpenDevice() {
    int result = 0;
    if (DeviceFd == 0) {
        result = SI_Open();
        if (result != 0) {
            SharedData->LastError = 3;
            AddToMessageLog("Error in OpenDevice : SI_Open");
        }
    }
    SharedData->HIDMouseAtStart = 0;
    SharedData->ActivateCursor = 1;
    SharedData->DeviceOpened = 1;
    return result;
}

int CTavroLinux::SI_Open() {
    char path[sizeof SharedData->DeviceName];
    std::memcpy(path, SharedData->DeviceName, sizeof path);
    path[sizeof path - 1] = '\0';

    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fd = AvoidDescriptorZero(fd);
    if (fd < 0) {
        const int error = errno;
        // Not open: 0, so that a later start opens the tty anew.
        DeviceFd = 0;
        AddToMessageLog("Error opening the device");
        if (error == EBUSY)
            LogMessage("cannot open the receiver %s: %s", path, tavro::BusyTtyReason(path).c_str());
        tavro::SetStopRequest(SharedData, true);
        return 3;
    }
    DeviceFd = fd;
    ReceiverAnswered.store(false);
    return 0;
}

int CTavroLinux::InitializeDevice() {
    const char* name = SharedData->DeviceName;
    // Logs the failed step, closes the tty and forgets the descriptor, so no
    // command can be written to a closed (or by then reused) descriptor.
    auto fail = [&](const char* format) {
        int error = errno;
        LogMessage(format, name, strerror(error), error);
        CloseDevice();
        return 6;
    };

    if (DeviceFd <= 0) {
        errno = EBADF;
        return fail("Error setting TIOCEXCL on %s - %s(%d).\n");
    }
    // Exclusive use: a second open of the tty by another process fails.
    if (ioctl(DeviceFd, TIOCEXCL) == -1) return fail("Error setting TIOCEXCL on %s - %s(%d).\n");
    // No file status flags: reads and writes block from here on.
    if (fcntl(DeviceFd, F_SETFL, 0) == -1) return fail("Error clearing O_NONBLOCK %s - %s(%d).\n");

    termios attributes{};
    if (tcgetattr(DeviceFd, &attributes) == -1)
        return fail("Error getting tty attributes %s - %s(%d).\n");
    // An unknown speed leaves the speed unchanged; the rest still applies.
    cfsetspeed(&attributes, static_cast<speed_t>(SharedData->BaudRate));
    attributes.c_cflag |= CS8;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
    attributes.c_iflag = IGNBRK | IGNPAR | IGNCR;
    // Raw mode last: no processing, no echo, 8 bits without parity.
    cfmakeraw(&attributes);
    if (tcsetattr(DeviceFd, TCSANOW, &attributes) == -1)
        return fail("Error setting tty attributes %s - %s(%d).\n");

    // The handshake lines are read only to check the tty; a tty without modem
    // lines (a pseudo-terminal, some USB receivers) is perfectly usable.
    int lines = 0;
    if (ioctl(DeviceFd, TIOCMGET, &lines) == -1 && errno != ENOTTY && errno != EINVAL)
        return fail("Error getting handshake lines %s - %s(%d).\n");
    return 0;
}

void CTavroLinux::CloseDevice() {
    if (DeviceFd <= 0) return;
    // The exclusive flag belongs to the tty, not to the descriptor: left set,
    // it outlives this process and refuses every later open but root's.
    ioctl(DeviceFd, TIOCNXCL);
    close(DeviceFd);
    DeviceFd = 0;
    ReceiverAnswered.store(false);
}

int CTavroLinux::SendCommand(unsigned char* buffer, unsigned long length) {
    int written = 0;
    int result = SI_Write(buffer, static_cast<unsigned int>(length), &written);
    if (result != 0 || static_cast<unsigned long>(written) != length) SharedData->LastError = 4;
    return result;
}

int CTavroLinux::SI_Write(unsigned char* buffer, unsigned int length, int* written) {
    if (DeviceFd <= 0 || length == 0 || static_cast<int>(length) < 0 || buffer == nullptr)
        return 0;
    unsigned int left = length;
    for (int attempt = 0; attempt < kMaxWriteAttempts && left > 0; ++attempt) {
        pollfd ready{DeviceFd, POLLOUT, 0};
        int polled = poll(&ready, 1, kWriteWaitMs);
        if (polled == 0) continue;
        if (polled < 0) {
            if (errno == EINTR) continue;
            LogMessage("Error reading from device - %s(%d).\n", strerror(errno), errno);
            return 0;
        }
        ssize_t count = write(DeviceFd, buffer + *written, left);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            LogMessage("Error reading from device - %s(%d).\n", strerror(errno), errno);
            return 0;
        }
        *written += static_cast<int>(count);
        left -= static_cast<unsigned int>(count);
    }
    return 0;
}
