#include "Receiver.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kIRCodeType = 9;
constexpr uint8_t kErrorType = 11;
constexpr uint8_t kInfoType = 17;
constexpr uint8_t kHIDCalType = 24;
constexpr uint8_t kHIDAntiShakeType = 25;

Bytes Text(const char* text) {
    // Sent with its terminating NUL, so a client can print the reply as is.
    return Bytes(text, text + std::strlen(text) + 1);
}

Bytes ErrorPacket(uint8_t code) { return Frame(kErrorType, Bytes{code}); }

std::string Named(const char* name, int value) { return std::string(name) + " " + std::to_string(value); }

}  // namespace

std::string Hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += digits;
    }
    return text;
}

namespace {

// Length of a command from its code and count byte (an odd IR code's extra
// byte aside); 0 for a code no receiver knows or a count it never has.
size_t KnownLength(uint8_t code, uint8_t count) {
    switch (code) {
    case 0x02: return count == 0 || count == 2 ? 2u + count : 0;
    case 0x03: case 0x04: case 0x05: case 0x0D: case 0x10: case 0x12: case 0x17: case 0x1A: case 0x1B:
        return count == 1 ? 3 : 0;
    case 0x08: return count == 2 ? 4 : 0;
    case 0x09: return 2 + 2 * static_cast<size_t>(count);
    case 0x0C: return count == 0 ? 2 : 0;
    case 0x14: return count == 5 ? 7 : 0;
    case 0x15: return count == 0 ? 3 : 0;  // a zero count, then one byte
    case 0x18: return count == 24 ? 26 : 0;
    case 0x19: return count == 3 ? 5 : 0;
    default: return 0;
    }
}

// Whether the bytes read as a run of known commands (the last may be cut).
bool LooksLikeCommands(const uint8_t* bytes, size_t size) {
    size_t i = 0;
    while (i + 1 < size) {
        size_t length = KnownLength(bytes[i], bytes[i + 1]);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace

size_t Receiver::CommandLength(bool burstEnd) const {
    if (pending_.size() < 2) return 0;
    uint8_t code = pending_[0], count = pending_[1];
    size_t length = code == 0x15 ? 3 : 2 + static_cast<size_t>(count);
    if (code == 0x09 && count > 0) {
        // The count is in 16-bit words and an odd code carries one byte more.
        // That byte is recognised as the one left at the end of a burst, or
        // as the byte without which the rest reads as commands again.
        length = 2 + 2 * static_cast<size_t>(count);
        if (pending_.size() == length + 1) {
            // More bytes are already on their way: decide once they are in.
            if (!burstEnd) return 0;
            ++length;
        } else if (pending_.size() > length + 1) {
            const uint8_t* rest = pending_.data() + length;
            size_t left = pending_.size() - length;
            if (!LooksLikeCommands(rest, left) && LooksLikeCommands(rest + 1, left - 1)) ++length;
        }
    }
    return pending_.size() >= length ? length : 0;
}

void Receiver::Feed(const uint8_t* data, size_t size, bool burstEnd, std::vector<Reply>* replies,
                    std::vector<std::string>* log) {
    pending_.insert(pending_.end(), data, data + size);
    for (;;) {
        size_t length = CommandLength(burstEnd);
        if (length == 0) return;
        Bytes command(pending_.begin(), pending_.begin() + static_cast<long>(length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
        log->push_back("rx " + Hex(command) + "  " + Handle(command, replies));
    }
}

void Receiver::DropIncomplete(std::vector<std::string>* log) {
    if (pending_.empty()) return;
    log->push_back("rx " + Hex(pending_) + "  incomplete, dropped");
    pending_.clear();
}

Bytes Receiver::InfoReply(int kind) const {
    switch (kind) {
    case 0: return Text("Tavro handheld (c) QuorVel");
    case 1: return Text("handheld 2.1.0");
    case 2: return Text("2024-03-18");
    case 3: return Text("Tavro POD (c) QuorVel");
    case 4: return Text("POD 1.4.2");
    case 5: return Text("2024-02-02");
    case 6: return Bytes{0x01, 0x02, 0x03, 0x04};            // handset ids by slot
    case 7: return Bytes{0xC8, 0xB4, 0xA0, 0x8C};            // receive strength by slot
    case 8: return Bytes{static_cast<uint8_t>(channel_)};
    case 9: {
        Bytes map;  // energy per channel, a fixed shape with a dip on ours
        for (int c = 0; c < 16; ++c) map.push_back(static_cast<uint8_t>(c == channel_ ? 5 : 40 + 7 * c));
        return map;
    }
    default: return Bytes{};
    }
}

std::string Receiver::Handle(const Bytes& command, std::vector<Reply>* replies) {
    const uint8_t code = command[0], count = command[1];
    auto malformed = [&](const char* name) {
        replies->push_back({0.0, ErrorPacket(kMalformedCommand)});
        return std::string(name) + ": unexpected length, error packet sent";
    };
    switch (code) {
    case 0x02:
        if (count == 0) return "stop-motor";
        if (count == 2) return "start-motor value " + std::to_string(command[2]) + " setting " +
                               std::to_string(command[3]);
        return malformed("motor");
    case 0x03: return count == 1 ? Named("set-threshold", command[2]) : malformed("set-threshold");
    case 0x04: return count == 1 ? Named("set-gain", command[2]) : malformed("set-gain");
    case 0x05: return count == 1 ? Named("set-exposure", command[2]) : malformed("set-exposure");
    case 0x08: {
        if (count != 2) return malformed("learn-code");
        // The learned code starts with the channel, big-endian.
        ++learned_;
        Bytes code{0x00, static_cast<uint8_t>(channel_)};
        for (int i = 0; i < 10; ++i) code.push_back(static_cast<uint8_t>(learned_ * 16 + i));
        lastCode_ = code;
        replies->push_back({learnDelay_, Frame(kIRCodeType, code)});
        return "learn-code";
    }
    case 0x09:
        if (count == 0) {
            replies->push_back({0.0, Frame(kIRCodeType, lastCode_)});
            return "get-ir-code";
        }
        lastCode_.assign(command.begin() + 2, command.end());
        return Named("send-ir-code", static_cast<int>(lastCode_.size()));
    case 0x0C: return count == 0 ? "ir-blast" : malformed("ir-blast");
    case 0x0D:
        if (count != 1) return malformed("set-channel");
        channel_ = command[2];
        return Named("set-channel", channel_);
    case 0x10: {
        if (count != 1) return malformed("get-info");
        if (command[2] > 9) {
            replies->push_back({0.0, ErrorPacket(kUnknownInfoKind)});
            return Named("get-info", command[2]) + ": unknown kind, error packet sent";
        }
        replies->push_back({0.0, Frame(kInfoType, InfoReply(command[2]))});
        return Named("get-info", command[2]);
    }
    case 0x12: return count == 1 ? Named("debug", command[2]) : malformed("debug");
    case 0x14: return count == 5 ? "program-id" : malformed("program-id");
    case 0x15: return command[2] == 0x02 ? "clear-hat" : malformed("clear-hat");
    case 0x17: return count == 1 ? Named("hid-mouse", command[2]) : malformed("hid-mouse");
    case 0x18: return count == 24 ? "hid-cal" : malformed("hid-cal");
    case 0x19: return count == 3 ? "hid-anti-shake" : malformed("hid-anti-shake");
    case 0x1A: {
        if (count != 1) return malformed("hid-default");
        // Back to defaults: the receiver reports its calibration and anti-shake.
        Bytes calibration;
        const int32_t values[6] = {100, 200, -300, 400, 1000, -1};
        for (int32_t v : values)
            for (int b = 0; b < 4; ++b)
                calibration.push_back(static_cast<uint8_t>((static_cast<uint32_t>(v) >> (8 * b)) & 0xFF));
        replies->push_back({0.0, Frame(kHIDCalType, calibration)});
        replies->push_back({0.0, Frame(kHIDAntiShakeType, Bytes{0x34, 0x12, 0x05})});
        return "hid-default";
    }
    case 0x1B: return count == 1 ? "hid-mappings" : malformed("hid-mappings");
    default:
        replies->push_back({0.0, ErrorPacket(kUnknownCommand)});
        return "unknown command, error packet sent";
    }
}

}  // namespace sim
