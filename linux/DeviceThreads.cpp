// The device's threads: the reader (framing, decoding and the passes), the
// command writer (serving the request flags of the record every 50 ms), at
// most one calculation worker per handset (CalculationWorkers.cpp) and the
// output thread, all started with the device and ended with it, whatever
// the packet rate.
#include "TavroLinux.h"

#include "CalculationWorkers.h"
#include "DaemonStatus.h"
#include "DeviceRunMarker.h"
#include "QueuedOutput.h"
#include "StopFlag.h"
#include "OutputSelection.h"
#include "ThreadStacks.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr int kWriterPollMicroseconds = 50000;
// How long a device may stay silent after the open before the log says it
// does not look like a receiver.
constexpr int kReceiverProofSeconds = 3;
// How long StartDevice waits for the reader to see the stop (it is woken,
// but may be in the pause after a failed read).
constexpr int kReaderEndWaitMs = 2000;

// Reads a request flag; the command's values were stored before the flag.
bool Requested(const uint8_t& flag) {
    bool raised = __atomic_load_n(&flag, __ATOMIC_RELAXED) != 0;
    if (raised) std::atomic_thread_fence(std::memory_order_acquire);
    return raised;
}

void Lower(uint8_t& flag) { __atomic_store_n(&flag, 0, __ATOMIC_RELAXED); }

// Wakes the reader and waits until it has left its loop (it is detached),
// so that the caller may close or reopen the tty safely once
// CreatePODThreads returns.
void EndReader(CTavroLinux& kit) {
    if (kit.ReaderWakeFd >= 0) {
        const uint64_t one = 1;
        (void)!write(kit.ReaderWakeFd, &one, sizeof one);
    }
    for (int waited = 0; kit.ReaderRunning.load() && waited < kReaderEndWaitMs; waited += 5)
        poll(nullptr, 0, 5);
    {
        // A reader that has not ended by now belongs to this run only.
        std::lock_guard<std::mutex> lock(kit.ReaderEndLock);
        kit.ReaderGeneration.fetch_add(1);
    }
    // A reader that did not end in time keeps the descriptor: it may still poll it.
    if (!kit.ReaderRunning.load() && kit.ReaderWakeFd >= 0) {
        close(kit.ReaderWakeFd);
        kit.ReaderWakeFd = -1;
    }
}

// On a stop the queued passes are discarded (a pass that starts after a stop
// does nothing); when the receiver went away they are still computed.
void EndWorkers(CTavroLinux& kit) {
    if (kit.Workers) kit.Workers->Stop(!tavro::StopRequested(kit.SharedData));
}

// Puts the output thread in front of the platform's output for the run, so
// that buttons and keys with their waits never hold up a calculation.
std::shared_ptr<tavro::QueuedOutput> StartOutputThread(CTavroLinux& kit) {
    std::shared_ptr<tavro::Output> inner = std::atomic_load(&kit.DesktopOutput);
    if (!inner) return nullptr;
    auto queued = std::make_shared<tavro::QueuedOutput>(inner);
    if (!queued->Start()) {
        CTavroLinux::AddToMessageLog("Error in CreatePODThreads : _beginthread");
        return nullptr;
    }
    std::atomic_store(&kit.DesktopOutput, std::shared_ptr<tavro::Output>(queued));
    return queued;
}

// Sends what is still queued and puts the output behind back in place,
// unless another output was chosen meanwhile.
void EndOutputThread(CTavroLinux& kit, const std::shared_ptr<tavro::QueuedOutput>& queued) {
    if (!queued) return;
    queued->Stop();
    std::shared_ptr<tavro::Output> expected = queued;
    std::atomic_compare_exchange_strong(&kit.DesktopOutput, &expected, queued->Inner());
}

}  // namespace

