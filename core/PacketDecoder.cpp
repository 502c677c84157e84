// Decoding of the receiver's packets: every payload is kept in RawData, the
// understood types update their fields of the record, and a plausible
// tracking packet is handed to a calculation pass on a thread of its own.
#include "RecordAccess.h"
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
    using tavro::LoadField;
    using tavro::StoreField;

    // The framing never announces more than 510 bytes; a caller that does is
    // cut to what the record can hold rather than allowed past RawData.
    if (length < 0 || payload == nullptr) length = 0;
    if (length > static_cast<int>(sizeof r.RawData)) length = sizeof r.RawData;

    // Every packet: RawData holds the payload, zero-padded, so that the type
    // cases below can read fixed offsets of a short payload as zero.  They
    // read this private copy, which another process cannot change under them.
    uint8_t data[sizeof r.RawData] = {};
    if (length > 0) std::memcpy(data, payload, static_cast<size_t>(length));
    tavro::StoreBytes(r.RawData, data, sizeof data);
    StoreField(r.RawDataLength, length);

    switch (type) {
    case TrackingPacket:
        if (IsPlausibleTracking(data)) CreateDataPacketThread();
        break;

    case IRCodePacket:
        StoreField(r.LearnInProgress, 0);
        StoreField(r.PODChannel, BigEndianWord(data));
        StoreField(r.IRCodeLength, length);
        tavro::StoreBytes(r.IRCode, data, static_cast<size_t>(length));
        break;

    case ErrorPacket:
        StoreField(r.LastError, data[0]);
        break;

    case InfoPacket: {
        // Replies may announce up to 255 bytes; the buffer keeps the first 128
        // and the fields after it stay untouched.
        int kept = length < static_cast<int>(sizeof r.InfoBuffer) ? length
                                                                   : static_cast<int>(sizeof r.InfoBuffer);
        tavro::StoreBytes(r.InfoBuffer, data, static_cast<size_t>(kept));
        StoreField(r.InfoLength, kept);
        break;
    }

    case MicPacket: {
        const int32_t sounds = LoadField(r.SoundCount);
        if (sounds < TAVRO_MIC_BLOCKS - 1) StoreField(r.SoundCount, sounds + 1);
        int32_t index = LoadField(r.MicWriteIndex);
        // A damaged index must not write outside MicData.
        if (index < 0 || index >= TAVRO_MIC_BLOCKS) index = 0;
        if (index != 0) {
            tavro::StoreBytes(r.MicData[index], data, TAVRO_MIC_BLOCK_SIZE);
            StoreField(r.MicWriteIndex, index - 1);
        } else {
            // Full: the newest block is always block 0, the oldest falls out.
            StoreField(r.MicWriteIndex, 0);
            tavro::MoveBytes(r.MicData, TAVRO_MIC_BLOCK_SIZE, 0,
                             (TAVRO_MIC_BLOCKS - 1) * TAVRO_MIC_BLOCK_SIZE);
            tavro::StoreBytes(r.MicData[0], data, TAVRO_MIC_BLOCK_SIZE);
        }
        break;
    }

    case HIDCalPacket:
        for (int k = 0; k < 6; ++k) StoreField(r.HIDCal[k], LittleEndianInt32(data + 4 * k));
        break;

    case HIDAntiShakePacket:
        StoreField(r.HIDAntiShakeValue, data[0] | (data[1] << 8));
        StoreField(r.HIDAntiShakeLevel, data[2]);
        break;

    case ImagePacket: {
        uint8_t image[sizeof r.ImageData] = {};
        StoreField(r.ImageWidth, BigEndianWord(data));
        StoreField(r.ImageHeight, BigEndianWord(data + 2));
        int count = BigEndianWord(data + 4);
        if (count > static_cast<int>(sizeof r.ImageData)) count = sizeof r.ImageData;
        StoreField(r.ImageLength, count);
        std::memcpy(image, data + 6, static_cast<size_t>(count));
        tavro::StoreBytes(r.ImageData, image, sizeof image);
        break;
    }

    default:
        // Other types are kept in RawData only.
        break;
    }
    return 0;
}
