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
// is looked at every 50 ms, or every second when the device's end wakes the
// reader (ReaderWakeFd), so that an idle reader does not wake 20 times a
// second.  A receiver that is gone (hang-up, EIO, ENXIO) costs 100 ms per
// attempt and one log line per outage.
#include "TavroLinux.h"

#include "CalculationWorkers.h"
#include "StopFlag.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSync0 = 0x51;  // "Q"
constexpr uint8_t kSync1 = 0x56;  // "V"
constexpr uint8_t kMaxType = 62;
constexpr uint8_t kIRCodeType = 9;
constexpr unsigned kReaderBuffer = 512;
constexpr int kHuntAttempts = 50;

constexpr int kStopCheckMs = 50;       // longest wait before StopRequest is looked at
constexpr int kWokenStopCheckMs = 1000;  // the same when the device's end wakes the reader
constexpr int kPacketCompleteMs = 200;  // time the rest of a started packet has to arrive
constexpr int kRetryPauseMs = 100;      // pause after a failed read, so failures never spin

enum ChunkResult { kChunkRead = 0, kChunkNothing = 1, kChunkReadError = 5, kChunkOutOfStep = 11 };

enum class ReadStatus { Complete, TimedOut, Stopped, Gone, Failed };

struct ReadOutcome {
    ReadStatus status;
    size_t count;  // bytes read
    int error;     // errno of a failure
};

// One run of failed reads is logged once; data flowing again ends the run.
// Only the reader thread reads the tty, so this state is the thread's own.
thread_local bool t_failureLogged = false;

// Bytes read from the tty and not yet framed.  Big enough for what a tty
// holds at once (its line discipline buffers 4096 bytes).
struct InputBuffer {
    uint8_t bytes[4096];
    size_t start = 0, end = 0;
    size_t Take(uint8_t* out, size_t count) {
        size_t n = end - start < count ? end - start : count;
        std::memcpy(out, bytes + start, n);
        start += n;
        if (start == end) start = end = 0;
        return n;
    }
};
thread_local InputBuffer t_input;
// Set when the device's end woke the reader.
thread_local bool t_deviceEnded = false;
// The run this reader reads for (CTavroLinux::ReaderGeneration).
thread_local unsigned t_run = 0;

// True once this reader's run has ended: stopped, woken by the device's
// end, or over while the reader was busy (a newer run may read the tty).
bool RunEnded(const CTavroLinux& link) {
    return tavro::StopRequested(link.SharedData) || t_deviceEnded || link.ReaderGeneration.load() != t_run;
}

void Pause(int milliseconds) { poll(nullptr, 0, milliseconds); }

bool IsDeviceGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

// Reads exactly `count` bytes into `buffer` unless the deadline passes, the
// device is stopped or gone, or a read fails.  Waits in slices so that
// StopRequest is seen within kStopCheckMs.
ReadOutcome ReadBytes(CTavroLinux& link, uint8_t* buffer, size_t count, Clock::time_point deadline) {
    size_t done = t_input.Take(buffer, count);
    while (done < count) {
        // Everything delivered so far is framed: the waiting passes move now
        // (nothing moves once a stop is requested).  The moves may wait long
        // for the desktop, so whether the run is over is asked after them.
        if (link.Workers) link.Workers->Flush();
        if (RunEnded(link)) return {ReadStatus::Stopped, done, 0};
        if (link.DeviceFd <= 0) return {ReadStatus::Gone, done, EBADF};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return {ReadStatus::TimedOut, done, 0};
        // Woken by the device's end, the reader need not look at StopRequest
        // every 50 ms (a wake-up the idle daemon would pay for).
        const int wakeFd = link.ReaderWakeFd;
        const int slice = wakeFd >= 0 ? kWokenStopCheckMs : kStopCheckMs;
        pollfd fds[2] = {{link.DeviceFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int polled = poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left < slice ? left : slice));
        if (polled == 0) continue;
        if (polled < 0) {
            if (errno == EINTR) continue;
            return {ReadStatus::Failed, done, errno};
        }
        const pollfd& ready = fds[0];
        if (wakeFd >= 0 && fds[1].revents != 0) {
            t_deviceEnded = true;  // the writer has ended: so does the reader
            return {ReadStatus::Stopped, done, 0};
        }
        if (ready.revents & POLLNVAL) return {ReadStatus::Gone, done, EBADF};
        // A hang-up may still leave bytes to read; read returns 0 once they are gone.
        ssize_t n = read(link.DeviceFd, t_input.bytes, sizeof t_input.bytes);
        if (n > 0) {
            t_input.start = 0;
            t_input.end = static_cast<size_t>(n);
            done += t_input.Take(buffer + done, count - done);
            t_failureLogged = false;
            link.DeviceLost.store(false);
            continue;
        }
        if (n == 0) return {ReadStatus::Gone, done, EIO};
        if (errno == EINTR || errno == EAGAIN) continue;
        return {IsDeviceGone(errno) ? ReadStatus::Gone : ReadStatus::Failed, done, errno};
    }
    return {ReadStatus::Complete, done, 0};
}

