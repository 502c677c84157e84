// Regression over recorded receiver sessions: the simulator replays
// tests/data/streams/<name>.bin through a pseudo-terminal into the running
// device, and the record must then hold what <name>.expected lists
// ("field [index] value [tolerance]", byte fields in hex).
#include "DeviceHarness.h"
#include "Process.h"

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < count; ++i) text += (std::snprintf(digits, sizeof digits, "%02x", bytes[i]), digits);
    return text;
}

class RecordedStream : public testing::TestWithParam<const char*> {};

TEST_P(RecordedStream, DecodesToTheExpectedRecord) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    const std::string base = std::string(TAVRO_SOURCE_DIR) + "/tests/data/streams/" + GetParam();
    ChildProcess simulator(TAVRO_SIM_PATH, {"--replay", base + ".bin", "--replay-rate", "1000"});
    std::string slave;
    ASSERT_TRUE(simulator.readLine(&slave));
    KitOn<> device(slave);
    ASSERT_TRUE(device.initialized);
    const SharedDeviceState& r = device.record();
    {
        RunningDevice running(device.kit);
        // Every session ends with a packet of type 5 carrying EE EF.
        ASSERT_TRUE(WaitFor([&] { return r.RawDataLength == 2 && r.RawData[0] == 0xEE && r.RawData[1] == 0xEF; },
                            10000ms))
            << "the end of the stream never reached the decoder";
        EXPECT_EQ(running.Stop(), 0);
    }

    const std::map<std::string, const uint8_t*> byteFields = {
        {"RawData", r.RawData}, {"InfoBuffer", r.InfoBuffer}, {"IRCode", r.IRCode}, {"ImageData", r.ImageData}};
    const std::map<std::string, double> numbers = {
        {"RawDataLength", r.RawDataLength}, {"LastError", r.LastError},       {"InfoLength", r.InfoLength},
        {"IRCodeLength", r.IRCodeLength},   {"PODChannel", r.PODChannel},     {"SoundCount", r.SoundCount},
        {"ImageWidth", r.ImageWidth},       {"ImageHeight", r.ImageHeight},   {"ImageLength", r.ImageLength},
        {"CurrentUser", r.CurrentUser},     {"HIDAntiShakeValue", r.HIDAntiShakeValue},
        {"HIDAntiShakeLevel", r.HIDAntiShakeLevel}};
    const std::map<std::string, std::function<double(int)>> indexed = {
        {"HIDCal", [&](int i) { return r.HIDCal[i]; }},   {"Buttons", [&](int u) { return r.Buttons[u]; }},
        {"Power1", [&](int u) { return r.Power1[u]; }},   {"Power2", [&](int u) { return r.Power2[u]; }},
        {"RawX", [&](int u) { return r.RawX[u]; }},       {"RawY", [&](int u) { return r.RawY[u]; }},
        {"Roll", [&](int u) { return r.Roll[u]; }},       {"Distance", [&](int u) { return r.Distance[u]; }}};

    std::ifstream expected(base + ".expected");
    std::string text;
    int line = 0, checked = 0;
    while (std::getline(expected, text)) {
        ++line;
        std::istringstream words(text.substr(0, text.find('#')));
        std::string field, value;
        int index = 0;
        double tolerance = 0;
        if (!(words >> field)) continue;
        SCOPED_TRACE("line " + std::to_string(line) + ": " + text);
        ++checked;
        if (field == "MicData") {
            words >> index >> value;
            EXPECT_EQ(Hex(r.MicData[index & 1023], value.size() / 2), value);
        } else if (byteFields.count(field)) {
            words >> value;
            EXPECT_EQ(Hex(byteFields.at(field), value.size() / 2), value);
        } else if (numbers.count(field)) {
            words >> value;
            EXPECT_EQ(numbers.at(field), std::stod(value));
        } else if (indexed.count(field)) {
            words >> index >> value >> tolerance;
            EXPECT_NEAR(indexed.at(field)(index), std::stod(value), tolerance);
        } else {
            ADD_FAILURE() << "unknown field";
        }
    }
    EXPECT_GT(checked, 0) << "no expectations in " << base << ".expected";
}

INSTANTIATE_TEST_SUITE_P(Streams, RecordedStream, testing::Values("session"));

}  // namespace
