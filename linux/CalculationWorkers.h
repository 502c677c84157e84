// One calculation worker per handset: the reader queues each accepted
// tracking payload for its handset, and the handset's worker computes the
// passes strictly in arrival order and plays their pointer motion.  Handsets
// never wait for each other's motion; a newer packet of a handset cuts the
// older pass's remaining sub-frames short; a worker that is behind skips the
// motion of passes a waiting packet supersedes anyway, never their buttons.
#ifndef TAVRO_CALCULATION_WORKERS_H
#define TAVRO_CALCULATION_WORKERS_H

#include "TavroLinux.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tavro {

class CalculationWorkers {
public:
    // Payloads a handset's queue holds (16 bytes each, allocated once): a
    // few seconds at the line's full rate, far beyond any tty backlog.
    static constexpr int kQueueCapacity = 1024;
    static constexpr int kSlotBytes = 16;

    explicit CalculationWorkers(CTavroLinux& kit);
    ~CalculationWorkers();
    CalculationWorkers(const CalculationWorkers&) = delete;
    CalculationWorkers& operator=(const CalculationWorkers&) = delete;

    // Accepts payloads from now on (the device starts).
    void Start();
    // Queues a tracking payload (at least 14 bytes) for its handset, starting
    // the handset's worker on its first packet.  False when the workers are
    // not running; the caller then computes the pass itself.
    bool Submit(const unsigned char* payload);
    // Ends every worker and joins it.  With `drain` the queued packets are
    // computed first (the receiver went away); otherwise they are discarded
    // (a stop: passes that start after it do nothing).
    void Stop(bool drain);
    // Workers running now.
    int Running() const { return running_workers_.load(); }

    // Worker thread entry; `seat` is one of the handset seats.
    static void* Run(void* seat);

private:
    struct Seat {
        CalculationWorkers* owner = nullptr;
        int user = 0;
        std::mutex mutex;
        std::condition_variable wake;  // a payload queued, or the stop
        std::condition_variable room;  // a payload taken from a full queue
        unsigned char queue[kQueueCapacity][kSlotBytes] = {};
        int64_t arrivedNs[kQueueCapacity] = {};  // steady clock, when Submit took it
        int head = 0;   // oldest queued payload
        int count = 0;  // payloads queued
        bool stopping = false;
        bool drain = false;
        bool started = false;
        pthread_t thread{};
    };

    void Work(Seat& seat);
    static bool WaitBetweenSubframes(void* seat, int microseconds);

    CTavroLinux& kit_;
    std::atomic<bool> accepting_{false};
    std::atomic<int> running_workers_{0};
    Seat seats_[TAVRO_HANDSETS];
};

// Copies the platform's pipeline counts into its status segment, if set.
void PublishPipelineCounts(CTavroLinux& kit);

}  // namespace tavro

#endif  // TAVRO_CALCULATION_WORKERS_H
