// The device's threads: the reader (framing and decoding), the command
// writer (serving the request flags of the record every 50 ms) and one
// short-lived calculation thread per accepted tracking packet.
#include "TavroLinux.h"

#include "OutputSelection.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <new>

namespace {

// Stack sizes of the reader and the calculation threads.  Sanitizer builds
// need room for their instrumentation.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackScale = 8;
#else
constexpr size_t kStackScale = 1;
#endif
constexpr size_t kReaderStack = 49152 * kStackScale;
constexpr size_t kCalculationStack = 16384 * kStackScale;

// Calculation passes allowed to run at once.  A pass lasts about
// SleepingFactor milliseconds; past this bound the receiver sends faster than
// passes finish, and further packets are dropped instead of piling up threads.
constexpr int kMaxRunningPasses = 64;

constexpr int kWriterPollMicroseconds = 50000;
// How long StartDevice waits for the reader to see the stop (it looks every
// 100 ms, plus the pause after a failed read).
constexpr int kReaderEndWaitMs = 2000;

// What a calculation thread gets: the object and its own copy of the
// tracking payload, taken when the packet was accepted.
struct CalculationPass {
    CTavroLinux* object;
    unsigned char payload[kTrackingPayloadSize];
};

bool StopRequested(const SharedDeviceState* record) {
    return __atomic_load_n(&record->StopRequest, __ATOMIC_RELAXED) != 0;
}

// Reads a request flag; the command's values were stored before the flag.
bool Requested(const uint8_t& flag) {
    bool raised = __atomic_load_n(&flag, __ATOMIC_RELAXED) != 0;
    if (raised) std::atomic_thread_fence(std::memory_order_acquire);
    return raised;
}

void Lower(uint8_t& flag) { __atomic_store_n(&flag, 0, __ATOMIC_RELAXED); }

}  // namespace

int CTavroLinux::CreatePODThreads() {
    DeviceLost.store(false);
    DropLogged.store(false);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kReaderStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t reader;
    ReaderRunning.store(true);
    if (pthread_create(&reader, &attributes, ThreadReadPODDeviceData, this) != 0) {
        ReaderRunning.store(false);
        AddToMessageLog("Error in CreatePODThreads : _beginthread");
    }
    pthread_attr_destroy(&attributes);

    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    pthread_t writer;
    if (pthread_create(&writer, &attributes, ThreadWritePODDeviceData, this) != 0) {
        AddToMessageLog("Error in CreatePODThreads : _beginthread");
        pthread_attr_destroy(&attributes);
        return 0;
    }
    pthread_join(writer, nullptr);
    pthread_attr_destroy(&attributes);

    // The reader is detached; wait until it has left its loop so that the
    // caller may close or reopen the tty safely once this returns.
    for (int waited = 0; ReaderRunning.load() && waited < kReaderEndWaitMs; waited += 5)
        poll(nullptr, 0, 5);
    // A button or key held when the device stopped (or went away) is let go.
    tavro::ReleaseHeldInput(*this);
    return 0;
}

int CTavroLinux::CreateDataPacketThread() {
    if (RunningPasses.fetch_add(1) >= kMaxRunningPasses) {
        RunningPasses.fetch_sub(1);
        DroppedPasses.fetch_add(1);
        if (!DropLogged.exchange(true))
            LogMessage("Too many calculation passes running (%d): tracking packets are dropped",
                       kMaxRunningPasses);
        return 0;
    }

    // The pass works on a copy taken now, so a later packet cannot replace
    // its payload before it starts.
    auto* pass = new (std::nothrow) CalculationPass;
    if (pass == nullptr) {
        RunningPasses.fetch_sub(1);
        AddToMessageLog("Error in CreateDataPacketThread : _beginthread");
        return 0;
    }
    pass->object = this;
    std::memcpy(pass->payload, SharedData->RawData, sizeof pass->payload);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kCalculationStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, ThreadCalculatePODDeviceData, pass) != 0) {
        delete pass;
        RunningPasses.fetch_sub(1);
        AddToMessageLog("Error in CreateDataPacketThread : _beginthread");
    }
    pthread_attr_destroy(&attributes);
    return 0;
}

int CTavroLinux::StopDevice() {
    SharedData->StopRequest = 1;
    tavro::ReleaseHeldInput(*this);
    TV_Sleep(50000);
    return 0;
}

int CTavroLinux::WritePODDeviceData() {
    SharedDeviceState& r = *SharedData;
    if (r.HIDMouseAtStart != 0) {
        r.HIDMouseMode = 6;
        SendHID_Mouse();
    }

    int last = 0;
    // Serves one flag: the encoder first, then the flag is lowered, whether
    // or not the command went out.
    auto serve = [&](uint8_t& flag, auto send) {
        if (!Requested(flag)) return;
        last = send();
        Lower(flag);
    };

    for (;;) {
        TV_Sleep(kWriterPollMicroseconds);
        // Decided before the pass, so requests pending when the stop came
        // still go out in this last pass.
        bool goOn = !StopRequested(SharedData) && last != 1 &&
                    !(EndOnDeviceLoss.load() && DeviceLost.load());

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
    auto* link = static_cast<CTavroLinux*>(object);
    link->ReadPODDeviceData();
    link->ReaderRunning.store(false);  // the thread's last use of the object
    return nullptr;
}

void* CTavroLinux::ThreadWritePODDeviceData(void* object) {
    static_cast<CTavroLinux*>(object)->WritePODDeviceData();
    return nullptr;
}

// The argument is the pass (object and payload copy); the pass is freed here.
void* CTavroLinux::ThreadCalculatePODDeviceData(void* argument) {
    auto* pass = static_cast<CalculationPass*>(argument);
    CTavroLinux* object = pass->object;
    object->CalculatePODDeviceData(pass->payload);
    delete pass;
    object->RunningPasses.fetch_sub(1);  // the thread's last use of the object
    return nullptr;
}
