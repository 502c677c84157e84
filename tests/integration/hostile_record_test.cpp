// Any process can write the shared record, and a settings file can hold any
// number: the calculation pass and the pointer mapping must stay safe and
// keep every clamped position on a screen, whatever the record says.  These
// are the findings of the calculation-pass fuzz target (fuzz/), kept as tests
// of the real platform without a display, where the screen is the record's
// calibration screen.
#include "KitSegmentTest.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <regex>
#include <string>

namespace {

using tavro::test::KitSegmentTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// The X protocol's coordinate range: no screen is larger.
constexpr double kLargestScreen = 32767.0;

// Whether a clamped position lies on a screen (a position that is not a
// number moves nothing and may stay one).
bool OnScreen(double value) { return std::isnan(value) || (value >= 0.0 && value <= kLargestScreen + 1.0); }

// The kit with no display and no device threads, so that the platform
// computes every accepted packet's pass at once; sub-frames do not wait.
class InlineKit : public CTavroLinux {
public:
    int TV_Sleep(int) override { return 0; }
};

// A valid, near tracking packet of handset 0 aimed at the camera's centre
// (176, 144), no key held.
void TrackingPacket(CTavroLinux& kit, unsigned spread = 4000) {
    const unsigned ax = 17600 + spread / 2, bx = 17600 - spread / 2, y = 14400, power = 1000;
    unsigned char payload[14] = {0x9F,  // handset 0 in bits 13-14, every key up
                                 0xFF,
                                 static_cast<unsigned char>(ax >> 8), static_cast<unsigned char>(ax),
                                 static_cast<unsigned char>(y >> 8), static_cast<unsigned char>(y),
                                 static_cast<unsigned char>(power >> 8), static_cast<unsigned char>(power),
                                 static_cast<unsigned char>(bx >> 8), static_cast<unsigned char>(bx),
                                 static_cast<unsigned char>(y >> 8), static_cast<unsigned char>(y),
                                 static_cast<unsigned char>(power >> 8), static_cast<unsigned char>(power)};
    kit.HandlePODDeviceData(payload, sizeof payload, 1);
}

class HostileRecord : public KitSegmentTest {
protected:
    void SetUp() override {
        KitSegmentTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(getenv("DISPLAY"), nullptr) << "these cases are about the kit without a display";
        ASSERT_EQ(kit.Initialize(), 0);
        r = kit.SharedData;
        r->ActivateCursor = 1;
    }
    void TearDown() override {
        // The object detaches and removes the segment itself.
        kit.SharedData = nullptr;
        KitSegmentTest::TearDown();
    }

    InlineKit kit;
    SharedDeviceState* r = nullptr;
};

// The fault the fuzz target found first: with a calibration screen height of
// INT_MIN the bottom clamp computed INT_MIN - 1 (signed overflow) and put the
// pointer at 2147483647; every other hostile size must be as safe.
TEST_F(HostileRecord, ClampedPositionsStayOnScreenWhateverTheScreenSizeSays) {
    const int32_t sizes[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX};
    const double positions[] = {-kInf, -1e300, -5.5, 0.0, 500.0, 40000.0, 1e300, kInf, kNaN};
    for (int32_t width : sizes) {
        for (int32_t height : sizes) {
            r->XcalScreen = width;
            r->YcalScreen = height;
            for (double position : positions) {
                double x = position, y = position;
                kit.CalculatePODCoordinates(&x, &y);
                kit.CalculateScreenBorders(&x, &y, 0);
                EXPECT_TRUE(OnScreen(x)) << "x " << position << " on " << width << "x" << height << " -> " << x;
                EXPECT_TRUE(OnScreen(y)) << "y " << position << " on " << width << "x" << height << " -> " << y;
            }
        }
    }
}

// Whole passes in each pointing mode with the hostile sizes: the clamped
// position the record keeps in smart and game mode is on a screen.
TEST_F(HostileRecord, PassesWithHostileScreenSizesKeepThePointerOnScreen) {
    const int32_t sizes[] = {INT_MIN, -1, 0, INT_MAX};
    for (int mode = 0; mode < 2; ++mode) {
        r->DirectPoint = 0;
        r->SmartPoint = mode == 0 ? 1 : 0;
        for (int32_t height : sizes) {
            r->XcalScreen = height;
            r->YcalScreen = height;
            for (int packet = 0; packet < 5; ++packet) TrackingPacket(kit);
            EXPECT_TRUE(OnScreen(r->X[0])) << "mode " << mode << " size " << height << ": X " << r->X[0];
            EXPECT_TRUE(OnScreen(r->Y[0])) << "mode " << mode << " size " << height << ": Y " << r->Y[0];
        }
    }
}

// Any setting that is not a number, infinite, huge, negative or zero: the
// passes run to their end and keep the clamped position on a screen.
TEST_F(HostileRecord, PassesSurviveSettingsThatAreNotNumbers) {
    const double values[] = {kNaN, kInf, -kInf, 0.0, -1.0, 1e300, -1e300};
    double SharedDeviceState::*settings[] = {&SharedDeviceState::D0,         &SharedDeviceState::Cpixel,
                                             &SharedDeviceState::Mx,         &SharedDeviceState::Bx,
                                             &SharedDeviceState::My,         &SharedDeviceState::By,
                                             &SharedDeviceState::StabThresh, &SharedDeviceState::DistanceThresh,
                                             &SharedDeviceState::CThetaX,    &SharedDeviceState::DistanceCounterMax};
    r->DirectPoint = 0;
    r->SmartPoint = 1;
    r->XcalScreen = 1280;
    r->YcalScreen = 768;
    for (auto setting : settings) {
        for (double value : values) {
            const double saved = r->*setting;
            r->*setting = value;
            for (int packet = 0; packet < 3; ++packet) TrackingPacket(kit);
            EXPECT_TRUE(OnScreen(r->X[0])) << value << ": X " << r->X[0];
            EXPECT_TRUE(OnScreen(r->Y[0])) << value << ": Y " << r->Y[0];
            r->*setting = saved;
        }
    }
}

// The settings reader turns a number below the integer range into INT_MIN;
// a file holding one must not make the next passes misbehave.
TEST_F(HostileRecord, SettingsFileWithAnOutOfRangeScreenHeightIsSafe) {
    // The start-up above wrote the defaults; the height becomes hostile.
    std::string file = tavro::test::ReadFile(home_.settingsFile());
    ASSERT_NE(file.find("YcalScreen"), std::string::npos) << file;
    file = std::regex_replace(file, std::regex("(<YcalScreen[^>]*>)[^<]*"), "$1-99999999999");
    tavro::test::WriteFile(home_.settingsFile(), file);

    InlineKit second;
    ASSERT_EQ(second.Initialize(), 0);
    SharedDeviceState* record = second.SharedData;
    EXPECT_EQ(record->YcalScreen, INT_MIN) << "the reader no longer saturates; the test reads a changed file";
    record->ActivateCursor = 1;
    record->DirectPoint = 0;
    record->SmartPoint = 1;
    for (int packet = 0; packet < 5; ++packet) TrackingPacket(second);
    EXPECT_TRUE(OnScreen(record->X[0])) << record->X[0];
    EXPECT_TRUE(OnScreen(record->Y[0])) << record->Y[0];
    second.SharedData = nullptr;  // the fixture removes the segment
}

}  // namespace
