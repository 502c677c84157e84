// A pseudo-terminal pair standing in for the receiver's tty: the kit opens
// the slave path, the test writes packets to the master and reads the
// command bytes the kit wrote.
#ifndef TAVRO_TEST_PTY_H
#define TAVRO_TEST_PTY_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tavro::test {

using Bytes = std::vector<uint8_t>;

class PtyPair {
public:
    PtyPair();  // opens the master (raw mode on the slave side); throws on failure
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    void closeMaster();

    void write(const Bytes& bytes);
    // Reads exactly `count` bytes or fails after the time-out (returns what came).
    Bytes read(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Reads whatever arrives until nothing has come for `quiet`.
    Bytes drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));

private:
    int master_ = -1;
    int slaveKeeper_ = -1;  // keeps the slave side alive between opens
    std::string slavePath_;
};

// A framed receiver packet: "Q" "V" type length payload.  For type 9 the
// length byte counts 16-bit words.
Bytes Packet(uint8_t type, const Bytes& payload);
// A tracking payload: button word, spot A (x, y, power), spot B, big-endian;
// the handset number goes into bits 13-14 of the button word.
Bytes TrackingPayload(int user, uint16_t buttons, uint16_t ax, uint16_t ay, uint16_t ap,
                      uint16_t bx, uint16_t by, uint16_t bp);

}  // namespace tavro::test

#endif
