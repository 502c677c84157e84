// The demo program against the real segment (in this test's own IPC
// namespace), and the record's start values as another process sees them,
// read by byte offset rather than through the kit's own declaration.
#include "Process.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

template <typename T>
T At(const uint8_t* segment, size_t offset) {
    T value;
    std::memcpy(&value, segment + offset, sizeof value);
    return value;
}

#ifdef TAVRO_DEMO_PATH
TEST(Demo, PrintsZeroPositionsAboutEvery30msWithoutADevice) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    tavro::test::ChildProcess demo(TAVRO_DEMO_PATH, {});
    std::string line;
    ASSERT_TRUE(demo.readLine(&line));
    auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(demo.readLine(&line));
        EXPECT_EQ(line, "X = 0, Y = 0");
    }
    // Ten more lines cannot come faster than ten 30 ms pauses.
    EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(290));
}

TEST(Demo, AnotherProcessFindsStartValuesAndDefaultsAtTheirOffsets) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    tavro::test::ChildProcess demo(TAVRO_DEMO_PATH, {});
    ASSERT_TRUE(demo.waitForOutput("X = 0, Y = 0"));

    int id = shmget(1103, 0, 0);
    ASSERT_GE(id, 0);
    shmid_ds status{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &status), 0);
    EXPECT_EQ(status.shm_segsz, 33432u);
    EXPECT_EQ(status.shm_perm.mode & 0777, 0666u);
    auto* segment = static_cast<const uint8_t*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(segment, reinterpret_cast<const uint8_t*>(-1));

    for (int u = 0; u < 4; ++u) EXPECT_EQ(At<int32_t>(segment, 0x0B08 + 4 * u), -1);
    EXPECT_EQ(segment[0x0869], 1);  // RotationCompensation
    EXPECT_EQ(segment[0x0890], 1);  // MoveEnabled
    EXPECT_EQ(segment[0x0892], 1);  // DirectPoint
    EXPECT_EQ(segment[0x0896], 1);  // MouseClick
    EXPECT_EQ(segment[0x0897], 1);  // QuickClick
    EXPECT_EQ(At<int32_t>(segment, 0x0ADC), 1023);  // MicWriteIndex
    EXPECT_EQ(At<int32_t>(segment, 0x0AF4), 99);    // PacketUser
    EXPECT_EQ(At<int32_t>(segment, 0x0AF0), 0);     // CurrentUser
    // Settings defaults.
    EXPECT_EQ(At<int32_t>(segment, 0x0A54), 115200);  // BaudRate
    EXPECT_EQ(At<int32_t>(segment, 0x0A7C), 12);      // ClickStill
    EXPECT_EQ(At<int32_t>(segment, 0x0B04), 30);      // SleepingFactor
    EXPECT_EQ(At<int32_t>(segment, 0x0AF8), 1280);    // XcalScreen
    EXPECT_EQ(At<double>(segment, 0x0B18), 5.0);      // Mx
    EXPECT_EQ(At<double>(segment, 0x0B20), -250.0);   // Bx
    EXPECT_EQ(At<double>(segment, 0x0B38), 70.0);     // D0
    EXPECT_EQ(At<double>(segment, 0x0D08), 3.1);      // CalDistance
    EXPECT_EQ(At<double>(segment, 0x0CC8), 0.04);     // DistanceThresh
    EXPECT_STREQ(reinterpret_cast<const char*>(segment + 0x00B0), "/dev/ttyUSB0");
    EXPECT_STREQ(reinterpret_cast<const char*>(segment + 0x0130), "Start_TavroMENU.exe");
    shmdt(segment);
}

// Help and version answer at once and leave the kit alone: no positions, no
// segment created.
TEST(Demo, HelpAndVersionPrintNoPositions) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    tavro::test::RemoveSegment(1103);
    std::string output;
    EXPECT_EQ(tavro::test::RunProgram(TAVRO_DEMO_PATH, {"--help"}, &output), 0);
    EXPECT_EQ(output.rfind("Usage: tavro-demo", 0), 0u) << output;
    EXPECT_EQ(output.find("\nX = "), std::string::npos) << output;  // no position lines
    EXPECT_EQ(tavro::test::RunProgram(TAVRO_DEMO_PATH, {"--version"}, &output), 0);
    EXPECT_EQ(output.rfind("tavro-demo 1.", 0), 0u) << output;
    EXPECT_EQ(tavro::test::RunProgram(TAVRO_DEMO_PATH, {"--colour"}, &output), 2);
    EXPECT_EQ(output, "tavro-demo: unknown argument \"--colour\" (see tavro-demo --help)\n");
    EXPECT_LT(shmget(1103, 0, 0), 0);
}
#endif

}  // namespace
