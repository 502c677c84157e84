// Decoding of the receiver's packets: every payload is kept in RawData, the
// understood types update their fields of the record, and a plausible
// tracking packet is handed to a calculation pass on a thread of its own.
#include "TavroCore.h"

#include <cstdint>
#include <cstring>

namespace {

enum PacketType : unsigned char {
    TrackingPacket = 1,
    IRCodePacket = 9,
    ErrorPacket = 11,
    InfoPacket = 17,
    MicPacket = 22,
    HIDCalPacket = 24,
    HIDAntiShakePacket = 25,
    ImagePacket = 32,
};

inline int BigEndianWord(const uint8_t* bytes) { return (bytes[0] << 8) | bytes[1]; }

inline int32_t LittleEndianInt32(const uint8_t* bytes) {
    uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                     static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<int32_t>(value);
}

// A tracking packet is plausible when at most two of the keypad lines 0-9
// are held (active-low), the high byte of each spot coordinate is at most
// 152 and neither power's high byte is 255 (a spot the camera lost).
bool IsPlausibleTracking(const uint8_t* payload) {
    unsigned word = static_cast<unsigned>(BigEndianWord(payload));
    int held = 0;
    for (int bit = 0; bit < 10; ++bit)
        if ((word & (1u << bit)) == 0) ++held;
    if (held > 2) return false;
    constexpr uint8_t kMaxCoordinateHigh = 152;
    return payload[2] <= kMaxCoordinateHigh && payload[4] <= kMaxCoordinateHigh &&
           payload[6] != 255 && payload[8] <= kMaxCoordinateHigh &&
           payload[10] <= kMaxCoordinateHigh && payload[12] != 255;
}

}  // namespace

int CTavroCore::HandlePODDeviceData(unsigned char* payload, int length, unsigned char type) {
    SharedDeviceState& r = *SharedData;

    // The framing never announces more than 510 bytes; a caller that does is
    // cut to what the record can hold rather than allowed past RawData.
    if (length < 0 || payload == nullptr) length = 0;
    if (length > static_cast<int>(sizeof r.RawData)) length = sizeof r.RawData;

    // Every packet: RawData holds the payload, zero-padded, so that the type
    // cases below can read fixed offsets of a short payload as zero.
    std::memset(r.RawData, 0, sizeof r.RawData);
    if (length > 0) std::memcpy(r.RawData, payload, static_cast<size_t>(length));
    r.RawDataLength = length;
    const uint8_t* data = r.RawData;

    switch (type) {
    case TrackingPacket:
        if (IsPlausibleTracking(data)) CreateDataPacketThread();
        break;

    case IRCodePacket:
        r.LearnInProgress = 0;
        r.PODChannel = BigEndianWord(data);
        r.IRCodeLength = length;
        std::memcpy(r.IRCode, data, static_cast<size_t>(length));
        break;

    case ErrorPacket:
        r.LastError = data[0];
        break;

    case InfoPacket: {
        // Replies may announce up to 255 bytes; the buffer keeps the first 128
        // and the fields after it stay untouched.
        int kept = length < static_cast<int>(sizeof r.InfoBuffer) ? length
                                                                   : static_cast<int>(sizeof r.InfoBuffer);
        std::memcpy(r.InfoBuffer, data, static_cast<size_t>(kept));
        r.InfoLength = kept;
        break;
    }

    case MicPacket:
        if (r.SoundCount < TAVRO_MIC_BLOCKS - 1) ++r.SoundCount;
        if (r.MicWriteIndex < 0 || r.MicWriteIndex >= TAVRO_MIC_BLOCKS)
            r.MicWriteIndex = 0;  // a damaged index must not write outside MicData
        if (r.MicWriteIndex != 0) {
            std::memcpy(r.MicData[r.MicWriteIndex], data, TAVRO_MIC_BLOCK_SIZE);
            --r.MicWriteIndex;
        } else {
            // Full: the newest block is always block 0, the oldest falls out.
            std::memmove(r.MicData[1], r.MicData[0],
                         (TAVRO_MIC_BLOCKS - 1) * TAVRO_MIC_BLOCK_SIZE);
            std::memcpy(r.MicData[0], data, TAVRO_MIC_BLOCK_SIZE);
        }
        break;

    case HIDCalPacket:
        for (int k = 0; k < 6; ++k) r.HIDCal[k] = LittleEndianInt32(data + 4 * k);
        break;

    case HIDAntiShakePacket:
        r.HIDAntiShakeValue = data[0] | (data[1] << 8);
        r.HIDAntiShakeLevel = data[2];
        break;

    case ImagePacket: {
        std::memset(r.ImageData, 0, sizeof r.ImageData);
        r.ImageWidth = BigEndianWord(data);
        r.ImageHeight = BigEndianWord(data + 2);
        int count = BigEndianWord(data + 4);
        if (count > static_cast<int>(sizeof r.ImageData)) count = sizeof r.ImageData;
        r.ImageLength = count;
        std::memcpy(r.ImageData, data + 6, static_cast<size_t>(count));
        break;
    }

    default:
        // Other types are kept in RawData only.
        break;
    }
    return 0;
}
