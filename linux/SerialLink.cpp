// The receiver's serial tty: opening it, claiming and configuring it in raw
// 8-bit mode, and writing command bytes to it.
#include "TavroLinux.h"

#include "DeviceRunTty.h"
#include "RecordAccess.h"
#include "TtyHolders.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// A write attempt waits this long for room in the tty's output queue, so a
// receiver that stops reading cannot hold the command writer forever.
constexpr int kWriteWaitMs = 100;
constexpr int kMaxWriteAttempts = 50;

// A descriptor of 0 means "not open", so the tty must never live on descriptor 0
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

namespace tavro {

void ReceiverTty::GiveUpExclusive() { ioctl(fd_, TIOCNXCL); }

ReceiverTty::~ReceiverTty() {
    GiveUpExclusive();
    close(fd_);
}

}  // namespace tavro

std::shared_ptr<tavro::ReceiverTty> CTavroLinux::OpenTty() const { return std::atomic_load(&tty_); }

int CTavroLinux::DeviceFd() const {
    const std::shared_ptr<tavro::ReceiverTty> tty = OpenTty();
    return tty ? tty->fd() : 0;
}

bool CTavroLinux::DeviceLost() const {
    const std::shared_ptr<tavro::ReceiverTty> tty = OpenTty();
    return tty && tty->lost.load();
}

void CTavroLinux::AdoptDevice(int fd) {
    CloseDevice();
    if (fd > 0) std::atomic_store(&tty_, std::make_shared<tavro::ReceiverTty>(fd));
}

int CTavroLinux::OpenDevice() {
    int result = 0;
    if (DeviceFd() == 0) {
        result = SI_Open();
        if (result != 0) {
            tavro::StoreField(SharedData->LastError, 3);
            AddToMessageLog("Error in OpenDevice : SI_Open");
        }
    }
    tavro::StoreField(SharedData->HIDMouseAtStart, 0);
    tavro::StoreField(SharedData->ActivateCursor, 1);
    tavro::StoreField(SharedData->DeviceOpened, 1);
    return result;
}

int CTavroLinux::SI_Open() {
    const std::string path = tavro::LoadText(SharedData->DeviceName);

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fd = AvoidDescriptorZero(fd);
    if (fd < 0) {
        const int error = errno;
        // Nothing is taken: a later start opens the tty anew.
        AddToMessageLog("Error opening the device");
        if (error == EBUSY)
            LogMessage("cannot open the receiver %s: %s", path.c_str(), tavro::BusyTtyReason(path).c_str());
        tavro::SetStopRequest(SharedData, true);
        return 3;
    }
    // A new open: not yet shown to be a receiver.
    AdoptDevice(fd);
    if (const std::shared_ptr<tavro::ReceiverTty> tty = OpenTty()) tty->path = path;
    return 0;
}

int CTavroLinux::InitializeDevice() {
    const std::string path = tavro::LoadText(SharedData->DeviceName);
    const char* name = path.c_str();
    // Logs the failed step, closes the tty and forgets the descriptor, so no
    // command can be written to a closed (or by then reused) descriptor.
    auto fail = [&](const char* format) {
        int error = errno;
        LogMessage(format, name, strerror(error), error);
        CloseDevice();
        return 6;
    };

    const std::shared_ptr<tavro::ReceiverTty> tty = OpenTty();
    const int fd = tty ? tty->fd() : 0;
    if (fd <= 0) {
        errno = EBADF;
        return fail("Error setting TIOCEXCL on %s - %s(%d).\n");
    }
    // Exclusive use: a second open of the tty by another process fails.
    if (ioctl(fd, TIOCEXCL) == -1) return fail("Error setting TIOCEXCL on %s - %s(%d).\n");
    // No file status flags: reads and writes block from here on.
    if (fcntl(fd, F_SETFL, 0) == -1) return fail("Error clearing O_NONBLOCK %s - %s(%d).\n");

    termios attributes{};
    if (tcgetattr(fd, &attributes) == -1)
        return fail("Error getting tty attributes %s - %s(%d).\n");
    // An unknown speed leaves the speed unchanged; the rest still applies.
    cfsetspeed(&attributes, static_cast<speed_t>(tavro::LoadField(SharedData->BaudRate)));
    attributes.c_cflag |= CS8;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
    attributes.c_iflag = IGNBRK | IGNPAR | IGNCR;
    // Raw mode last: no processing, no echo, 8 bits without parity.
    cfmakeraw(&attributes);
    if (tcsetattr(fd, TCSANOW, &attributes) == -1)
        return fail("Error setting tty attributes %s - %s(%d).\n");

    // The handshake lines are read only to check the tty; a tty without modem
    // lines (a pseudo-terminal, some USB receivers) is perfectly usable.
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == -1 && errno != ENOTTY && errno != EINVAL)
        return fail("Error getting handshake lines %s - %s(%d).\n");
    return 0;
}

void CTavroLinux::CloseDevice() {
    const std::shared_ptr<tavro::ReceiverTty> tty = std::atomic_exchange(&tty_, std::shared_ptr<tavro::ReceiverTty>());
    if (!tty) return;
    // At once, even while a reader still holds the descriptor: another open
    // of the tty may follow right away.
    tty->GiveUpExclusive();
}

int CTavroLinux::SendCommand(unsigned char* buffer, unsigned long length) {
    int written = 0;
    int result = SI_Write(buffer, static_cast<unsigned int>(length), &written);
    if (result != 0 || static_cast<unsigned long>(written) != length) tavro::StoreField(SharedData->LastError, 4);
    return result;
}

int CTavroLinux::SI_Write(unsigned char* buffer, unsigned int length, int* written) {
    // Held for the write, so the descriptor cannot close (and its number be
    // reused) meanwhile.
    const std::shared_ptr<tavro::ReceiverTty> tty = OpenTty();
    const int fd = tty ? tty->fd() : 0;
    if (fd <= 0 || length == 0 || static_cast<int>(length) < 0 || buffer == nullptr)
        return 0;
    unsigned int left = length;
    for (int attempt = 0; attempt < kMaxWriteAttempts && left > 0; ++attempt) {
        pollfd ready{fd, POLLOUT, 0};
        int polled = poll(&ready, 1, kWriteWaitMs);
        if (polled == 0) continue;
        if (polled < 0) {
            if (errno == EINTR) continue;
            LogMessage("Error reading from device - %s(%d).\n", strerror(errno), errno);
            return 0;
        }
        ssize_t count = write(fd, buffer + *written, left);
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
