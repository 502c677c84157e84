// The TV_ getters, decoders, averages and setters over the shared record.
#include "TavroLinux.h"
#include "TestEnvironment.h"
#include "tavrodev.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class ApiAccessorsTest : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_EQ(TV_Initialize(), 0);
        r = TavroLinux->SharedData;
        ASSERT_NE(r, nullptr);
    }
    SharedDeviceState* r = nullptr;
};

TEST_F(ApiAccessorsTest, SecondInitializeKeepsTheFirstObject) {
    CTavroLinux* first = TavroLinux;
    EXPECT_EQ(TV_Initialize(), 0);
    EXPECT_EQ(TavroLinux, first);
}

TEST_F(ApiAccessorsTest, FlagSettersFollowTheirOwnRules) {
    TV_SetActivateCursor(2);
    EXPECT_EQ(r->ActivateCursor, 0);  // on only for exactly 1
    TV_SetActivateCursor(1);
    EXPECT_EQ(r->ActivateCursor, 1);
    TV_SetRotationCompensation(2);
    EXPECT_EQ(r->RotationCompensation, 1);  // on for anything above 0
    TV_SetRotationCompensation(-1);
    EXPECT_EQ(r->RotationCompensation, 0);
    TV_SetDistanceScaling(256);
    EXPECT_EQ(r->DistanceScaling, 0);  // low byte, unchanged
    TV_SetDistanceScaling(2);
    EXPECT_EQ(r->DistanceScaling, 2);
    TV_SmartTracking(0x1FF);
    EXPECT_EQ(r->SmartTracking, 0xFF);
    EXPECT_EQ(TV_MoveAtBoundary(7), 1);
    EXPECT_EQ(r->MoveAtBoundary, 1);
    TV_SetStabilize(3, 2);
    EXPECT_EQ(TV_GetStabilize(2), 1);
    TV_SetStabilize(0, 2);
    EXPECT_EQ(TV_GetStabilize(2), 0);
    TV_SetDistanceScaling(0);
}

TEST_F(ApiAccessorsTest, PointingModeSetters) {
    r->SmartPoint = 1;
    EXPECT_EQ(TV_SetDirectPoint(), 1);
    EXPECT_EQ(r->DirectPoint, 1);
    EXPECT_EQ(r->MoveAtBoundary, 0);
    EXPECT_EQ(r->SmartPoint, 1);  // left as it was
    EXPECT_EQ(TV_SetGamePoint(), 1);
    EXPECT_EQ(r->DirectPoint, 0);
    EXPECT_EQ(r->SmartPoint, 0);
    EXPECT_EQ(r->MoveAtBoundary, 1);
    EXPECT_EQ(TV_SetSmartPoint(), 1);
    EXPECT_EQ(r->DirectPoint, 0);
    EXPECT_EQ(r->SmartPoint, 1);
    EXPECT_EQ(r->MoveAtBoundary, 1);
    TV_SetDirectPoint();
}

TEST_F(ApiAccessorsTest, ButtonDecodersReportEachHeldBitInTheirOrder) {
    const int buttonBits[] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 9, 12, 15};
    const int extBits[] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 9, 10, 11, 12, 15};
    for (int bit = 0; bit < 16; ++bit) {
        r->Buttons[1] = 0xFFFF & ~(1 << bit);
        char b[12];
        ASSERT_EQ(TV_GetButtons(&b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &b[8],
                                &b[9], &b[10], &b[11], 1),
                  1);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(b[i], buttonBits[i] == bit) << "bit " << bit;
        char e[14];
        TV_GetButtonsExt(&e[0], &e[1], &e[2], &e[3], &e[4], &e[5], &e[6], &e[7], &e[8], &e[9],
                         &e[10], &e[11], &e[12], &e[13], 1);
        for (int i = 0; i < 14; ++i) EXPECT_EQ(e[i], extBits[i] == bit) << "bit " << bit;
    }
}

TEST_F(ApiAccessorsTest, ClickWheelWeighsBitsFiveToTen) {
    struct Case {
        int word;
        int wheel;
    } cases[] = {{-1, 0}, {0, 119}, {0xFFFF & ~(1 << 5), 1}, {0xFFFF & ~(1 << 7), 4},
                 {0xFFFF & ~(1 << 8), 16}, {0xFFFF & ~(1 << 10), 64},
                 {0xFFFF & ~((1 << 6) | (1 << 9)), 34}};
    for (const Case& c : cases) {
        r->Buttons[3] = c.word;
        char b[7];
        int wheel = -1;
        TV_GetClickWheel(&b[0], &b[1], &b[2], &b[3], &b[4], &wheel, &b[5], &b[6], 3);
        EXPECT_EQ(wheel, c.wheel) << std::hex << c.word;
    }
    r->Buttons[3] = 0xFFFF & ~((1 << 0) | (1 << 12) | (1 << 15));
    char b[7];
    int wheel;
    TV_GetClickWheel(&b[0], &b[1], &b[2], &b[3], &b[4], &wheel, &b[5], &b[6], 3);
    EXPECT_EQ(std::vector<char>(b, b + 7), (std::vector<char>{1, 0, 0, 0, 0, 1, 1}));
    r->Buttons[3] = -1;
}

