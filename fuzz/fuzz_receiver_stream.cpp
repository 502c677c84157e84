// libFuzzer target: arbitrary bytes as the receiver's byte stream, through
// the real framing reader and the decoder into the record, each accepted
// tracking packet computed at once.  The bytes wait in a pipe whose writing
// end is closed, so the reader sees exactly the input and then its end,
// which ends the reader as an unplugged receiver does (the pause after a
// lost receiver takes no time in the fuzz build: PlatformWraps.cpp).  Whatever the stream
// holds, the reader must end, nothing outside the record may change, and
// every length the decoder stores must describe bytes inside the record.
#include "FuzzKit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using tavro::fuzz::FuzzKit;


extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tavro::fuzz::IsolateFuzzProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* record = new tavro::fuzz::GuardedRecord;
    tavro::fuzz::FreshKit<FuzzKit> kit(*record);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 0;
    // Room for the whole input, so that one write puts it all in.
    if (size > 65536) fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(fds[1], data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    close(fds[1]);
    if (written < size) {  // the pipe would not take it all: not a finding
        close(fds[0]);
        return 0;
    }

    // The pipe's read end as the receiver's tty, closed by CloseDevice.
    kit->AdoptDevice(fds[0]);
    kit->RunOptions.EndOnDeviceLoss = true;
    kit->ReadPODDeviceData();
    const bool lost = kit->DeviceLost();
    kit->CloseDevice();

    if (!lost) {
        std::fprintf(stderr, "the reader returned before the end of its input\n");
        std::abort();
    }
    kit->CheckIntact();
    tavro::fuzz::CheckDecodedLengths(*kit->SharedData);
    tavro::fuzz::CheckMicIndex(*kit->SharedData);
    return 0;
}