int CTavroLinux::CreatePODThreads() {
    // Other processes that attach the record leave its live values alone
    // while this is held.
    const tavro::DeviceRunMarker running(SharedMemoryKey);
    DeviceLost.store(false);
    DropLogged.store(false);
    SkipLogged.store(false);
    if (!Workers) Workers = std::make_shared<tavro::CalculationWorkers>(*this);
    Workers->Start();
    tavro::PublishPipelineCounts(*this);
    const std::shared_ptr<tavro::QueuedOutput> output = StartOutputThread(*this);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, tavro::kReaderStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t reader;
    ReaderWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ReaderRunning.store(true);
    if (pthread_create(&reader, &attributes, ThreadReadPODDeviceData, this) != 0) {
        ReaderRunning.store(false);
        AddToMessageLog("Error in CreatePODThreads : _beginthread");
    }
    pthread_attr_destroy(&attributes);

    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    pthread_t writer;
    // The caller's loop, if it has one, runs here until the writer ends.
    const bool loop = static_cast<bool>(WhileDeviceRuns);
    WriterEndedFd = loop ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    WriterRunning.store(true);
    if (pthread_create(&writer, &attributes, ThreadWritePODDeviceData, this) != 0) {
        WriterRunning.store(false);
        AddToMessageLog("Error in CreatePODThreads : _beginthread");
        pthread_attr_destroy(&attributes);
        if (WriterEndedFd >= 0) close(WriterEndedFd);
        WriterEndedFd = -1;
        EndReader(*this);
        EndWorkers(*this);
        EndOutputThread(*this, output);
        return 0;
    }
    if (loop && WriterEndedFd >= 0)
        while (WriterRunning.load()) WhileDeviceRuns(WriterEndedFd);
    pthread_join(writer, nullptr);
    if (WriterEndedFd >= 0) close(WriterEndedFd);
    WriterEndedFd = -1;
    pthread_attr_destroy(&attributes);

    EndReader(*this);
    EndWorkers(*this);
    EndOutputThread(*this, output);
    // A button or key held when the device stopped (or went away) is let go.
    tavro::ReleaseHeldInput(*this);
    return 0;
}

int CTavroLinux::CreateDataPacketThread() {
    // The decoder has just put the payload into RawData; the pass works on
    // a copy taken now, so a later packet cannot replace it.
    const unsigned char* payload = SharedData->RawData;
    const int user = (payload[0] >> 5) & 3;
    PacketsDecoded.fetch_add(1);
    PacketsPerHandset[user].fetch_add(1);
    LastPacketUnixNs.store(tavro::UnixNowNs());
    tavro::PublishPipelineCounts(*this);
    if (Workers && Workers->Submit(payload)) return 0;

    // No device running (the reader loop driven by itself): the pass runs
    // here, in order, rather than being lost.
    unsigned char copy[kTrackingPayloadSize];
    std::memcpy(copy, payload, sizeof copy);
    RunningPasses.fetch_add(1);
    CalculatePODDeviceData(copy);
    RunningPasses.fetch_sub(1);
    return 0;
}

int CTavroLinux::StopDevice() {
    tavro::SetStopRequest(SharedData, true);
    tavro::ReleaseHeldInput(*this);
    TV_Sleep(50000);
    return 0;
}

// True once the device has framed a packet.  Says once per run, after a
// few seconds of silence, that the device at the path is not a receiver.
static bool ReceiverShown(CTavroLinux& kit, int passes, bool& silenceSaid) {
    if (kit.ReceiverAnswered.load(std::memory_order_acquire)) return true;
    if (!silenceSaid && passes * kWriterPollMicroseconds >= kReceiverProofSeconds * 1000000) {
        silenceSaid = true;
        CTavroLinux::LogMessage("the device at %s does not answer as a Tavro receiver (no framed packet "
                                "in %d s); check the path, prefer /dev/tavro-receiver or "
                                "/dev/serial/by-id/...",
                                kit.SharedData->DeviceName, kReceiverProofSeconds);
    }
    return false;
}

