// libFuzzer target: the decoder called directly with any type, any length
// (negative, zero, beyond the reader's buffer) and any payload, on a record
// whose microphone counters another process may have damaged.  The payload
// buffer holds exactly the bytes the length announces (at most the reader's
// 512), so a read past them is caught; the record is guarded, so a write
// outside it is caught; and every length stored must stay inside the record.
#include "GuardedRecord.h"
#include "NullPlatform.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

class CountingCore : public tavro::test::NullPlatform {
public:
    int CreateDataPacketThread() override {
        ++passes;
        return 0;
    }
    int passes = 0;
};

constexpr int kReaderBuffer = 512;
constexpr int kTrackingType = 1;
constexpr int kMicType = 22;

int32_t HostileInt(FuzzedDataProvider& input) {
    static const int32_t kValues[] = {0, 1, -1, 1022, 1023, 1024, 1025, INT32_MIN, INT32_MAX};
    if (input.ConsumeBool()) return input.PickValueInArray(kValues);
    return input.ConsumeIntegral<int32_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tavro::fuzz::GuardedRecord* guarded = new tavro::fuzz::GuardedRecord;
    static CountingCore* core = new CountingCore;
    // The start-up once; every input begins from a copy of its record.
    static const SharedDeviceState* start = [] {
        guarded->Clear();
        core->SharedData = guarded->record();
        core->Initialize();
        return new SharedDeviceState(*core->SharedData);
    }();
    guarded->Clear(start);
    core->passes = 0;
    SharedDeviceState& r = *core->SharedData;

    FuzzedDataProvider input(data, size);
    const auto type = input.ConsumeIntegral<uint8_t>();
    int length = input.ConsumeBool() ? input.ConsumeIntegral<int32_t>()
                                     : input.ConsumeIntegralInRange<int>(0, kReaderBuffer);
    if (input.ConsumeBool()) r.MicWriteIndex = HostileInt(input);
    if (input.ConsumeBool()) r.SoundCount = HostileInt(input);
    const int soundBefore = r.SoundCount;

    const size_t held = static_cast<size_t>(std::clamp(length, 0, kReaderBuffer));
    std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(held);
    bytes.resize(held);  // the missing bytes read as 0, as the reader leaves them
    // Exactly `held` bytes on the heap, so AddressSanitizer sees any read past them.
    auto* payload = static_cast<unsigned char*>(std::malloc(held == 0 ? 1 : held));
    if (held > 0) std::memcpy(payload, bytes.data(), held);

    core->HandlePODDeviceData(held == 0 && input.ConsumeBool() ? nullptr : payload, length, type);
    std::free(payload);

    guarded->CheckIntact();
    tavro::fuzz::CheckDecodedLengths(r);
    if (type != kTrackingType && core->passes != 0) {
        std::fprintf(stderr, "a packet of type %d started a calculation pass\n", type);
        std::abort();
    }
    if (core->passes > 1) std::abort();
    if (type == kMicType) tavro::fuzz::CheckMicIndex(r);
    // The microphone count only ever grows by one per packet and never past the blocks.
    if (r.SoundCount != soundBefore &&
        (r.SoundCount != soundBefore + 1 || r.SoundCount > TAVRO_MIC_BLOCKS - 1)) {
        std::fprintf(stderr, "SoundCount went from %d to %d\n", soundBefore, r.SoundCount);
        std::abort();
    }
    return 0;
}
