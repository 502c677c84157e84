// Calibration with roll compensation and distance scaling, the per-handset
// history and its averages, and the adaptive smoothing window.
#include "FakePlatform.h"
#include "HistoryAverage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using tavro::test::FakePlatform;

namespace {

struct CompensationCase {
    const char* name;
    uint8_t rotation, scaling;
    double roll, rawX, rawY, recentDistance, dmin;
    double compX, compY;
};

class Compensation : public testing::TestWithParam<CompensationCase> {};

TEST_P(Compensation, MapsTheRawPointToTheCalibrationScreen) {
    const CompensationCase& c = GetParam();
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.RotationCompensation = c.rotation, r.DistanceScaling = c.scaling, r.Dmin = c.dmin;
    r.Roll[2] = c.roll, r.RawX[2] = c.rawX, r.RawY[2] = c.rawY, r.Distance[2] = 1.5;
    for (int n = 0; n < 10; ++n) r.History[n][2].Distance = c.recentDistance;
    r.History[10][2].Distance = 1000;  // older than the ten the scaling averages
    core.RotationCompensation(2);
    EXPECT_NEAR(r.CompX[2], c.compX, 1e-9);
    EXPECT_NEAR(r.CompY[2], c.compY, 1e-9);
    EXPECT_EQ(r.History[0][2].CompX, r.CompX[2]);
    EXPECT_EQ(r.History[0][2].Distance, 1.5);
    EXPECT_EQ(r.History[1][2].Distance, c.recentDistance) << "older entries move up";
}

// Calibration 5 / -250, 5 / -340; scaling at twice CalDistance (3.1) doubles
// the slope about the camera centre (176, 144).
INSTANTIATE_TEST_SUITE_P(
    Cases, Compensation,
    testing::Values(CompensationCase{"Upright", 1, 0, 0, 180, 144, 0, 3.2, 650, 380},
                    CompensationCase{"QuarterTurn", 1, 0, M_PI / 2, 180, 144, 0, 3.2, 630, 400},
                    CompensationCase{"RollIgnored", 0, 0, M_PI / 2, 50, 68, 0, 3.2, 0, 0},
                    CompensationCase{"ScaledCentreStays", 1, 1, 0, 176, 144, 6.2, 3.2, 630, 380},
                    CompensationCase{"ScaledDoubleSlope", 1, 1, 0, 186, 144, 6.2, 3.2, 730, 380},
                    CompensationCase{"ScaledAtLeastDmin", 1, 1, 0, 186, 144, 0.5, 6.2, 730, 380}),
    [](const auto& info) { return info.param.name; });

TEST(History, KeepsSixtyEntriesPerHandsetAndAveragesOneToSixty) {
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.History[5][1].CompX = 42;
    for (int pass = 1; pass <= 61; ++pass) {
        r.Distance[0] = pass;
        core.RotationCompensation(0);
    }
    EXPECT_EQ(r.HistoryCount[0], 60);
    EXPECT_EQ(r.History[0][0].Distance, 61);
    EXPECT_EQ(r.History[59][0].Distance, 2);  // pass 1 fell out
    EXPECT_EQ(r.History[5][1].CompX, 42) << "another handset's entries stay";
    EXPECT_EQ(r.HistoryCount[1], 0);
    // Entries hold 61, 60, ..., 2: the mean of the newest w is 61 - (w - 1) / 2.
    const struct { int count, window; } windows[] = {{-7, 1}, {0, 1}, {10, 10}, {60, 60}, {100, 60}};
    for (const auto& w : windows)
        EXPECT_DOUBLE_EQ(core.GetAverageDistance(w.count, 0), 61 - (w.window - 1) / 2.0) << w.count;
    EXPECT_EQ(tavro::AverageHistory(r, &HistoryEntry::Distance, 3, 4), 0.0) << "no handset 4";
}

struct WindowCase {
    const char* name;
    int max;
    std::vector<double> rawX;  // one pass each, the raw point at rest before
    std::vector<int> windows;
    double lastStabX;
};

class Window : public testing::TestWithParam<WindowCase> {};

TEST_P(Window, GrowsWhileStillShrinksWhileMoving) {
    const WindowCase& c = GetParam();
    FakePlatform core;
    SharedDeviceState& r = *core.SharedData;
    r.XYCounterMax = c.max;
    r.RawX[0] = c.rawX[0], r.RawY[0] = 100;
    for (size_t i = 0; i < c.rawX.size(); ++i) {
        core.PreviousRawX[0] = r.RawX[0], core.PreviousRawY[0] = r.RawY[0];
        r.RawX[0] = c.rawX[i];
        core.RotationCompensation(0);
        core.Stabilize(0);
        EXPECT_EQ(r.XYCounter[0], c.windows[i]) << "pass " << i;
    }
    if (std::isnan(c.lastStabX)) {
        EXPECT_TRUE(std::isnan(r.StabX[0]));
    } else {
        EXPECT_NEAR(r.StabX[0], c.lastStabX, 1e-9);
    }
}

std::vector<double> Creep(int passes) {  // 0.01 px per pass: always still
    std::vector<double> xs;
    for (int i = 0; i < passes; ++i) xs.push_back(100 + 0.01 * i);
    return xs;
}
std::vector<int> Counting(int passes, int cap) {
    std::vector<int> ws;
    for (int i = 1; i <= passes; ++i) ws.push_back(std::min(i, cap));
    return ws;
}

// Raw x calibrates to 5 x - 250.
INSTANTIATE_TEST_SUITE_P(
    Cases, Window,
    testing::Values(WindowCase{"GrowsToItsBound", 3, {100, 101, 102, 103}, {1, 2, 3, 3}, 260},
                    WindowCase{"ExactThresholdMoves", 3, {100, 100, 107}, {1, 2, 1}, 285},
                    WindowCase{"NotANumberMoves", 3, {100, 100, NAN}, {1, 2, 1}, NAN},
                    WindowCase{"BoundZeroFollows", 0, {100, 100.5, 101}, {1, 1, 1}, 255},
                    WindowCase{"NeverPastTheHistory", 1000, Creep(75), Counting(75, 60),
                               5 * (100 + 0.01 * 44.5) - 250}),
    [](const auto& info) { return info.param.name; });

}  // namespace

