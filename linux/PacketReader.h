// The reader's side of a device run: framing of the receiver's byte stream
// ("Q" "V" type length payload) read from one tty, and the hand-over of every
// payload to the decoder.  One object per reader: the bytes read and not yet
// framed, whether the current run of failures was logged and whether its
// run's end woke it are its own, and it reads only the tty it was made with.
#ifndef TAVRO_PACKET_READER_H
#define TAVRO_PACKET_READER_H

#include "DeviceRunTty.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

class CTavroLinux;

namespace tavro {

class CalculationWorkers;

class PacketReader {
public:
    // Reads `tty` for `kit`.  `wakeFd` (or -1) becomes readable when the run
    // ends; `runEnded` (or null) is set by the run as it ends; `workers` (or
    // null) are the run's, whose waiting motion starts before each wait.
    PacketReader(CTavroLinux& kit, std::shared_ptr<ReceiverTty> tty, int wakeFd,
                 const std::atomic<bool>* runEnded, CalculationWorkers* workers, bool endOnDeviceLoss);
    PacketReader(const PacketReader&) = delete;
    PacketReader& operator=(const PacketReader&) = delete;

    // The reader loop: until StopRequest, the run's end, or (with
    // endOnDeviceLoss) the receiver's loss.  Lets go of the tty on return.
    int Loop();

    enum class ReadStatus { Complete, TimedOut, Stopped, Gone, Failed };
    struct ReadOutcome {
        ReadStatus status;
        size_t count;  // bytes read
        int error;     // errno of a failure
    };

private:
    int ReadChunk(unsigned char* buffer, unsigned int capacity, unsigned char* type, int* length);
    bool ReadUntilSync();
    using Clock = std::chrono::steady_clock;
    ReadOutcome ReadBytes(uint8_t* buffer, size_t count, Clock::time_point deadline);
    void ReportFailure(const ReadOutcome& outcome, const char* message);
    Clock::time_point FirstByteDeadline() const;
    bool RunEnded() const;

    // Bytes read from the tty and not yet framed.  Big enough for what a tty
    // holds at once (its line discipline buffers 4096 bytes).
    struct InputBuffer {
        uint8_t bytes[4096];
        size_t start = 0, end = 0;
        size_t Take(uint8_t* out, size_t count);
    };

    CTavroLinux& kit_;
    std::shared_ptr<ReceiverTty> tty_;
    const int wakeFd_;
    const std::atomic<bool>* const runEnded_;
    CalculationWorkers* const workers_;
    const bool endOnDeviceLoss_;
    InputBuffer input_;
    // One run of failed reads is logged once; data flowing again ends it.
    bool failureLogged_ = false;
    // Set when the run's end woke the reader.
    bool woken_ = false;
};

}  // namespace tavro

#endif  // TAVRO_PACKET_READER_H
