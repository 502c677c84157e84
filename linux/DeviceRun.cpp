// A device run: its threads started together and ended together.
#include "DeviceRun.h"

#include "QueuedOutput.h"
#include "OutputSelection.h"
#include "RecordAccess.h"
#include "ThreadStacks.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tavro {

namespace {

// How long the end of a run waits for the reader to see it (it is woken,
// but may be in the pause after a failed read, or held in a pass).
constexpr int kReaderEndWaitMs = 2000;

void Signal(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    (void)!write(fd, &one, sizeof one);
}

}  // namespace

DeviceRun::DeviceRun(CTavroLinux& kit, std::shared_ptr<ReceiverTty> tty, const RunOptions& options)
    : kit_(kit),
      options_(options),
      marker_(CTavroLinux::SharedMemoryKey),
      tty_(std::move(tty)),
      workers_(kit, options.Status),
      readerWakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      writerEndedFd_(options.WhileDeviceRuns ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1),
      reader_(kit, tty_, readerWakeFd_, &ended_, &workers_, options.EndOnDeviceLoss) {}

DeviceRun::~DeviceRun() {
    End();
    if (readerStarted_) pthread_join(readerThread_, nullptr);
    if (readerWakeFd_ >= 0) close(readerWakeFd_);
    if (writerEndedFd_ >= 0) close(writerEndedFd_);
}

bool DeviceRun::IsReaderThread() const {
    return pthread_equal(readerId_.load(), pthread_self()) != 0;
}

// Puts the output thread in front of the platform's output for the run, so
// that buttons and keys with their waits never hold up a calculation.
void DeviceRun::StartOutput() {
    std::shared_ptr<Output> inner = std::atomic_load(&kit_.DesktopOutput);
    if (!inner) return;
    auto queued = std::make_shared<QueuedOutput>(inner);
    if (!queued->Start()) {
        CTavroLinux::AddToMessageLog("Error in CreatePODThreads : _beginthread");
        return;
    }
    std::atomic_store(&kit_.DesktopOutput, std::shared_ptr<Output>(queued));
    output_ = queued;
}

// Sends what is still queued and puts the output behind back in place,
// unless another output was chosen meanwhile.
void DeviceRun::EndOutput() {
    if (!output_) return;
    output_->Stop();
    std::shared_ptr<Output> expected = output_;
    std::atomic_compare_exchange_strong(&kit_.DesktopOutput, &expected, output_->Inner());
    output_.reset();
}

void DeviceRun::Run() {
    if (tty_) tty_->lost.store(false);
    workers_.Start();
    PublishPipelineCounts(kit_.Counts, options_.Status);
    StartOutput();

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kReaderStack);
    readerRunning_.store(true);
    readerStarted_ = pthread_create(&readerThread_, &attributes, CTavroLinux::ThreadReadPODDeviceData, this) == 0;
    if (!readerStarted_) {
        readerRunning_.store(false);
        CTavroLinux::AddToMessageLog("Error in CreatePODThreads : _beginthread");
    }
    pthread_attr_destroy(&attributes);

    writerRunning_.store(true);
    writerStarted_ = pthread_create(&writerThread_, nullptr, CTavroLinux::ThreadWritePODDeviceData, this) == 0;
    if (!writerStarted_) {
        writerRunning_.store(false);
        CTavroLinux::AddToMessageLog("Error in CreatePODThreads : _beginthread");
        End();
        return;
    }
    // The caller's loop, if it has one, runs here until the writer ends.
    if (writerEndedFd_ >= 0)
        while (writerRunning_.load()) options_.WhileDeviceRuns(writerEndedFd_);
    pthread_join(writerThread_, nullptr);
    writerStarted_ = false;
    End();
}

void DeviceRun::End() {
    if (endDone_) return;
    endDone_ = true;
    if (writerStarted_) {
        // Only when Run did not get to its end (the object goes early).
        SetStopRequest(kit_.SharedData, true);
        pthread_join(writerThread_, nullptr);
        writerStarted_ = false;
    }
    // The reader leaves at its next look; a wait on the tty ends at once.
    ended_.store(true);
    Signal(readerWakeFd_);
    for (int waited = 0; readerRunning_.load() && waited < kReaderEndWaitMs; waited += 5)
        poll(nullptr, 0, 5);
    // On a stop the motion under way is dropped (a pass that starts after a
    // stop does nothing); when the receiver went away it is still played.
    workers_.Stop(!StopRequested(kit_.SharedData));
    EndOutput();
}

bool DeviceRun::Submit(const unsigned char* payload, bool fromReader) {
    return workers_.Submit(payload, fromReader);
}

void* DeviceRun::ReaderMain(void* object) {
    auto* run = static_cast<DeviceRun*>(object);
    run->readerId_.store(pthread_self());
    // Through the virtual table, which finds this run by its reader.
    run->kit_.ReadPODDeviceData();
    run->readerRunning_.store(false);
    return nullptr;
}

void* DeviceRun::WriterMain(void* object) {
    auto* run = static_cast<DeviceRun*>(object);
    run->kit_.WritePODDeviceData();
    run->writerRunning_.store(false);
    Signal(run->writerEndedFd_);
    return nullptr;
}

}  // namespace tavro
