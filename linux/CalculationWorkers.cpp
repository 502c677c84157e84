#include "CalculationWorkers.h"

#include "DaemonStatus.h"
#include "RecordAccess.h"
#include "ThreadStacks.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tavro {

namespace {

int64_t SteadyNs(std::chrono::steady_clock::time_point when) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
}

// Plays sub-frame `index` of the pass alone, through the core's own motion
// (MovePass on a one-sub-frame copy whose table starts there), so that a
// stop, a newer pass of the handset and a shrunk setting end it as they end
// any pass.  False when nothing moved: the pass is over.
bool PlaySubframe(CTavroLinux& kit, const CTavroCore::PassMotion& motion, int index) {
    if (index >= motion.subframes) return false;
    if (index >= LoadField(kit.SharedData->SubframeInterpolation)) return false;
    if (index == 0) {
        CTavroCore::PassMotion first = motion;
        first.subframes = 1;
        return kit.MovePass(first, nullptr, nullptr, false) == 1;
    }
    CTavroCore::PassMotion one = motion;
    one.subframes = 1;
    for (int axis = 0; axis < 2; ++axis)
        for (int user = 0; user < TAVRO_HANDSETS; ++user)
            one.table[0][axis][user] = motion.table[index][axis][user];
    return kit.MovePass(one, nullptr, nullptr, false) == 1;
}

int MakeTimerFd() { return timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC); }

}  // namespace

int (*CalculationWorkers::MakeTimer)() = MakeTimerFd;

void PublishPipelineCounts(const PipelineCounts& counts, DaemonStatus* status) {
    if (status == nullptr) return;
    StoreField(status->PacketsDecoded, counts.PacketsDecoded.load());
    for (int user = 0; user < TAVRO_HANDSETS; ++user)
        StoreField(status->PacketsPerHandset[user], counts.PacketsPerHandset[user].load());
    StoreField(status->LastPacketUnixNs, counts.LastPacketUnixNs.load());
    StoreField(status->MotionSkipped, counts.MotionSkipped.load());
    StoreField(status->PassesDropped, counts.DroppedPasses.load());
}

CalculationWorkers::CalculationWorkers(CTavroLinux& kit, DaemonStatus* status) : kit_(kit), status_(status) {
    for (int user = 0; user < TAVRO_HANDSETS; ++user) {
        seats_[user].owner = this;
        seats_[user].user = user;
        seats_[user].timer = MakeTimer();
    }
}

CalculationWorkers::~CalculationWorkers() {
    Stop(false);
    for (Seat& seat : seats_)
        if (seat.timer >= 0) close(seat.timer);
}

void CalculationWorkers::Start() {
    for (Seat& seat : seats_) {
        std::lock_guard<std::mutex> lock(seat.mutex);
        seat.stopping = false;
        seat.drain = false;
    }
    workerFailureLogged_.store(false);
    skipLogged_.store(false);
    accepting_.store(true);
}

void CalculationWorkers::Arm(Seat& seat, Clock::time_point when) {
    itimerspec at{};
    const int64_t ns = SteadyNs(when);
    // Zero would disarm: a time already past is one nanosecond after zero.
    at.it_value.tv_sec = ns > 0 ? ns / 1000000000 : 0;
    at.it_value.tv_nsec = ns > 0 ? ns % 1000000000 : 1;
    timerfd_settime(seat.timer, TFD_TIMER_ABSTIME, &at, nullptr);
}

void CalculationWorkers::StartWorker(Seat& seat) {
    if (seat.started) return;
    // A thread is tried again with every packet (the limit may have eased);
    // the failure is logged once a run: at 640 packets/s a line per packet
    // would fill the disk.
    if (seat.timer >= 0) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, kWorkerStack);
        seat.started =
            pthread_create(&seat.thread, &attributes, CTavroLinux::ThreadCalculatePODDeviceData, &seat) == 0;
        pthread_attr_destroy(&attributes);
        if (seat.started) {
            running_workers_.fetch_add(1);
            return;
        }
    }
    if (workerFailureLogged_.exchange(true)) return;
    if (seat.timer < 0)
        CTavroLinux::LogMessage("Error in CreateDataPacketThread : no timer for handset %d (%s)", seat.user,
                                strerror(EMFILE));
    else
        CTavroLinux::AddToMessageLog("Error in CreateDataPacketThread : _beginthread");
}

void CalculationWorkers::Skipped(int user) {
    kit_.Counts.MotionSkipped.fetch_add(1);
    PublishPipelineCounts(kit_.Counts, status_);
    if (!skipLogged_.exchange(true))
        CTavroLinux::LogMessage(
            "Calculation of handset %d fell behind: the pointer motion of superseded "
            "packets is skipped (their buttons are still processed)",
            user);
}

