// One run of the device: what StartDevice starts on an open tty and ends
// before it returns.  The run owns the reader (with its framing state and
// its hold on the tty), the command writer, the per-handset calculation
// workers, the output thread, their wake-up descriptors and the run's
// flags; its destructor ends and joins every thread it started.  Nothing of
// a run is reachable from another: a reader reads only its own run's tty and
// sees only its own run's end.
#ifndef TAVRO_DEVICE_RUN_H
#define TAVRO_DEVICE_RUN_H

#include "CalculationWorkers.h"
#include "DeviceRunMarker.h"
#include "DeviceRunTty.h"
#include "PacketReader.h"
#include "TavroLinux.h"

#include <pthread.h>

#include <atomic>
#include <memory>

namespace tavro {

class QueuedOutput;

class DeviceRun {
public:
    // A run of `kit` on `tty` (null: no tty open; the reader then only waits
    // for the stop), behaving as `options` say.  Starts nothing yet.
    DeviceRun(CTavroLinux& kit, std::shared_ptr<ReceiverTty> tty, const RunOptions& options);
    // Ends the run if Run has not, and joins every thread the run started:
    // it may wait for a reader held in a pass by a frozen desktop.
    ~DeviceRun();
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    // Starts the threads, runs the caller's loop (RunOptions::WhileDeviceRuns)
    // or waits until the writer has ended, then ends the run: the reader is
    // woken and waited for (at most 2 s, it may be held in a pass), the
    // workers and the output thread are ended and joined.
    void Run();
    // The pass of a tracking payload the decoder accepted, for this run's
    // workers; false once the run has ended.
    bool Submit(const unsigned char* payload, bool fromReader);

    bool IsReaderThread() const;
    // The reader is in its loop (or about to enter it).
    bool ReaderRunning() const { return readerRunning_.load(); }
    // Every thread of the run has ended (the reader may outlive Run).
    bool ThreadsGone() const { return !readerRunning_.load() && !writerRunning_.load(); }
    int RunningWorkers() const { return workers_.Running(); }

    const std::shared_ptr<ReceiverTty>& tty() const { return tty_; }
    const RunOptions& options() const { return options_; }

    // The loops the run's threads run.
    int ReadLoop() { return reader_.Loop(); }
    static void* ReaderMain(void* run);
    static void* WriterMain(void* run);

private:
    void End();
    void StartOutput();
    void EndOutput();

    CTavroLinux& kit_;
    const RunOptions options_;
    // Other processes that attach the record leave its live values alone
    // while a run holds this.
    const DeviceRunMarker marker_;
    const std::shared_ptr<ReceiverTty> tty_;
    CalculationWorkers workers_;
    std::shared_ptr<QueuedOutput> output_;
    // Readable once the writer has ended: wakes the reader, which then leaves
    // at once instead of looking at StopRequest every 50 ms, and the
    // caller's loop (-1 without one).
    const int readerWakeFd_;
    const int writerEndedFd_;
    std::atomic<bool> ended_{false};
    PacketReader reader_;
    pthread_t readerThread_{};
    // The reader's own id, stored by the reader as it starts.
    std::atomic<pthread_t> readerId_{};
    pthread_t writerThread_{};
    bool readerStarted_ = false;
    bool writerStarted_ = false;
    std::atomic<bool> readerRunning_{false};
    std::atomic<bool> writerRunning_{false};
    bool endDone_ = false;
};

}  // namespace tavro

#endif  // TAVRO_DEVICE_RUN_H
