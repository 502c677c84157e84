// The IR-code command at the ends of its range.  Every other command's bytes
// are checked on the wire by the device-thread tests.
#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class CommandPlatform : public tavro::test::FakePlatform {
public:
    int SendCommand(unsigned char* buffer, unsigned long length) override {
        sent.emplace_back(buffer, buffer + length);
        return 0;
    }
    std::vector<std::vector<unsigned char>> sent;
};

TEST(Encoders, LongestIRCodeFillsTheCommand) {
    CommandPlatform platform;
    for (int i = 0; i < 512; ++i) platform.SharedData->IRCode[i] = static_cast<unsigned char>(i);
    platform.SharedData->IRCodeLength = 510;
    platform.SendSendIRCode();
    ASSERT_EQ(platform.sent.size(), 1u);
    ASSERT_EQ(platform.sent[0].size(), 512u);
    EXPECT_EQ(platform.sent[0][1], 0xFF) << "255 words";
    EXPECT_EQ(platform.sent[0][511], 509 & 0xFF);
}

TEST(Encoders, EmptyIRCodeIsTheGetCommandsBytes) {
    CommandPlatform platform;
    platform.SharedData->IRCodeLength = 0;
    platform.SendSendIRCode();
    ASSERT_EQ(platform.sent.size(), 1u);
    EXPECT_EQ(platform.sent[0], (std::vector<unsigned char>{0x09, 0x00}));
}

TEST(Encoders, UnencodableIRCodeLengthSendsNothing) {
    for (int length : {-1, 511, 100000}) {
        CommandPlatform platform;
        platform.SharedData->IRCodeLength = length;
        EXPECT_EQ(platform.SendSendIRCode(), 0);
        EXPECT_TRUE(platform.sent.empty()) << "length " << length;
    }
}

}  // namespace