// Logs the first failure of a run (with `message`, or the system's error
// text when null), marks a lost device and pauses before the next attempt.
void ReportFailure(CTavroLinux& link, const ReadOutcome& outcome, const char* message) {
    if (outcome.status == ReadStatus::Gone) link.DeviceLost.store(true);
    if (!t_failureLogged) {
        t_failureLogged = true;
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
Clock::time_point FirstByteDeadline(const CTavroLinux& link) {
    return Clock::now() + std::chrono::milliseconds(link.ReaderWakeFd >= 0 ? kWokenStopCheckMs : kStopCheckMs);
}

bool IsFailure(const ReadOutcome& outcome) {
    return outcome.status == ReadStatus::Gone || outcome.status == ReadStatus::Failed;
}

int PayloadLength(uint8_t type, uint8_t lengthByte) {
    return type == kIRCodeType ? 2 * lengthByte : lengthByte;
}

}  // namespace

int CTavroLinux::ReadChunk(unsigned char* buffer, unsigned int capacity, unsigned char* type,
                           int* length) {
    *length = 0;
    std::memset(buffer, 0, capacity);
    if (capacity < 4) return kChunkNothing;

    // The first byte may take any time; come back to the loop every 50 ms.
    ReadOutcome first = ReadBytes(*this, buffer, 1, FirstByteDeadline(*this));
    if (IsFailure(first)) {
        ReportFailure(*this, first, nullptr);
        return first.error == ENXIO || first.status == ReadStatus::Gone ? kChunkReadError : kChunkNothing;
    }
    if (first.status != ReadStatus::Complete) return kChunkNothing;
    if (buffer[0] != kSync0) return kChunkOutOfStep;

    // The rest of the header and the payload must follow promptly.
    auto deadline = Clock::now() + std::chrono::milliseconds(kPacketCompleteMs);
    ReadOutcome header = ReadBytes(*this, buffer + 1, 3, deadline);
    if (IsFailure(header)) {
        ReportFailure(*this, header, nullptr);
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
    ReadOutcome payload = ReadBytes(*this, buffer, static_cast<size_t>(payloadLength), deadline);
    if (IsFailure(payload)) {
        ReportFailure(*this, payload, nullptr);
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

bool CTavroLinux::ReadUntilSync() {
    uint8_t buffer[kReaderBuffer];
    for (int attempt = 0; attempt < kHuntAttempts; ++attempt) {
        std::memset(buffer, 0, sizeof buffer);
        ReadOutcome start = ReadBytes(*this, buffer, 1, FirstByteDeadline(*this));
        if (start.status == ReadStatus::Stopped) return false;
        if (IsFailure(start)) {
            ReportFailure(*this, start, "Error in Reading from device");
            if (start.status == ReadStatus::Gone || start.error == ENXIO) return false;
            continue;
        }
        if (start.status != ReadStatus::Complete || buffer[0] != kSync0) continue;

        auto deadline = Clock::now() + std::chrono::milliseconds(kPacketCompleteMs);
        ReadOutcome header = ReadBytes(*this, buffer + 1, 3, deadline);
        if (header.status == ReadStatus::Stopped) return false;
        if (IsFailure(header)) {
            ReportFailure(*this, header, "Error in Reading from device");
            if (header.status == ReadStatus::Gone || header.error == ENXIO) return false;
            continue;
        }
        if (header.status != ReadStatus::Complete || buffer[1] != kSync1 || buffer[2] > kMaxType)
            continue;

        // In step again; the packet of the header found is discarded whole.
        int payloadLength = PayloadLength(buffer[2], buffer[3]);
        ReadOutcome skipped = ReadBytes(*this, buffer, static_cast<size_t>(payloadLength),
                                        Clock::now() + std::chrono::milliseconds(kPacketCompleteMs));
        if (IsFailure(skipped)) ReportFailure(*this, skipped, "Error in Reading from device");
        return true;
    }
    return false;
}

int CTavroLinux::ReadPODDeviceData() {
    unsigned char buffer[kReaderBuffer];
    bool inSync = true;
    t_failureLogged = false;
    t_input.start = t_input.end = 0;
    t_deviceEnded = false;
    t_run = ReaderGeneration.load();
    tavro::CalculationWorkers::DeferMotionOnThisThread();
    for (;;) {
        if (RunEnded(*this)) return 0;
        if (EndOnDeviceLoss.load() && DeviceLost.load()) return 0;
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
        ReceiverAnswered.store(true, std::memory_order_release);
        HandlePODDeviceData(buffer, length, type);
    }
}