int CTavroLinux::WritePODDeviceData() {
    SharedDeviceState& r = *SharedData;
    int last = 0;
    int silentPasses = 0;
    bool silenceSaid = false;
    bool startSent = false;
    // Serves one flag: the encoder first, then the flag is lowered, whether
    // or not the command went out.
    auto serve = [&](uint8_t& flag, auto send) {
        if (!Requested(flag)) return;
        // Taken up (2) before sending: a client that gave up waiting withdraws
        // only a flag still at 1, so a command is either withdrawn or sent.
        uint8_t seen = __atomic_load_n(&flag, __ATOMIC_RELAXED);
        if (seen != 2 && !__atomic_compare_exchange_n(&flag, &seen, static_cast<uint8_t>(2), false,
                                                      __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return;  // withdrawn meanwhile
        last = send();
        Lower(flag);
    };

    for (;;) {
        TV_Sleep(kWriterPollMicroseconds);
        // Decided before the pass, so requests pending when the stop came
        // still go out in this last pass.
        bool goOn = !tavro::StopRequested(SharedData) && last != 1 &&
                    !(EndOnDeviceLoss.load() && DeviceLost.load());
        // Nothing goes to a device that has not shown itself a receiver;
        // the requests wait, raised, until it has.
        if (!ReceiverShown(*this, ++silentPasses, silenceSaid)) {
            if (!goOn) return last;
            continue;
        }
        if (!startSent) {
            startSent = true;
            if (r.HIDMouseAtStart != 0) {
                r.HIDMouseMode = 6;
                SendHID_Mouse();
            }
        }

        serve(r.HIDMouseRequest, [&] { return SendHID_Mouse(); });
        serve(r.HIDCalRequest, [&] { return SendHID_Cal(); });
        serve(r.HIDAntiShakeRequest, [&] { return SendHID_AntiShake(); });
        serve(r.HIDDefaultRequest, [&] { return SendHID_Default(); });
        serve(r.HIDMappingsRequest, [&] { return SendHID_Mappings(); });
        serve(r.StartMotorRequest, [&] { return SendStartMotor(); });
        serve(r.LearnCodeRequest, [&] {
            // Raised before the command goes out, so a quick reply clears it.
            r.LearnInProgress = 1;
            return SendLearnCode();
        });
        serve(r.GetIRCodeRequest, [&] { return SendGetIRCode(); });
        serve(r.SendIRCodeRequest, [&] { return SendSendIRCode(); });
        serve(r.StopMotorRequest, [&] { return SendStopMotor(); });
        serve(r.IRBlastRequest, [&] { return SendIRBlast(); });
        serve(r.SetThreshRequest, [&] { return SendSetTresh(); });
        serve(r.SetGainRequest, [&] { return SendSetGain(); });
        serve(r.SetExposureRequest, [&] { return SendSetExposure(); });
        serve(r.GetInfoRequest, [&] { return SendGetInfoReq(); });
        serve(r.DebugRequest, [&] { return SendDebug(); });
        serve(r.FrequencyRequest, [&] { return SendFrequency(); });
        serve(r.ClearHatRequest, [&] { return SendClearHat(); });
        serve(r.ProgramIDRequest, [&] { return SendProgramID(); });

        if (!goOn) return last;
    }
}

void* CTavroLinux::ThreadReadPODDeviceData(void* object) {
    // Named so that top -H and the bench tell the device's threads apart.
    pthread_setname_np(pthread_self(), "tavro-reader");
    auto* link = static_cast<CTavroLinux*>(object);
    const unsigned run = link->ReaderGeneration.load();
    const int wakeFd = link->ReaderWakeFd;
    link->ReadPODDeviceData();
    // The thread's last use of the object.  A reader that outlived its run
    // leaves the flag to the reader of the run now, and closes the wake-up
    // descriptor its run's end left to it.
    std::lock_guard<std::mutex> lock(link->ReaderEndLock);
    if (link->ReaderGeneration.load() == run)
        link->ReaderRunning.store(false);
    else if (wakeFd >= 0)
        close(wakeFd);
    return nullptr;
}

void* CTavroLinux::ThreadWritePODDeviceData(void* object) {
    pthread_setname_np(pthread_self(), "tavro-writer");
    auto* link = static_cast<CTavroLinux*>(object);
    link->WritePODDeviceData();
    link->WriterRunning.store(false);
    if (link->WriterEndedFd >= 0) {
        const uint64_t one = 1;
        (void)!write(link->WriterEndedFd, &one, sizeof one);
    }
    return nullptr;
}

// Runs one handset's calculation worker; the argument is its seat.
void* CTavroLinux::ThreadCalculatePODDeviceData(void* seat) {
    return tavro::CalculationWorkers::Run(seat);
}
