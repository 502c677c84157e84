// Framing on a real pseudo-terminal: which packets reach the decoder after
// garbage, bad headers, split and late packets; stopping; a receiver gone.
//
// Microphone packets are the probes: the n-th one decoded lands in block
// 1023 - n of the record, so the record lists every packet that got through.
#include "DeviceHarness.h"

#include <time.h>

#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

Bytes Mic(uint8_t id) {
    Bytes payload(20, 0x11);
    payload[0] = id;
    return Packet(22, payload);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// ReadPODDeviceData on its own thread; reports the thread's processor time.
class Reader {
public:
    explicit Reader(CTavroLinux& kit) : kit_(kit), record_(kit) {
        done_ = std::async(std::launch::async, [this] {
            kit_.ReadPODDeviceData();
            timespec used{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
            return std::chrono::milliseconds(used.tv_sec * 1000 + used.tv_nsec / 1000000);
        });
    }
    ~Reader() {
        record_->StopRequest = 1;  // as another process would
        if (done_.valid()) done_.wait();
    }
    bool endsWithin(std::chrono::milliseconds timeout) { return done_.wait_for(timeout) == std::future_status::ready; }
    std::chrono::milliseconds cpuTime() { return done_.get(); }

private:
    CTavroLinux& kit_;
    RecordView record_;
    std::future<std::chrono::milliseconds> done_;
};

class ReaderTest : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_EQ(kit.OpenDevice(), 0);
        ASSERT_EQ(kit.InitializeDevice(), 0);
    }
    std::vector<int> Decoded() {
        std::vector<int> ids;
        for (int block = 1023; block > device.record().MicWriteIndex; --block) ids.push_back(device.record().MicData[block][0]);
        return ids;
    }
    LogCapture log;
    PtyPair pty;
    KitOn<> device{pty.slavePath()};
    CTavroLinux& kit = device.kit;
};

struct Write {
    std::chrono::milliseconds pauseBefore;
    Bytes bytes;
};
struct FramingCase {
    const char* name;
    std::vector<Write> writes;
    std::vector<int> decoded;  // probes that reach the decoder, in order
};
void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class Framing : public ReaderTest, public testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, DeliversExactlyTheExpectedPackets) {
    Reader reader(kit);
    for (const Write& w : GetParam().writes) {
        std::this_thread::sleep_for(w.pauseBefore);  // the timing is what is tested
        pty.write(w.bytes);
    }
    // Markers until one arrives (a hunt may swallow one): all before it was read.
    const Bytes marker = Packet(5, Bytes{0xEE, 0xEF});
    bool seen = false;
    for (int i = 0; i < 3 && !seen; ++i) {
        pty.write(marker);
        seen = WaitFor([&] { return device.record().RawDataLength == 2 && device.record().RawData[0] == 0xEE; }, 1000ms);
    }
    ASSERT_TRUE(seen);
    EXPECT_EQ(Decoded(), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, Framing,
    testing::Values(
        FramingCase{"BackToBack", {{0ms, Join({Mic(1), Mic(2), Mic(3)})}}, {1, 2, 3}},
        // Out of step: the hunt finds the next header and drops its packet.
        FramingCase{"Garbage", {{0ms, Join({Mic(1), Bytes{'x', 'y', 'z'}, Mic(2), Mic(3)})}}, {1, 3}},
        FramingCase{"TypeAbove62", {{0ms, Join({Mic(1), Bytes{0x51, 0x56, 0x3F, 0x00}, Mic(2), Mic(3)})}}, {1, 3}},
        FramingCase{"ZeroLengthStaysInStep", {{0ms, Join({Mic(1), Bytes{0x51, 0x56, 0x05, 0x00}, Mic(2)})}}, {1, 2}},
        FramingCase{"IRCodeLengthCountsWords", {{0ms, Join({Packet(9, Bytes(8, 0x07)), Mic(1)})}}, {1}},
        // 50 bytes end one hunt; the next chunk is dropped and a new hunt begins.
        FramingCase{"LongGarbage", {{0ms, Join({Mic(1), Bytes(60, 'z'), Mic(2), Mic(3), Mic(4)})}}, {1, 3, 4}},
        FramingCase{"SplitAcrossWrites",
                    {{0ms, Bytes{0x51, 0x56}}, {30ms, Bytes{0x16, 0x14, 7, 0x11}}, {30ms, Bytes(18, 0x11)}},
                    {7}},
        FramingCase{"PayloadNeverCompleted",
                    {{0ms, Bytes{0x51, 0x56, 0x16, 0x14, 9, 0x11}}, {400ms, Join({Mic(2), Mic(3)})}},
                    {2, 3}},
        FramingCase{"RestTooLate",
                    {{0ms, Bytes{0x51, 0x56, 0x16, 0x14, 9, 0x11}}, {400ms, Join({Bytes(18, 0x11), Mic(2), Mic(3)})}},
                    {3}}),
    [](const testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

TEST_F(ReaderTest, StopEndsASilentReaderPromptly) {
    Reader reader(kit);
    ASSERT_FALSE(reader.endsWithin(150ms)) << "the reader ended without a stop";
    device.record().StopRequest = 1;
    EXPECT_TRUE(reader.endsWithin(300ms));
}

TEST_F(ReaderTest, GoneReceiverIsLoggedOnceAndDoesNotSpin) {
    Reader reader(kit);
    pty.closeMaster();
    ASSERT_TRUE(WaitFor([&] { return kit.DeviceLost(); }, 1000ms));
    ASSERT_FALSE(reader.endsWithin(1000ms)) << "without EndOnDeviceLoss the reader waits for a stop";
    device.record().StopRequest = 1;
    ASSERT_TRUE(reader.endsWithin(400ms));
    EXPECT_LT(reader.cpuTime(), 150ms) << "the reader spun while the receiver was gone";
    EXPECT_EQ(LogCapture::Count("Error reading from device"), 1) << "one log line per outage";
}

TEST_F(ReaderTest, GoneReceiverEndsTheReaderWhenItsOwnerAsks) {
    kit.RunOptions.EndOnDeviceLoss = true;
    Reader reader(kit);
    pty.closeMaster();
    EXPECT_TRUE(reader.endsWithin(1000ms));
    EXPECT_EQ(device.record().StopRequest, 0) << "a lost receiver is not a stop request";
}

}  // namespace