namespace {

// The built-in stabiliser must keep giving exactly what it gave before the
// adaptive filter came beside it: API clients read StabX, StabY, History and
// XYCounter.  The recorded session is decoded and every pass's results are
// compared bit for bit with tests/data/streams/session.stabilised, written by
// the stabiliser as it was (TAVRO_RECORD_STABILISED=1 rewrites it).
class PassRecorder : public FakePlatform {
public:
    int CreateDataPacketThread() override {
        ++passes;
        CalculatePODDeviceData();
        return 0;
    }
    int passes = 0;
};

std::string Bits(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

// One line per tracking pass: handset, CompX/Y, StabX/Y, XYCounter,
// Stabilize, the newest history entry, and every pointer move of the pass.
std::vector<std::string> PlayStream(const std::vector<unsigned char>& bytes) {
    PassRecorder core;
    SharedDeviceState& r = *core.SharedData;
    std::vector<std::string> lines;
    for (size_t i = 0; i + 4 <= bytes.size();) {
        if (bytes[i] != 0x51 || bytes[i + 1] != 0x56) {
            ++i;
            continue;
        }
        const unsigned type = bytes[i + 2], length = bytes[i + 3];
        if (i + 4 + length > bytes.size()) break;
        std::vector<unsigned char> payload(bytes.begin() + i + 4, bytes.begin() + i + 4 + length);
        i += 4 + length;
        const size_t movesBefore = core.moves.size();
        core.passes = 0;
        core.HandlePODDeviceData(payload.data(), static_cast<int>(length),
                                 static_cast<unsigned char>(type));
        if (core.passes == 0) continue;
        const int u = r.PacketUser;
        std::string line = std::to_string(u);
        for (double v : {r.CompX[u], r.CompY[u], r.StabX[u], r.StabY[u], r.History[0][u].CompX,
                         r.History[0][u].CompY, r.History[0][u].Distance, r.History[0][u].Roll,
                         r.History[0][u].ThetaX})
            line += " " + Bits(v);
        line += " " + std::to_string(r.XYCounter[u]) + " " + std::to_string(r.Stabilize[u]) + " " +
                std::to_string(r.HistoryCount[u]);
        for (size_t m = movesBefore; m < core.moves.size(); ++m)
            line += " m" + Bits(core.moves[m].x) + "," + Bits(core.moves[m].y);
        lines.push_back(line);
    }
    return lines;
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

// The end-to-end example: identical packets, spots at (20000, 14400) and
// (16000, 14400) of power 50, framed as the receiver sends them.
std::vector<unsigned char> SteadyAimStream(int packets) {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < packets; ++i) {
        auto payload = tavro::test::Tracking(0, 0xFFFF, 20000, 14400, 50, 16000, 14400, 50);
        bytes.insert(bytes.end(), {0x51, 0x56, 0x01, static_cast<unsigned char>(payload.size())});
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
    return bytes;
}

TEST(BuiltinStabiliser, RecordedStreamsGiveTheSameBitsAsBefore) {
    const std::string data = std::string(TAVRO_SOURCE_DIR) + "/tests/data/streams/";
    std::vector<std::string> lines = PlayStream(ReadBytes(data + "session.bin"));
    ASSERT_GT(lines.size(), 50u) << "the session's tracking packets were not decoded";
    for (const std::string& line : PlayStream(SteadyAimStream(8))) lines.push_back(line);
    // The steady aim ends on the calibrated point (650, 380) after a window of three.
    EXPECT_EQ(lines.back().substr(2 + 17 * 2, 33),
              Bits(650.0) + " " + Bits(380.0));

    const std::string golden = data + "session.stabilised";
    if (const char* record = std::getenv("TAVRO_RECORD_STABILISED"); record && record[0] == '1') {
        std::ofstream out(golden);
        for (const std::string& line : lines) out << line << "\n";
        GTEST_SKIP() << "rewrote " << golden;
    }
    std::ifstream in(golden);
    ASSERT_TRUE(in) << "missing " << golden;
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);) expected.push_back(line);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], expected[i]) << "pass " << i;
}

}  // namespace
