// The platform's device operations, each forwarded to the run of the
// StartDevice under way (DeviceRun.h): the reader (framing, decoding and the
// passes), the command writer (serving the request flags of the record every
// 50 ms), at most one calculation worker per handset (CalculationWorkers.cpp)
// and the output thread, all started with the run and ended with it,
// whatever the packet rate.
#include "TavroLinux.h"

#include "CalculationWorkers.h"
#include "DaemonStatus.h"
#include "BindingsFile.h"
#include "DeviceRun.h"
#include "KeyBindings.h"
#include "OutputSelection.h"
#include "RecordAccess.h"

#include <pthread.h>

#include <cstring>
#include <string>

namespace {

constexpr int kWriterPollMicroseconds = 50000;
// How long a device may stay silent after the open before the log says it
// does not look like a receiver.
constexpr int kReceiverProofSeconds = 3;

// True once the device has framed a packet.  Says once per run, after a
// few seconds of silence, that the device at the path is not a receiver.
bool ReceiverShown(const CTavroLinux& kit, const tavro::ReceiverTty* tty, int passes, bool& silenceSaid) {
    if (tty != nullptr && tty->answered.load(std::memory_order_acquire)) return true;
    if (!silenceSaid && passes * kWriterPollMicroseconds >= kReceiverProofSeconds * 1000000) {
        silenceSaid = true;
        // The path the tty was opened from: the record's DeviceName names
        // the settings' path again once the daemon has opened its own.
        const std::string path =
            tty != nullptr && !tty->path.empty() ? tty->path : tavro::LoadText(kit.SharedData->DeviceName);
        CTavroLinux::LogMessage("the device at %s does not answer as a Tavro receiver (no framed packet "
                                "in %d s); check the path, prefer /dev/tavro-receiver or "
                                "/dev/serial/by-id/...",
                                path.c_str(), kReceiverProofSeconds);
    }
    return false;
}

}  // namespace

std::shared_ptr<tavro::DeviceRun> CTavroLinux::CurrentRun() const {
    std::lock_guard<std::mutex> lock(runsMutex_);
    return run_;
}

std::shared_ptr<tavro::DeviceRun> CTavroLinux::RunOfThisReader() const {
    std::lock_guard<std::mutex> lock(runsMutex_);
    if (run_ && run_->IsReaderThread()) return run_;
    for (const auto& ended : endedRuns_)
        if (ended->IsReaderThread()) return ended;
    return nullptr;
}

