// Every TV_ function is safe before TV_Initialize and after a failed one.
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "tavrodev.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

void ExpectNothingWorks() {
    EXPECT_EQ(TV_GetX(0), 0.0);
    EXPECT_EQ(TV_GetBaudRate(), 0);
    EXPECT_EQ(TV_GetMx(), 0.0);
    EXPECT_EQ(TV_GetCurrentUser(), 0);
    EXPECT_EQ(TV_GetLastError(), 0);
    EXPECT_EQ(TV_GetAverageRoll(3, 0), 0.0);
    EXPECT_EQ(TV_SetMx(2.0), 0);
    EXPECT_EQ(TV_SetDirectPoint(), 0);
    EXPECT_EQ(TV_SetTavroMenuPath("x"), 0);
    char out = 5;
    EXPECT_EQ(TV_GetTavroMenu(&out), 0);
    EXPECT_EQ(out, 5);
    // Functions that need no object keep working.
    EXPECT_EQ(TV_GetLatestError(), 0);
    EXPECT_EQ(TV_GetErrorString(), 0);
    EXPECT_EQ(TV_GetDataPacketInterval(), 1);
}

TEST(ApiWithoutRecord, EveryFunctionReturnsZeroBeforeInitialize) {
    EXPECT_EQ(TavroLinux, nullptr);
    ExpectNothingWorks();
    EXPECT_EQ(TV_StopDevice(), 1);
}

TEST(ApiWithoutRecord, StaleSegmentMakesInitializeFailAndLaterCallsSafe) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    int stale = shmget(TAVRO_SHARED_MEMORY_KEY, 64, IPC_CREAT | 0666);
    ASSERT_GE(stale, 0);
    EXPECT_EQ(TV_Initialize(), 1);
    EXPECT_EQ(TavroLinux, nullptr);
    ExpectNothingWorks();
    // Once the stale segment is gone, a new attempt succeeds.
    shmctl(stale, IPC_RMID, nullptr);
    EXPECT_EQ(TV_Initialize(), 0);
    EXPECT_EQ(TV_GetBaudRate(), 115200);
}

}  // namespace
