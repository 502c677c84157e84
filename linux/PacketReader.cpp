// Framing of the receiver's byte stream: "Q" "V" type length payload.  The
// reader finds packet boundaries, reads each packet whole, hunts for the
// next header after a framing error and hands every payload to the decoder.
//
// The tty is read in bulk: one read takes whatever the tty holds (many
// packets after a backlog) into the reader's buffer, and the framing below
// takes its bytes from there; the passes of the packets framed run on this
// thread (CalculationWorkers.h), and their motion starts before the reader
// waits for more.  Every wait on the tty is a poll with a time-out, never a
// bare blocking read: a packet that arrives in pieces is put together, a
// packet whose rest does not come within 200 ms is dropped, and StopRequest
// is looked at every 50 ms, or every second when the run's end wakes the
// reader, so that an idle reader does not wake 20 times a second.  A
// receiver that is gone (hang-up, EIO, ENXIO) costs 100 ms per attempt and
// one log line per outage.
#include "PacketReader.h"

#include "CalculationWorkers.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavro {

namespace {

constexpr uint8_t kSync0 = 0x51;  // "Q"
constexpr uint8_t kSync1 = 0x56;  // "V"
constexpr uint8_t kMaxType = 62;
constexpr uint8_t kIRCodeType = 9;
constexpr unsigned kReaderBuffer = 512;
constexpr int kHuntAttempts = 50;

constexpr int kStopCheckMs = 50;       // longest wait before StopRequest is looked at
constexpr int kWokenStopCheckMs = 1000;  // the same when the run's end wakes the reader
constexpr int kPacketCompleteMs = 200;  // time the rest of a started packet has to arrive
constexpr int kRetryPauseMs = 100;      // pause after a failed read, so failures never spin

enum ChunkResult { kChunkRead = 0, kChunkNothing = 1, kChunkReadError = 5, kChunkOutOfStep = 11 };

using ReadStatus = PacketReader::ReadStatus;
using ReadOutcome = PacketReader::ReadOutcome;

void Pause(int milliseconds) { poll(nullptr, 0, milliseconds); }

bool IsDeviceGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

bool IsFailure(const ReadOutcome& outcome) {
    return outcome.status == ReadStatus::Gone || outcome.status == ReadStatus::Failed;
}

int PayloadLength(uint8_t type, uint8_t lengthByte) {
    return type == kIRCodeType ? 2 * lengthByte : lengthByte;
}

}  // namespace

size_t PacketReader::InputBuffer::Take(uint8_t* out, size_t count) {
    size_t n = end - start < count ? end - start : count;
    std::memcpy(out, bytes + start, n);
    start += n;
    if (start == end) start = end = 0;
    return n;
}

PacketReader::PacketReader(CTavroLinux& kit, std::shared_ptr<ReceiverTty> tty, int wakeFd,
                           const std::atomic<bool>* runEnded, CalculationWorkers* workers,
                           bool endOnDeviceLoss)
    : kit_(kit),
      tty_(std::move(tty)),
      wakeFd_(wakeFd),
      runEnded_(runEnded),
      workers_(workers),
      endOnDeviceLoss_(endOnDeviceLoss) {}

// True once this reader's run has ended: stopped, or ended by its run (woken
// or not: a reader busy in a pass when its run ended leaves at its next look).
bool PacketReader::RunEnded() const {
    return StopRequested(kit_.SharedData) || woken_ || (runEnded_ != nullptr && runEnded_->load());
}