TEST_F(ApiAccessorsTest, VirtualButtonsCopyTheRecordFlagsInOrder) {
    SharedDeviceState saved = *r;
    r->AngleBelowLimit[2] = 1;
    r->DistanceIncreased[2] = 1;
    r->BorderTop[2] = 1;
    r->BorderRight[2] = 1;
    char v[8];
    EXPECT_EQ(TV_GetVirtualButtons(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], 2), 1);
    EXPECT_EQ(std::vector<char>(v, v + 8), (std::vector<char>{1, 0, 0, 1, 0, 1, 0, 1}));
    std::memcpy(r, &saved, sizeof saved);
}

TEST_F(ApiAccessorsTest, HistoryAveragesClampTheirCount) {
    for (int n = 0; n < TAVRO_HISTORY_ENTRIES; ++n) {
        r->History[n][1].Distance = n + 1;
        r->History[n][1].Roll = -(n + 1);
        r->History[n][1].ThetaX = 2.0 * (n + 1);
        r->History[n][2].Distance = 1000.0;
    }
    EXPECT_DOUBLE_EQ(TV_GetAverageDistance(0, 1), 1.0);
    EXPECT_DOUBLE_EQ(TV_GetAverageDistance(-5, 1), 1.0);
    EXPECT_DOUBLE_EQ(TV_GetAverageDistance(3, 1), 2.0);
    EXPECT_DOUBLE_EQ(TV_GetAverageDistance(100, 1), 30.5);
    EXPECT_DOUBLE_EQ(TV_GetAverageRoll(4, 1), -2.5);
    EXPECT_DOUBLE_EQ(TV_GetAverageThetaX(60, 1), 61.0);
    EXPECT_DOUBLE_EQ(TV_GetAverageDistance(10, 2), 1000.0);
}

TEST_F(ApiAccessorsTest, GettersReadTheRecord) {
    r->X[3] = 1279.9;
    r->Y[3] = -0.5;
    r->Power2[3] = 77;
    EXPECT_DOUBLE_EQ(TV_GetX(3), 1279.9);
    EXPECT_DOUBLE_EQ(TV_GetY(3), -0.5);
    EXPECT_EQ(TV_GetPower2(3), 77);
    int width = 0, height = 0;
    EXPECT_EQ(TV_GetCalScreen(&width, &height), 1);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 768);
    double distance = 0;
    TV_GetCalDistance(&distance);
    EXPECT_DOUBLE_EQ(distance, 3.1);
    char path[256];
    TV_GetTavroMenuPath(path);
    EXPECT_STREQ(path, "Start_TavroMENU.exe");
    EXPECT_EQ(TV_GetDataPacketInterval(), 1);
}

TEST_F(ApiAccessorsTest, BadHandsetIndexesAndPointersTouchNothing) {
    r->Buttons[0] = 0;
    SharedDeviceState before;
    std::memcpy(&before, r, sizeof before);
    for (int user : {-1, 4, 1000, -100000}) {
        EXPECT_EQ(TV_GetX(user), 0.0);
        EXPECT_EQ(TV_GetButton(user), 0);
        EXPECT_EQ(TV_GetAverageDistance(5, user), 0.0);
        EXPECT_EQ(TV_SetStabilize(1, user), 0);
        char out = 42;
        int wheel = 42;
        EXPECT_EQ(TV_GetClickWheel(&out, &out, &out, &out, &out, &wheel, &out, &out, user), 0);
        EXPECT_EQ(out, 42);
        EXPECT_EQ(wheel, 42);
    }
    // Null outputs are left alone, the others still filled.
    char held = 0;
    int wheel = 0;
    EXPECT_EQ(TV_GetClickWheel(nullptr, nullptr, &held, nullptr, nullptr, &wheel, nullptr,
                               nullptr, 0),
              1);
    EXPECT_EQ(held, 1);
    EXPECT_EQ(wheel, 119);
    EXPECT_EQ(TV_GetCalScreen(nullptr, nullptr), 1);
    EXPECT_EQ(TV_SetTavroMenuPath(nullptr), 0);
    EXPECT_EQ(std::memcmp(&before, r, sizeof before), 0);
    r->Buttons[0] = -1;
}

TEST_F(ApiAccessorsTest, StopDeviceRaisesTheFlagAndKeepsPositions) {
    r->X[0] = 640.0;
    EXPECT_EQ(TV_StopDevice(), 1);
    EXPECT_EQ(r->StopRequest, 1);
    EXPECT_DOUBLE_EQ(TV_GetX(0), 640.0);
    r->StopRequest = 0;
}

TEST_F(ApiAccessorsTest, PersistentSettersStoreAndReturnTheWriteResult) {
    EXPECT_EQ(TV_SetMx(1.5), 0);
    EXPECT_DOUBLE_EQ(TV_GetMx(), 1.5);
    EXPECT_EQ(TV_SetCalScreen(1920, 1080), 0);
    EXPECT_EQ(r->XcalScreen, 1920);
    EXPECT_EQ(TV_SetXYCounterMax(5), 1);
    EXPECT_EQ(TV_GetXYCounterMax(), 5);
    EXPECT_EQ(TV_SetTavroMenu(0x101), 1);
    EXPECT_EQ(r->TavroMenu, 1);
    std::string longPath(400, 'p');
    EXPECT_EQ(TV_SetTavroMenuPath(longPath.c_str()), 1);
    EXPECT_EQ(std::strlen(r->TavroMenuPath), 255u);
    EXPECT_EQ(TV_SetCalDistance(2.0), 1);
}

}  // namespace
