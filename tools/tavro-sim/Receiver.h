// The simulated receiver's side of the command link: it splits the kit's
// bytes into commands, remembers what they set and builds the replies a
// receiver would send.
#ifndef TAVRO_SIM_RECEIVER_H
#define TAVRO_SIM_RECEIVER_H

#include "Motion.h"

#include <string>
#include <vector>

namespace sim {

// A packet to send `delay` seconds after the command that caused it.
struct Reply {
    double delay = 0.0;
    Bytes bytes;
};

// Error codes the simulated receiver reports in an error packet (type 11).
enum ReceiverError : uint8_t {
    kUnknownCommand = 1,
    kMalformedCommand = 2,
    kUnknownInfoKind = 3,
};

class Receiver {
public:
    explicit Receiver(double learnDelaySeconds) : learnDelay_(learnDelaySeconds) {}

    // Takes bytes the kit wrote.  `burstEnd` says no further bytes were
    // waiting (an odd-length IR code's last byte is recognised that way).
    // Appends the replies to send and one log line per complete command.
    void Feed(const uint8_t* data, size_t size, bool burstEnd, std::vector<Reply>* replies,
              std::vector<std::string>* log);
    // Drops a command that stayed incomplete; logs it.
    void DropIncomplete(std::vector<std::string>* log);
    bool HasIncomplete() const { return !pending_.empty(); }

    int channel() const { return channel_; }

private:
    // Length of the command at the start of `pending_`, or 0 when more bytes
    // are needed to know it.
    size_t CommandLength(bool burstEnd) const;
    std::string Handle(const Bytes& command, std::vector<Reply>* replies);
    Bytes InfoReply(int kind) const;

    double learnDelay_;
    Bytes pending_;
    Bytes lastCode_{0x00, 0x03, 0x5A, 0x01, 0x2C, 0x00, 0x96, 0x00};
    int channel_ = 3;
    int learned_ = 0;
};

// Bytes as lower-case hex separated by blanks.
std::string Hex(const Bytes& bytes);

}  // namespace sim

#endif
