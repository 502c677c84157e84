// The calculation pipeline of the running device.
//
// The reader runs each accepted tracking payload's pass as soon as it has
// framed it, on its own thread and so strictly in arrival order: values,
// histories, buttons (whose keys and waits go to the output thread) and
// smoothing.  The pass's pointer motion starts when the reader has framed
// everything the tty had delivered: the first sub-frame of the newest pass
// of each handset is played then, so a backlog read at once moves each
// handset once instead of once per superseded packet (counted, never a
// packet's buttons).  The later sub-frames, SleepingFactor * 1000 /
// SubframeInterpolation us apart, are played by the handset's worker, a
// thread that starts with the handset's first packet and ends with the
// device, on a timer the reader sets without waking it; a newer pass of the
// handset takes the older one's place, so the pointer always heads for the
// newest target.  No thread is woken per packet: the reader is awake anyway,
// and a worker wakes only for a sub-frame that is due.
#ifndef TAVRO_CALCULATION_WORKERS_H
#define TAVRO_CALCULATION_WORKERS_H

#include "TavroLinux.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>

namespace tavro {

class CalculationWorkers {
public:
    // Counts into kit.Counts and, when not null, into the daemon's `status`.
    CalculationWorkers(CTavroLinux& kit, DaemonStatus* status);
    ~CalculationWorkers();
    CalculationWorkers(const CalculationWorkers&) = delete;
    CalculationWorkers& operator=(const CalculationWorkers&) = delete;

    // Accepts payloads from now on (the device starts).
    void Start();
    // Runs the pass of a tracking payload (at least 14 bytes) now; its
    // motion starts at the next Flush with `deferMotion` (the run's reader,
    // which flushes before it waits), at once otherwise.  Starts the
    // handset's worker on its first packet; a handset whose worker cannot
    // start (thread or file limits) moves straight to each pass's target.
    // False when the workers are not running.
    bool Submit(const unsigned char* payload, bool deferMotion);
    // Plays the first sub-frame of the newest waiting pass of every handset
    // and hands the rest to the handset's worker.  The reader calls it
    // before it waits for the tty.
    void Flush();
    // Ends every worker and joins it.  With `drain` the motion under way is
    // played to its end (the receiver went away); otherwise it is dropped (a
    // stop: nothing moves after it).
    void Stop(bool drain);
    // Workers running now.
    int Running() const { return running_workers_.load(); }

    // Worker thread entry; `seat` is one of the handset seats.
    static void* Run(void* seat);

    // Makes a seat's timer (a timerfd; -1 with errno when none can be had).
    // Tests replace it to run handsets without their worker.
    static int (*MakeTimer)();

private:
    using Clock = std::chrono::steady_clock;
    struct Seat {
        CalculationWorkers* owner = nullptr;
        int user = 0;
        int timer = -1;  // timerfd: fires when the next sub-frame is due
        // Guards what follows; held while a sub-frame is played, so the
        // moves of one handset never overlap.
        std::mutex mutex;
        CTavroCore::PassMotion motion;  // the pass whose sub-frames are played
        bool active = false;            // `motion` has sub-frames left
        int next = 0;                   // the next of them
        Clock::time_point due;          // when it is played
        bool stopping = false;
        bool drain = false;
        bool started = false;
        pthread_t thread{};
        // The newest computed pass whose motion has not started (the
        // reader's, under pendingMutex_).
        CTavroCore::PassMotion pending;
        bool hasPending = false;
    };

    void Work(Seat& seat);
    void StartWorker(Seat& seat);
    // Ends the seat's motion under way (its pass is through); seat locked.
    void EndMotion(Seat& seat);
    static void Arm(Seat& seat, Clock::time_point when);
    void Skipped(int user);

    CTavroLinux& kit_;
    DaemonStatus* const status_;
    std::atomic<bool> accepting_{false};
    // One log line per run for skipped motion.
    std::atomic<bool> skipLogged_{false};
    std::atomic<int> running_workers_{0};
    std::atomic<bool> workerFailureLogged_{false};
    std::mutex pendingMutex_;
    std::atomic<bool> anyPending_{false};
    Seat seats_[TAVRO_HANDSETS];
};

// Copies the pipeline counts into the daemon's status segment, if not null.
void PublishPipelineCounts(const PipelineCounts& counts, DaemonStatus* status);

}  // namespace tavro

#endif  // TAVRO_CALCULATION_WORKERS_H
