// The kit's record for fuzz targets, placed so that any write outside it is
// caught: its last byte is followed by an inaccessible page (a write past the
// end faults at once), and the bytes between the preceding inaccessible page
// and its first byte hold a pattern that Intact() checks (a write before the
// start changes it).
#ifndef TAVRO_FUZZ_GUARDED_RECORD_H
#define TAVRO_FUZZ_GUARDED_RECORD_H

#include "SharedDeviceState.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tavro::fuzz {

class GuardedRecord {
public:
    GuardedRecord() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataPages_ = (sizeof(SharedDeviceState) + page_ - 1) / page_;
        const size_t total = (dataPages_ + 2) * page_;
        void* map = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            std::perror("mmap of the guarded record");
            std::abort();
        }
        base_ = static_cast<uint8_t*>(map);
        uint8_t* data = base_ + page_;
        if (mprotect(data, dataPages_ * page_, PROT_READ | PROT_WRITE) != 0) {
            std::perror("mprotect of the guarded record");
            std::abort();
        }
        // Flush with the guard page behind it.
        slackBytes_ = dataPages_ * page_ - sizeof(SharedDeviceState);
        slack_ = data;
        record_ = reinterpret_cast<SharedDeviceState*>(data + slackBytes_);
        Clear();
    }
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    SharedDeviceState* record() const { return record_; }

    // A fresh pattern in front of the record, and the record zeroed, or a
    // copy of `start`.
    void Clear(const SharedDeviceState* start = nullptr) {
        std::memset(slack_, kPattern, slackBytes_);
        if (start != nullptr)
            std::memcpy(record_, start, sizeof(SharedDeviceState));
        else
            std::memset(record_, 0, sizeof(SharedDeviceState));
    }

    // Aborts, naming the byte, when anything wrote in front of the record.
    void CheckIntact() const {
        // One comparison with a copy of the pattern: a loop here would be
        // instrumented byte by byte and cost more than the code under test.
        static const std::vector<uint8_t> pattern(kMaxSlack, kPattern);
        if (std::memcmp(slack_, pattern.data(), slackBytes_) == 0) return;
        for (size_t i = 0; i < slackBytes_; ++i)
            if (slack_[i] != kPattern) {
                std::fprintf(stderr, "written %zu bytes before the record\n", slackBytes_ - i);
                break;
            }
        std::abort();
    }

private:
    static constexpr uint8_t kPattern = 0xA5;
    static constexpr size_t kMaxSlack = 65536;  // less than a page of any size in use
    size_t page_ = 0;
    size_t dataPages_ = 0;
    size_t slackBytes_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* slack_ = nullptr;
    SharedDeviceState* record_ = nullptr;
};

// The bounds the decoder keeps whatever it is sent: every length it stores
// describes bytes inside the record.  Aborts, naming the field, otherwise.
inline void CheckDecodedLengths(const SharedDeviceState& r) {
    auto within = [](const char* field, long value, long low, long high) {
        if (value < low || value > high) {
            std::fprintf(stderr, "%s is %ld, outside %ld..%ld\n", field, value, low, high);
            std::abort();
        }
    };
    within("RawDataLength", r.RawDataLength, 0, sizeof r.RawData);
    within("InfoLength", r.InfoLength, 0, sizeof r.InfoBuffer);
    within("IRCodeLength", r.IRCodeLength, 0, sizeof r.IRCode);
    within("ImageLength", r.ImageLength, 0, sizeof r.ImageData);
}

// The microphone index the decoder leaves after a microphone packet.
inline void CheckMicIndex(const SharedDeviceState& r) {
    if (r.MicWriteIndex < 0 || r.MicWriteIndex > TAVRO_MIC_BLOCKS - 1) {
        std::fprintf(stderr, "MicWriteIndex is %d after a microphone packet\n", r.MicWriteIndex);
        std::abort();
    }
}

}  // namespace tavro::fuzz

#endif
