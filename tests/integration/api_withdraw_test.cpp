// API fetches that got no answer in time take their request back: a device
// started afterwards does not send it.
#include "DeviceHarness.h"
#include "Process.h"
#include "tavrodev.h"

#include <memory>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

SharedDeviceState& Record() { return *TavroLinux->SharedData; }

TEST(ApiWithdraw, FetchesWithoutADeviceLeaveNoRequestForALaterOne) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    TempHome home;
    ASSERT_EQ(TV_Initialize(), 0);
    // The device runs on an object of its own, as in the daemon, reached only
    // through the record.  Set up first: its start-up clears every request.
    KitOn<> device("");
    ASSERT_TRUE(device.initialized);
    SharedDeviceState& r = Record();
    unsigned char reply[128] = {};
    EXPECT_EQ(TV_GetPODVersion(reply), 1);
    EXPECT_EQ(r.GetInfoRequest, 0);
    int length = -1;
    EXPECT_EQ(TV_GetIRCode(reply, &length), 1);
    EXPECT_EQ(r.GetIRCodeRequest, 0);

    // The device starts later: the fetches above do not reach the receiver.
    const std::string log = home.path() + "/commands.log";
    ChildProcess simulator(TAVRO_SIM_PATH, {"--rate", "0", "--command-log", log});
    std::string slave;
    ASSERT_TRUE(simulator.readLine(&slave));
    r.StopRequest = 0;
    SetDeviceName(r, slave);
    {
        RunningDevice running(device.kit);
        ASSERT_GT(device.kit.DeviceFd(), 0);
        // The simulator sends no packet at rate 0; it stands for a receiver.
        device.kit.OpenTty()->answered.store(true);
        EXPECT_EQ(TV_SetPODChannel(9), 1);
        ASSERT_TRUE(WaitFor([&] { return ReadFile(log).find("rx 0d 01 09  ") != std::string::npos; }));
        // The writer serves every flag in one pass: pending fetches would
        // have gone out with the channel.
        EXPECT_EQ(ReadFile(log).find("rx 10 01 04"), std::string::npos) << ReadFile(log);
        EXPECT_EQ(ReadFile(log).find("rx 09 00"), std::string::npos) << ReadFile(log);
    }
}

}  // namespace
