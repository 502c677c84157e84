// The command and diagnostics API end to end: a client's TV_ calls, the
// device running in this process and the simulated receiver answering and
// logging the commands it got.  The device runs on a platform object of its
// own, as in the daemon, so that the client's calls reach it only through
// the record, each object with its own attachment of the segment.
#include "DeviceHarness.h"
#include "Process.h"
#include "tavrodev.h"

#include <functional>
#include <memory>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

SharedDeviceState& Record() { return *TavroLinux->SharedData; }

// The device's object; like the API's, it lives as long as the process (its
// destructor would remove the segment that the API's object still uses).
CTavroLinux& Device() {
    static CTavroLinux* device = [] {
        auto* kit = new CTavroLinux();
        kit->Initialize();
        return kit;
    }();
    return *device;
}

class Api : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_EQ(TV_Initialize(), 0);
    }
};

// ... with the simulated receiver and the device running.
class ApiWithReceiver : public Api {
protected:
    void SetUp() override {
        Api::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        log_ = std::string(getenv("HOME")) + "/commands.log";
        unlink(log_.c_str());
        simulator_ = std::make_unique<ChildProcess>(
            TAVRO_SIM_PATH, std::vector<std::string>{"--rate", "0", "--learn-delay", "100", "--command-log", log_});
        std::string slave;
        ASSERT_TRUE(simulator_->readLine(&slave));
        ASSERT_NE(Device().SharedData, nullptr);
        Record().StopRequest = 0;
        SetDeviceName(Record(), slave);
        device_ = std::make_unique<RunningDevice>(Device());
        ASSERT_GT(Device().DeviceFd(), 0);
        // The simulator sends no packet at rate 0; it stands for a receiver.
        Device().OpenTty()->answered.store(true);
    }
    void TearDown() override {
        if (!device_) return;
        device_.reset();
        // The next test's receiver is another pty, opened anew.
        Device().CloseDevice();
    }
    bool ReceiverGot(const std::string& hex) {
        return WaitFor([&] { return ReadFile(log_).find("rx " + hex + "  ") != std::string::npos; });
    }

private:
    std::string log_;
    std::unique_ptr<ChildProcess> simulator_;
    std::unique_ptr<RunningDevice> device_;
};

struct CommandCase {
    const char* name;
    std::function<int()> call;
    int result;
    std::function<bool(const SharedDeviceState&)> stored;
    const char* wire;  // as the receiver got it
};
void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandsReachTheReceiver : public ApiWithReceiver, public testing::WithParamInterface<CommandCase> {};

TEST_P(CommandsReachTheReceiver, WithTheirParametersClampedAndEncoded) {
    EXPECT_EQ(GetParam().call(), GetParam().result);
    EXPECT_TRUE(GetParam().stored(Record()));
    EXPECT_TRUE(ReceiverGot(GetParam().wire)) << GetParam().wire;
}

const unsigned char kCode[7] = {1, 2, 3, 4, 5, 6, 7};
using R = const SharedDeviceState&;