bool CalculationWorkers::Submit(const unsigned char* payload, bool deferMotion) {
    if (!accepting_.load()) return false;
    const int user = (payload[0] >> 5) & 3;
    Seat& seat = seats_[user];
    {
        std::lock_guard<std::mutex> lock(seat.mutex);
        if (seat.stopping) return false;
        // Without its worker the handset's passes are still computed here,
        // in order; their motion goes to the target at once (Flush).
        StartWorker(seat);
    }
    kit_.Counts.RunningPasses.fetch_add(1);
    CTavroCore::PassMotion motion;
    // The filter's time step is the packet's arrival: now, as it was framed.
    CTavroCore::SetPassArrivalNs(SteadyNs(Clock::now()));
    const bool moves = kit_.ComputePass(payload, &motion);
    CTavroCore::SetPassArrivalNs(0);
    if (!moves) {
        kit_.Counts.RunningPasses.fetch_sub(1);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        if (!accepting_.load()) {
            // The device stopped while this pass was computed (the stop
            // waits for the reader only so long): its motion belongs to the
            // run that ended, and must not move the pointer of the next.
            kit_.Counts.RunningPasses.fetch_sub(1);
            return true;
        }
        if (seat.hasPending) {
            // A newer packet of the handset came in the same read: the older
            // pass's motion would be cut short at once.
            kit_.Counts.RunningPasses.fetch_sub(1);
            Skipped(user);
        }
        seat.pending = motion;
        seat.hasPending = true;
        anyPending_.store(true, std::memory_order_relaxed);
    }
    if (!deferMotion) Flush();
    return true;
}

void CalculationWorkers::EndMotion(Seat& seat) {
    if (!seat.active) return;
    seat.active = false;
    kit_.Counts.RunningPasses.fetch_sub(1);
}

void CalculationWorkers::Flush() {
    if (!anyPending_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> pendingLock(pendingMutex_);
    anyPending_.store(false, std::memory_order_relaxed);
    for (Seat& seat : seats_) {
        if (!seat.hasPending) continue;
        seat.hasPending = false;
        std::lock_guard<std::mutex> lock(seat.mutex);
        EndMotion(seat);  // superseded by this newer pass
        seat.motion = seat.pending;
        seat.active = true;
        seat.next = 0;
        if (!seat.started) {
            // No worker to play the later sub-frames: the last one now, so
            // the pointer still ends on the newest target.
            PlaySubframe(kit_, seat.motion, seat.motion.subframes - 1);
            EndMotion(seat);
            continue;
        }
        const Clock::time_point start = Clock::now();
        if (!PlaySubframe(kit_, seat.motion, 0) || seat.motion.subframes < 2 || seat.stopping) {
            EndMotion(seat);
            continue;
        }
        seat.next = 1;
        seat.due = start + std::chrono::microseconds(seat.motion.pauseMicroseconds);
        Arm(seat, seat.due);
    }
}

void CalculationWorkers::Stop(bool drain) {
    accepting_.store(false);
    if (drain) {
        Flush();
    } else {
        std::lock_guard<std::mutex> pendingLock(pendingMutex_);
        anyPending_.store(false);
        for (Seat& seat : seats_) {
            if (!seat.hasPending) continue;
            seat.hasPending = false;
            kit_.Counts.RunningPasses.fetch_sub(1);
        }
    }
    for (Seat& seat : seats_) {
        std::lock_guard<std::mutex> lock(seat.mutex);
        seat.stopping = true;
        seat.drain = drain;
        if (!drain) EndMotion(seat);
        if (seat.started) Arm(seat, Clock::time_point{});  // wake the worker now
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
    char name[16];
    std::snprintf(name, sizeof name, "tavro-calc-%d", seat->user);
    pthread_setname_np(pthread_self(), name);
    seat->owner->Work(*seat);
    return nullptr;
}

void CalculationWorkers::Work(Seat& seat) {
    for (;;) {
        // Blocks until the timer fires; the reader moves it without waking
        // this thread, so a sub-frame that a newer pass replaced costs
        // nothing.
        uint64_t expirations = 0;
        if (read(seat.timer, &expirations, sizeof expirations) < 0 && errno != EINTR && errno != EAGAIN) {
            CTavroLinux::LogMessage("Calculation worker of handset %d cannot wait: %s", seat.user,
                                    strerror(errno));
            std::lock_guard<std::mutex> lock(seat.mutex);
            EndMotion(seat);
            return;
        }
        std::lock_guard<std::mutex> lock(seat.mutex);
        if (seat.stopping && !(seat.drain && seat.active)) {
            EndMotion(seat);
            return;
        }
        if (!seat.active) continue;
        if (Clock::now() < seat.due) {
            Arm(seat, seat.due);  // woken early: wait for the time still
            continue;
        }
        if (StopRequested(kit_.SharedData) || !PlaySubframe(kit_, seat.motion, seat.next) ||
            ++seat.next >= seat.motion.subframes) {
            EndMotion(seat);
            if (seat.stopping) return;
            continue;
        }
        seat.due += std::chrono::microseconds(seat.motion.pauseMicroseconds);
        Arm(seat, seat.due);
    }
}

}  // namespace tavro