// Reads exactly `count` bytes into `buffer` unless the deadline passes, the
// device is stopped or gone, or a read fails.  Waits in slices so that
// StopRequest is seen within kStopCheckMs.
ReadOutcome PacketReader::ReadBytes(uint8_t* buffer, size_t count, Clock::time_point deadline) {
    size_t done = input_.Take(buffer, count);
    const int fd = tty_ ? tty_->fd() : -1;
    while (done < count) {
        // Everything delivered so far is framed: the waiting passes move now
        // (nothing moves once a stop is requested).  The moves may wait long
        // for the desktop, so whether the run is over is asked after them.
        if (workers_ != nullptr) workers_->Flush();
        if (RunEnded()) return {ReadStatus::Stopped, done, 0};
        if (fd <= 0) return {ReadStatus::Gone, done, EBADF};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return {ReadStatus::TimedOut, done, 0};
        // Woken by the run's end, the reader need not look at StopRequest
        // every 50 ms (a wake-up the idle daemon would pay for).
        const int slice = wakeFd_ >= 0 ? kWokenStopCheckMs : kStopCheckMs;
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int polled = poll(fds, wakeFd_ >= 0 ? 2 : 1, static_cast<int>(left < slice ? left : slice));
        if (polled == 0) continue;
        if (polled < 0) {
            if (errno == EINTR) continue;
            return {ReadStatus::Failed, done, errno};
        }
        const pollfd& ready = fds[0];
        if (wakeFd_ >= 0 && fds[1].revents != 0) {
            woken_ = true;  // the writer has ended: so does the reader
            return {ReadStatus::Stopped, done, 0};
        }
        if (ready.revents & POLLNVAL) return {ReadStatus::Gone, done, EBADF};
        // A hang-up may still leave bytes to read; read returns 0 once they are gone.
        ssize_t n = read(fd, input_.bytes, sizeof input_.bytes);
        if (n > 0) {
            input_.start = 0;
            input_.end = static_cast<size_t>(n);
            done += input_.Take(buffer + done, count - done);
            failureLogged_ = false;
            tty_->lost.store(false);
            continue;
        }
        if (n == 0) return {ReadStatus::Gone, done, EIO};
        if (errno == EINTR || errno == EAGAIN) continue;
        return {IsDeviceGone(errno) ? ReadStatus::Gone : ReadStatus::Failed, done, errno};
    }
    return {ReadStatus::Complete, done, 0};
}

// Logs the first failure of a run of failures (with `message`, or the
// system's error text when null), marks a lost device and pauses before the
// next attempt.
void PacketReader::ReportFailure(const ReadOutcome& outcome, const char* message) {
    if (outcome.status == ReadStatus::Gone && tty_) tty_->lost.store(true);
    if (!failureLogged_) {
        failureLogged_ = true;
        if (message != nullptr)
            CTavroLinux::AddToMessageLog(message);
        else
            CTavroLinux::LogMessage("Error reading from device - %s(%d).\n", strerror(outcome.error),
                                    outcome.error);
    }
    Pause(kRetryPauseMs);
}

// How long a wait for the first byte of a packet may take before the loop
// looks at StopRequest again.
PacketReader::Clock::time_point PacketReader::FirstByteDeadline() const {
    return Clock::now() + std::chrono::milliseconds(wakeFd_ >= 0 ? kWokenStopCheckMs : kStopCheckMs);
}