void CTavroLinux::ReapEndedRuns(bool wait) {
    std::vector<std::shared_ptr<tavro::DeviceRun>> gone;
    {
        std::lock_guard<std::mutex> lock(runsMutex_);
        for (auto it = endedRuns_.begin(); it != endedRuns_.end();) {
            if (wait || (*it)->ThreadsGone()) {
                gone.push_back(std::move(*it));
                it = endedRuns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    gone.clear();  // joins their threads, outside the lock the readers take
}

bool CTavroLinux::ReaderRunning() const {
    const std::shared_ptr<tavro::DeviceRun> run = CurrentRun();
    return run && run->ReaderRunning();
}

int CTavroLinux::RunningWorkers() const {
    const std::shared_ptr<tavro::DeviceRun> run = CurrentRun();
    return run ? run->RunningWorkers() : 0;
}

int CTavroLinux::CreatePODThreads() {
    ReapEndedRuns(false);
    if (RunOptions.KeyBindings && !std::atomic_load(&Bindings))
        std::atomic_store(&Bindings, std::make_shared<tavro::KeyBindings>(
            *this, RunOptions.BindingsPath.empty() ? tavro::DefaultBindingsPath() : RunOptions.BindingsPath,
            RunOptions.BindingsServedByOwner));
    auto run = std::make_shared<tavro::DeviceRun>(*this, OpenTty(), RunOptions);
    {
        std::lock_guard<std::mutex> lock(runsMutex_);
        run_ = run;
    }
    run->Run();
    {
        std::lock_guard<std::mutex> lock(runsMutex_);
        run_.reset();
        // A reader still held in a pass (a frozen desktop) keeps its run
        // until it leaves; the run's own end makes it leave at its next look,
        // and it reads nothing but its run's tty.
        if (!run->ThreadsGone()) endedRuns_.push_back(run);
    }
    run.reset();
    // A button or key held when the device stopped (or went away) is let go.
    if (const std::shared_ptr<tavro::KeyBindings> bindings = std::atomic_load(&Bindings)) bindings->ReleaseHeld();
    tavro::ReleaseHeldInput(*this);
    return 0;
}

int CTavroLinux::CreateDataPacketThread() {
    // The decoder has just put the payload into RawData; the pass works on
    // a copy taken now, so a later packet cannot replace it.
    unsigned char copy[kTrackingPayloadSize];
    for (size_t i = 0; i < sizeof copy; ++i) copy[i] = tavro::LoadField(SharedData->RawData[i]);
    const int user = (copy[0] >> 5) & 3;
    Counts.PacketsDecoded.fetch_add(1);
    Counts.PacketsPerHandset[user].fetch_add(1);
    Counts.LastPacketUnixNs.store(tavro::UnixNowNs());

    // A run's reader hands its passes to its own run, and to no other: once
    // that run has ended, the pass does nothing.
    if (const std::shared_ptr<tavro::DeviceRun> own = RunOfThisReader()) {
        tavro::PublishPipelineCounts(Counts, own->options().Status);
        own->Submit(copy, true);
        return 0;
    }
    const std::shared_ptr<tavro::DeviceRun> run = CurrentRun();
    tavro::PublishPipelineCounts(Counts, run ? run->options().Status : RunOptions.Status);
    if (run && run->Submit(copy, false)) return 0;

    // No device running (the reader loop driven by itself): the pass runs
    // here, in order, rather than being lost.
    Counts.RunningPasses.fetch_add(1);
    CalculatePODDeviceData(copy);
    Counts.RunningPasses.fetch_sub(1);
    return 0;
}

int CTavroLinux::StopDevice() {
    tavro::SetStopRequest(SharedData, true);
    tavro::ReleaseHeldInput(*this);
    TV_Sleep(50000);
    return 0;
}

int CTavroLinux::ReadPODDeviceData() {
    if (const std::shared_ptr<tavro::DeviceRun> run = RunOfThisReader()) return run->ReadLoop();
    // Called outside a run (tests, fuzzing): the open tty, read on the
    // calling thread until a stop.
    tavro::PacketReader reader(*this, OpenTty(), -1, nullptr, nullptr, RunOptions.EndOnDeviceLoss);
    return reader.Loop();
}

int CTavroLinux::WritePODDeviceData() {
    SharedDeviceState& r = *SharedData;
    // The run's tty and options; outside a run, the open tty.
    const std::shared_ptr<tavro::DeviceRun> run = CurrentRun();
    const std::shared_ptr<tavro::ReceiverTty> tty = run ? run->tty() : OpenTty();
    const bool endOnDeviceLoss = run ? run->options().EndOnDeviceLoss : RunOptions.EndOnDeviceLoss;
    int last = 0;
    int silentPasses = 0;
    bool silenceSaid = false;
    bool startSent = false;
    // Each request is served by ServeRequest: taken up (so that a client that
    // gave up waiting can no longer withdraw it: a command is either withdrawn
    // or sent), the encoder, then the flag is lowered, whether or not the
    // command went out.

    for (;;) {
        TV_Sleep(kWriterPollMicroseconds);
        // Decided before the pass, so requests pending when the stop came
        // still go out in this last pass.
        bool goOn = !tavro::StopRequested(SharedData) && last != 1 &&
                    !(endOnDeviceLoss && tty && tty->lost.load());
        // Nothing goes to a device that has not shown itself a receiver;
        // the requests wait, raised, until it has.
        if (!ReceiverShown(*this, tty.get(), ++silentPasses, silenceSaid)) {
            if (!goOn) return last;
            continue;
        }
        if (!startSent) {
            startSent = true;
            if (tavro::LoadField(r.HIDMouseAtStart) != 0) {
                tavro::StoreField(r.HIDMouseMode, 6);
                SendHID_Mouse();
            }
        }

        tavro::ServeRequest(r.HIDMouseRequest, [&] { last = SendHID_Mouse(); });
        tavro::ServeRequest(r.HIDCalRequest, [&] { last = SendHID_Cal(); });
        tavro::ServeRequest(r.HIDAntiShakeRequest, [&] { last = SendHID_AntiShake(); });
        tavro::ServeRequest(r.HIDDefaultRequest, [&] { last = SendHID_Default(); });
        tavro::ServeRequest(r.HIDMappingsRequest, [&] { last = SendHID_Mappings(); });
        tavro::ServeRequest(r.StartMotorRequest, [&] { last = SendStartMotor(); });
        tavro::ServeRequest(r.LearnCodeRequest, [&] {
            // Raised before the command goes out, so a quick reply clears it.
            tavro::StoreField(r.LearnInProgress, 1);
            last = SendLearnCode();
        });
        tavro::ServeRequest(r.GetIRCodeRequest, [&] { last = SendGetIRCode(); });
        tavro::ServeRequest(r.SendIRCodeRequest, [&] { last = SendSendIRCode(); });
        tavro::ServeRequest(r.StopMotorRequest, [&] { last = SendStopMotor(); });
        tavro::ServeRequest(r.IRBlastRequest, [&] { last = SendIRBlast(); });
        tavro::ServeRequest(r.SetThreshRequest, [&] { last = SendSetTresh(); });
        tavro::ServeRequest(r.SetGainRequest, [&] { last = SendSetGain(); });
        tavro::ServeRequest(r.SetExposureRequest, [&] { last = SendSetExposure(); });
        tavro::ServeRequest(r.GetInfoRequest, [&] { last = SendGetInfoReq(); });
        tavro::ServeRequest(r.DebugRequest, [&] { last = SendDebug(); });
        tavro::ServeRequest(r.FrequencyRequest, [&] { last = SendFrequency(); });
        tavro::ServeRequest(r.ClearHatRequest, [&] { last = SendClearHat(); });
        tavro::ServeRequest(r.ProgramIDRequest, [&] { last = SendProgramID(); });

        if (!goOn) return last;
    }
}

void* CTavroLinux::ThreadReadPODDeviceData(void* run) {
    // Named so that top -H and the bench tell the device's threads apart.
    pthread_setname_np(pthread_self(), "tavro-reader");
    return tavro::DeviceRun::ReaderMain(run);
}

void* CTavroLinux::ThreadWritePODDeviceData(void* run) {
    pthread_setname_np(pthread_self(), "tavro-writer");
    return tavro::DeviceRun::WriterMain(run);
}

// Runs one handset's calculation worker; the argument is its seat.
void* CTavroLinux::ThreadCalculatePODDeviceData(void* seat) {
    return tavro::CalculationWorkers::Run(seat);
}