INSTANTIATE_TEST_SUITE_P(
    Api, CommandsReachTheReceiver,
    testing::Values(
        CommandCase{"ThresholdHigh", [] { return TV_SetThreshold(200); }, 1, [](R r) { return r.Threshold == 127; }, "03 01 7f"},
        CommandCase{"GainNegative", [] { return TV_SetGain(-5); }, 1, [](R r) { return r.Gain == 0; }, "04 01 00"},
        CommandCase{"Motor50", [] { return TV_StartMotor(50, 100, 7); }, 1,
                    [](R r) { return r.MotorSetting == 0x42 && r.MotorValue == 7; }, "02 02 07 42"},
        CommandCase{"MotorOtherModeHighLevel", [] { return TV_StartMotor(10, 5000, 0); }, 1,
                    [](R r) { return r.MotorSetting == 0xFF; }, "02 02 00 ff"},
        CommandCase{"ProgramIDLowByte", [] { return TV_ProgramID(1, 2, 3, 4, 256); }, 1,
                    [](R r) { return r.ProgramIDBytes[4] == 0; }, "14 05 01 02 03 04 00"},
        CommandCase{"SendIRCode", [] { return TV_SendIRCode(kCode, 7); }, 1,
                    [](R r) { return r.IRCodeLength == 7 && r.IRCode[7] == 0; }, "09 03 01 02 03 04 05 06 07"}),
    [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST_F(ApiWithReceiver, InformationGettersReturnTheReceiversReplies) {
    char text[7][129] = {};
    EXPECT_EQ(TV_GetPODVersion(text[0]), 1);
    EXPECT_STREQ(text[0], "POD 1.4.2");
    EXPECT_EQ(TV_TavroInfo(text[0], text[1], text[2], text[3], text[4], text[5], text[6]), 1);
    EXPECT_STREQ(text[0], "Tavro handheld (c) QuorVel");
    EXPECT_STREQ(text[3], "Tavro POD (c) QuorVel");
    EXPECT_STREQ(text[5], "2024-02-02");
    EXPECT_EQ(text[6][0], 0x01) << "assignment table";
}

TEST_F(ApiWithReceiver, LearnedCodeArrivesAndCanBeFetched) {
    TV_LearnCode();
    EXPECT_TRUE(WaitFor([] { return TV_GetIRActive() == 1; }, 1000ms)) << "learning never started";
    EXPECT_TRUE(WaitFor([] { return TV_GetIRActive() == 0; }, 2000ms)) << "no code came";
    unsigned char code[512] = {};
    int length = -1;
    EXPECT_EQ(TV_GetIRCode(code, &length), 1);
    EXPECT_EQ(length, 12);
    EXPECT_EQ(code[1], 3) << "a learned code starts with the channel";
}

TEST_F(Api, RefusedCommandsStoreAndRaiseNothing) {
    SharedDeviceState& r = Record();
    r.ProgramIDRequest = r.SendIRCodeRequest = 0;
    r.ProgramIDBytes[0] = 0x5A;
    EXPECT_EQ(TV_ProgramID(1, 2, 3, 4, 4), -1);
    EXPECT_EQ(r.ProgramIDBytes[0], 0x5A);
    EXPECT_EQ(TV_GetLatestError(), 3);

    unsigned char big[600] = {};
    r.IRCodeLength = 5;
    EXPECT_EQ(TV_SendIRCode(big, 511), -1);
    EXPECT_EQ(TV_SendIRCode(big, -1), -1);
    EXPECT_EQ(r.IRCodeLength, 5);
    EXPECT_EQ(r.ProgramIDRequest + r.SendIRCodeRequest, 0);
}

TEST_F(Api, FetchesNeverCopyMoreThanTheirField) {
    SharedDeviceState& r = Record();
    unsigned char out[1024];
    int length = 0, width = 0, height = 0;
    // Lengths another process may have left that the fields cannot hold.
    r.InfoLength = 1000;
    std::memset(out, 0xCC, sizeof out);
    TV_GetPODDate(out);
    EXPECT_EQ(out[128], 0xCC);
    r.IRCodeLength = 9999;
    TV_GetIRCode(out, &length);
    EXPECT_EQ(length, 512);
    r.RawDataLength = -5;
    TV_GetRawData(&length, out);
    EXPECT_EQ(length, 0);
    r.ImageLength = 100;
    std::memset(out, 0xCC, sizeof out);
    TV_Image(&width, &height, &length, out);
    EXPECT_EQ(length, 16);
    EXPECT_EQ(out[16], 0xCC);
}

TEST_F(Api, MicrophoneSamplesAreUnpackedOldestFirst) {
    SharedDeviceState& r = Record();
    std::memset(r.MicData, 0, sizeof r.MicData);
    const unsigned char group[5] = {0x80, 0x7F, 0x00, 0xFF, 0xE4};
    std::memcpy(r.MicData[1], group, sizeof group);  // the older block
    r.MicData[0][0] = 0x01;                          // the newest: sample 0 is 4
    r.SoundCount = 9;
    short samples[32] = {};
    EXPECT_EQ(TV_GetMicArray(samples, 0, 0), -1);
    EXPECT_EQ(TV_GetMicArray(samples, 1024, 0), -1);
    EXPECT_EQ(r.SoundCount, 9) << "a refused call changes nothing";

    EXPECT_EQ(TV_GetMicArray(samples, 2, 1), 1);
    EXPECT_EQ(std::vector<short>(samples, samples + 4), (std::vector<short>{-512, 509, 2, -1}));
    EXPECT_EQ(samples[16], 4);
    EXPECT_EQ(r.SoundCount, 0);
    EXPECT_EQ(r.MicData[0][0] + r.MicData[1][0], 0) << "clear empties the microphone data";
}

}  // namespace