int PacketReader::ReadChunk(unsigned char* buffer, unsigned int capacity, unsigned char* type, int* length) {
    *length = 0;
    std::memset(buffer, 0, capacity);
    if (capacity < 4) return kChunkNothing;

    // The first byte may take any time; come back to the loop every 50 ms.
    ReadOutcome first = ReadBytes(buffer, 1, FirstByteDeadline());
    if (IsFailure(first)) {
        ReportFailure(first, nullptr);
        return first.error == ENXIO || first.status == ReadStatus::Gone ? kChunkReadError : kChunkNothing;
    }
    if (first.status != ReadStatus::Complete) return kChunkNothing;
    if (buffer[0] != kSync0) return kChunkOutOfStep;

    // The rest of the header and the payload must follow promptly.
    auto deadline = Clock::now() + std::chrono::milliseconds(kPacketCompleteMs);
    ReadOutcome header = ReadBytes(buffer + 1, 3, deadline);
    if (IsFailure(header)) {
        ReportFailure(header, nullptr);
        return kChunkReadError;
    }
    if (header.count >= 1 && buffer[1] != kSync1) return kChunkOutOfStep;
    if (header.count >= 2 && buffer[2] > kMaxType) return kChunkOutOfStep;
    // A header cut short is dropped; whatever comes later must pass the
    // header check above, which resynchronises the stream.
    if (header.status != ReadStatus::Complete) return kChunkNothing;

    uint8_t packetType = buffer[2];
    int payloadLength = PayloadLength(packetType, buffer[3]);
    *length = payloadLength;
    if (payloadLength > static_cast<int>(capacity)) return kChunkOutOfStep;
    std::memset(buffer, 0, 4);
    if (payloadLength == 0) return kChunkNothing;

    deadline = Clock::now() + std::chrono::milliseconds(kPacketCompleteMs);
    ReadOutcome payload = ReadBytes(buffer, static_cast<size_t>(payloadLength), deadline);
    if (IsFailure(payload)) {
        ReportFailure(payload, nullptr);
        return kChunkReadError;
    }
    if (payload.status != ReadStatus::Complete) {
        // Incomplete within the time: dropped, never handed on with zeros.
        std::memset(buffer, 0, capacity);
        return kChunkNothing;
    }
    *type = packetType;
    return kChunkRead;
}

bool PacketReader::ReadUntilSync() {
    uint8_t buffer[kReaderBuffer];
    for (int attempt = 0; attempt < kHuntAttempts; ++attempt) {
        std::memset(buffer, 0, sizeof buffer);
        ReadOutcome start = ReadBytes(buffer, 1, FirstByteDeadline());
        if (start.status == ReadStatus::Stopped) return false;
        if (IsFailure(start)) {
            ReportFailure(start, "Error in Reading from device");
            if (start.status == ReadStatus::Gone || start.error == ENXIO) return false;
            continue;
        }
        if (start.status != ReadStatus::Complete || buffer[0] != kSync0) continue;

        auto deadline = Clock::now() + std::chrono::milliseconds(kPacketCompleteMs);
        ReadOutcome header = ReadBytes(buffer + 1, 3, deadline);
        if (header.status == ReadStatus::Stopped) return false;
        if (IsFailure(header)) {
            ReportFailure(header, "Error in Reading from device");
            if (header.status == ReadStatus::Gone || header.error == ENXIO) return false;
            continue;
        }
        if (header.status != ReadStatus::Complete || buffer[1] != kSync1 || buffer[2] > kMaxType)
            continue;

        // In step again; the packet of the header found is discarded whole.
        int payloadLength = PayloadLength(buffer[2], buffer[3]);
        ReadOutcome skipped = ReadBytes(buffer, static_cast<size_t>(payloadLength),
                                        Clock::now() + std::chrono::milliseconds(kPacketCompleteMs));
        if (IsFailure(skipped)) ReportFailure(skipped, "Error in Reading from device");
        return true;
    }
    return false;
}

int PacketReader::Loop() {
    unsigned char buffer[kReaderBuffer];
    bool inSync = true;
    for (;;) {
        if (RunEnded()) break;
        if (endOnDeviceLoss_ && tty_ && tty_->lost.load()) break;
        if (!inSync) inSync = ReadUntilSync();

        unsigned char type = 0;
        int length = 0;
        int result = ReadChunk(buffer, sizeof buffer, &type, &length);
        if (result == kChunkOutOfStep) {
            inSync = false;
            continue;
        }
        // After a failed hunt whatever was read is dropped and the hunt goes on.
        if (!inSync) continue;
        if (result != kChunkRead || length <= 0) continue;
        tty_->answered.store(true, std::memory_order_release);
        kit_.HandlePODDeviceData(buffer, length, type);
    }
    // The reader's last use of the tty: its descriptor closes once the
    // platform object has let it go too.
    tty_.reset();
    return 0;
}

}  // namespace tavro
