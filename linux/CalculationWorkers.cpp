#include "CalculationWorkers.h"

#include "DaemonStatus.h"

#include <chrono>
#include <cstring>

namespace tavro {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackScale = 8;
#else
constexpr size_t kStackScale = 1;
#endif
// The pass, the button handlers and the Xlib calls they make.
constexpr size_t kWorkerStack = 131072 * kStackScale;

// Longest a sub-frame wait goes without looking at StopRequest, which any
// process may set without waking anybody.
constexpr auto kStopCheck = std::chrono::milliseconds(10);
// How long the reader waits for room in a full queue before it drops.
constexpr auto kFullWait = std::chrono::milliseconds(500);

bool StopRequested(const SharedDeviceState* record) {
    return __atomic_load_n(&record->StopRequest, __ATOMIC_RELAXED) != 0;
}

template <typename T, typename V>
void Store(T& field, V value) {
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}

}  // namespace

void PublishPipelineCounts(CTavroLinux& kit) {
    DaemonStatus* status = kit.Status;
    if (status == nullptr) return;
    Store(status->PacketsDecoded, kit.PacketsDecoded.load());
    for (int user = 0; user < TAVRO_HANDSETS; ++user)
        Store(status->PacketsPerHandset[user], kit.PacketsPerHandset[user].load());
    Store(status->LastPacketUnixNs, kit.LastPacketUnixNs.load());
    Store(status->MotionSkipped, kit.MotionSkipped.load());
    Store(status->PassesDropped, kit.DroppedPasses.load());
}

CalculationWorkers::CalculationWorkers(CTavroLinux& kit) : kit_(kit) {
    for (int user = 0; user < TAVRO_HANDSETS; ++user) {
        seats_[user].owner = this;
        seats_[user].user = user;
    }
}

CalculationWorkers::~CalculationWorkers() { Stop(false); }

void CalculationWorkers::Start() {
    for (Seat& seat : seats_) {
        std::lock_guard<std::mutex> lock(seat.mutex);
        seat.stopping = false;
        seat.drain = false;
    }
    accepting_.store(true);
}

bool CalculationWorkers::Submit(const unsigned char* payload) {
    if (!accepting_.load()) return false;
    const int user = (payload[0] >> 5) & 3;
    Seat& seat = seats_[user];
    {
        std::unique_lock<std::mutex> lock(seat.mutex);
        if (seat.stopping) return false;
        if (!seat.started) {
            pthread_attr_t attributes;
            pthread_attr_init(&attributes);
            pthread_attr_setstacksize(&attributes, kWorkerStack);
            seat.started = pthread_create(&seat.thread, &attributes, CTavroLinux::ThreadCalculatePODDeviceData, &seat) == 0;
            pthread_attr_destroy(&attributes);
            if (!seat.started) {
                CTavroLinux::AddToMessageLog("Error in CreateDataPacketThread : _beginthread");
                return false;  // computed by the caller rather than lost
            }
            running_workers_.fetch_add(1);
        }
        // Full: the reader waits for room (the tty then holds the rest and
        // the receiver's side is slowed, nothing is lost); only a worker
        // stuck for kFullWait loses packets, counted and logged.
        const auto giveUp = Clock::now() + kFullWait;
        while (seat.count == kQueueCapacity && !seat.stopping && !StopRequested(kit_.SharedData) &&
               Clock::now() < giveUp)
            seat.room.wait_for(lock, kStopCheck);
        if (seat.stopping) return false;
        // A pass that starts after a stop does nothing: not a loss.
        if (seat.count == kQueueCapacity && StopRequested(kit_.SharedData)) return true;
        if (seat.count == kQueueCapacity) {
            kit_.DroppedPasses.fetch_add(1);
            PublishPipelineCounts(kit_);
            if (!kit_.DropLogged.exchange(true))
                CTavroLinux::LogMessage(
                    "Calculation queue of handset %d is full (%d packets): tracking packets are dropped",
                    user, kQueueCapacity);
            return true;
        }
        const int tail = (seat.head + seat.count) % kQueueCapacity;
        std::memcpy(seat.queue[tail], payload, kSlotBytes);
        seat.arrivedNs[tail] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        ++seat.count;
        kit_.RunningPasses.fetch_add(1);
        lock.unlock();
    }
    seat.wake.notify_one();
    return true;
}

void CalculationWorkers::Stop(bool drain) {
    accepting_.store(false);
    for (Seat& seat : seats_) {
        {
            std::lock_guard<std::mutex> lock(seat.mutex);
            seat.stopping = true;
            seat.drain = drain;
            if (!drain) {
                kit_.RunningPasses.fetch_sub(seat.count);
                seat.count = 0;
            }
        }
        seat.wake.notify_all();
        seat.room.notify_all();
    }
    for (Seat& seat : seats_) {
        if (!seat.started) continue;
        pthread_join(seat.thread, nullptr);
        seat.started = false;
        running_workers_.fetch_sub(1);
    }
}

void* CalculationWorkers::Run(void* argument) {
    auto* seat = static_cast<Seat*>(argument);
    seat->owner->Work(*seat);
    return nullptr;
}

void CalculationWorkers::Work(Seat& seat) {
    unsigned char payload[kTrackingPayloadSize];
    for (;;) {
        bool behind = false;
        int64_t arrivedNs = 0;
        {
            std::unique_lock<std::mutex> lock(seat.mutex);
            seat.wake.wait(lock, [&] { return seat.count > 0 || seat.stopping; });
            if (seat.count == 0) return;  // stopping with nothing left
            std::memset(payload, 0, sizeof payload);
            std::memcpy(payload, seat.queue[seat.head], kSlotBytes);
            arrivedNs = seat.arrivedNs[seat.head];
            seat.head = (seat.head + 1) % kQueueCapacity;
            --seat.count;
            behind = seat.count > 0;
        }
        seat.room.notify_one();

        CTavroCore::PassMotion motion;
        // The filter's time step is the packet's arrival, not this moment.
        CTavroCore::SetPassArrivalNs(arrivedNs);
        if (kit_.ComputePass(payload, &motion)) {
            if (behind) {
                // A newer packet of this handset waits: its pass heads for a
                // newer target and would cut this motion short at once.
                kit_.MotionSkipped.fetch_add(1);
                PublishPipelineCounts(kit_);
                if (!kit_.SkipLogged.exchange(true))
                    CTavroLinux::LogMessage(
                        "Calculation of handset %d fell behind: the pointer motion of superseded "
                        "packets is skipped (their buttons are still processed)",
                        seat.user);
            } else {
                kit_.MovePass(motion, WaitBetweenSubframes, &seat, false);
            }
        }
        kit_.RunningPasses.fetch_sub(1);
    }
}

// The wait between two sub-frames: true when it ran its time, false when a
// newer packet of the handset or a stop ended it.
bool CalculationWorkers::WaitBetweenSubframes(void* argument, int microseconds) {
    auto& seat = *static_cast<Seat*>(argument);
    const SharedDeviceState* record = seat.owner->kit_.SharedData;
    const auto deadline = Clock::now() + std::chrono::microseconds(microseconds);
    std::unique_lock<std::mutex> lock(seat.mutex);
    for (;;) {
        if (seat.count > 0 || (seat.stopping && !seat.drain) || StopRequested(record)) return false;
        const auto now = Clock::now();
        if (now >= deadline) return true;
        seat.wake.wait_until(lock, std::min(deadline, now + kStopCheck));
    }
}

}  // namespace tavro
