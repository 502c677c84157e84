#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tavro::test {

PtyPair::PtyPair() {
    // What posix_openpt does, through open(): ThreadSanitizer then knows the
    // descriptor as a file, and orders the kit's read of the slave after the
    // test's write to the master, as the line orders them.
    master_ = open("/dev/ptmx", O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    slavePath_ = ptsname(master_);
    // Keep one slave descriptor open so that the master never reports a
    // hang-up while the kit has not opened the tty yet; and put the line
    // into raw mode so that bytes pass unchanged before the kit configures it.
    slaveKeeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeeper_ >= 0) {
        termios attributes{};
        if (tcgetattr(slaveKeeper_, &attributes) == 0) {
            cfmakeraw(&attributes);
            tcsetattr(slaveKeeper_, TCSANOW, &attributes);
        }
    }
}

PtyPair::~PtyPair() {
    if (slaveKeeper_ >= 0) close(slaveKeeper_);
    closeMaster();
}

void PtyPair::closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void PtyPair::write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw std::runtime_error("write to the pty master failed");
        }
        done += static_cast<size_t>(n);
    }
}

Bytes PtyPair::read(size_t count, std::chrono::milliseconds timeout) {
    Bytes result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buffer[4096];
        size_t want = std::min(sizeof buffer, count - result.size());
        ssize_t n = ::read(master_, buffer, want);
        if (n <= 0) break;
        result.insert(result.end(), buffer, buffer + n);
    }
    return result;
}

Bytes PtyPair::drain(std::chrono::milliseconds quiet) {
    Bytes result;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        uint8_t buffer[4096];
        ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) break;
        result.insert(result.end(), buffer, buffer + n);
    }
    return result;
}

Bytes Packet(uint8_t type, const Bytes& payload) {
    uint8_t length = static_cast<uint8_t>(type == 9 ? payload.size() / 2 : payload.size());
    // Built byte by byte: g++ 12 warns falsely about inserting a range here.
    Bytes packet;
    packet.reserve(4 + payload.size());
    for (uint8_t b : {uint8_t{0x51}, uint8_t{0x56}, type, length}) packet.push_back(b);
    for (uint8_t b : payload) packet.push_back(b);
    return packet;
}

Bytes TrackingPayload(int user, uint16_t buttons, uint16_t ax, uint16_t ay, uint16_t ap,
                      uint16_t bx, uint16_t by, uint16_t bp) {
    uint16_t word = static_cast<uint16_t>((buttons & ~0x6000u) | ((user & 3u) << 13));
    Bytes payload;
    for (uint16_t value : {word, ax, ay, ap, bx, by, bp}) {
        payload.push_back(static_cast<uint8_t>(value >> 8));
        payload.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return payload;
}

}  // namespace tavro::test
