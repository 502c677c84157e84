// The decoder's decisions that the recorded-stream regression does not
// reach: the plausibility boundaries of tracking packets, bounds of the
// copies, and the microphone ring once it is full.
#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

class DecoderPlatform : public tavro::test::FakePlatform {
public:
    DecoderPlatform() { SharedData->MicWriteIndex = TAVRO_MIC_BLOCKS - 1; }
    int CreateDataPacketThread() override { return ++passes, 0; }
    void Decode(unsigned char type, Bytes p) { HandlePODDeviceData(p.data(), static_cast<int>(p.size()), type); }
    int passes = 0;
};

struct TrackingCase {
    const char* name;
    unsigned buttons, ax, ay, ap, bx, by, bp;
    int passes;
};
void PrintTo(const TrackingCase& c, std::ostream* os) { *os << c.name; }

class TrackingPlausibility : public testing::TestWithParam<TrackingCase> {};

TEST_P(TrackingPlausibility, StartsAPassOnlyForPlausiblePackets) {
    const TrackingCase& c = GetParam();
    DecoderPlatform platform;
    Bytes payload = tavro::test::Tracking(3, c.buttons, c.ax, c.ay, c.ap, c.bx, c.by, c.bp);
    payload.resize(14);
    platform.Decode(1, payload);
    EXPECT_EQ(platform.passes, c.passes);
    EXPECT_EQ(platform.SharedData->RawDataLength, 14) << "kept even when dropped";
}

// High bytes: 0x98 is 152, 0x99 153; powers 0xFE.. (254) pass, 0xFF.. (255) do not.
INSTANTIATE_TEST_SUITE_P(
    Decoder, TrackingPlausibility,
    testing::Values(TrackingCase{"NothingHeld", 0xFFFF, 20000, 14400, 50, 16000, 14400, 50, 1},
                    TrackingCase{"TwoKeysHeld", 0xFFEE, 20000, 14400, 50, 16000, 14400, 50, 1},
                    TrackingCase{"ThreeKeysHeld", 0xFEEE, 20000, 14400, 50, 16000, 14400, 50, 0},
                    TrackingCase{"ThreeOfLines10To12Held", 0xE3FF, 20000, 14400, 50, 16000, 14400, 50, 1},
                    TrackingCase{"HighByte152", 0xFFFF, 0x98FF, 0x98FF, 50, 0x98FF, 0x98FF, 50, 1},
                    TrackingCase{"AX153", 0xFFFF, 0x9900, 14400, 50, 16000, 14400, 50, 0},
                    TrackingCase{"AY153", 0xFFFF, 20000, 0x9900, 50, 16000, 14400, 50, 0},
                    TrackingCase{"BX153", 0xFFFF, 20000, 14400, 50, 0x9900, 14400, 50, 0},
                    TrackingCase{"BY153", 0xFFFF, 20000, 14400, 50, 16000, 0x9900, 50, 0},
                    TrackingCase{"Powers254", 0xFFFF, 20000, 14400, 0xFEFF, 16000, 14400, 0xFEFF, 1},
                    TrackingCase{"PowerA255", 0xFFFF, 20000, 14400, 0xFF00, 16000, 14400, 50, 0},
                    TrackingCase{"PowerB255", 0xFFFF, 20000, 14400, 50, 16000, 14400, 0xFF00, 0}),
    [](const testing::TestParamInfo<TrackingCase>& info) { return std::string(info.param.name); });

TEST(Decoder, OversizedLengthStaysInsideItsFields) {
    DecoderPlatform platform;
    platform.Decode(9, Bytes(700, 0xAB));
    const SharedDeviceState& r = *platform.SharedData;
    EXPECT_EQ(r.RawDataLength, 512);
    EXPECT_EQ(r.IRCodeLength, 512);
    EXPECT_EQ(r.ProgramIDBytes[0], 0) << "written past RawData";
    EXPECT_EQ(r.MotorSetting, 0) << "written past IRCode";
}

TEST(Decoder, MicrophoneBlocksFillDownwardsThenShift) {
    DecoderPlatform platform;
    const SharedDeviceState& r = *platform.SharedData;
    for (int n = 1; n <= 1023; ++n) platform.Decode(22, Bytes(20, static_cast<unsigned char>(n)));
    EXPECT_EQ(r.MicData[1023][0], 1);
    EXPECT_EQ(r.MicData[1][0], 1023 & 0xFF);
    EXPECT_EQ(r.MicWriteIndex, 0);
    EXPECT_EQ(r.SoundCount, 1023);

    platform.Decode(22, Bytes{0xA1});  // short: the rest of the block is zero
    EXPECT_EQ(r.MicData[0][0], 0xA1);
    EXPECT_EQ(r.MicData[0][1], 0);
    EXPECT_EQ(r.MicData[1][0], 0) << "the former block 0 moved up";
    EXPECT_EQ(r.MicData[2][0], 1023 & 0xFF);
    EXPECT_EQ(r.MicData[1023][0], 2) << "the oldest block fell out";
    EXPECT_EQ(r.SoundCount, 1023) << "the count saturates";
}

}  // namespace
