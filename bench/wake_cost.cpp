// What the machine charges for the operations every design of the daemon
// is made of, as processor time of the thread that does them: a system call
// that does nothing, a wake-up from a timed wait (as a sub-frame's timer or
// a poll's time-out wakes the reader), and a wake-up by another thread (as
// a packet wakes the reader through the tty).  bench/pipeline_bench.sh
// prints them beside the daemon's work per packet, so that its processor
// time can be read as "so many wake-ups and calls at this machine's price".
//
// Usage: wake_cost [ROUNDS]   (default 2000)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

double ThreadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// Processor time of the calling thread per call of `step`, in microseconds.
template <typename Step>
double PerCall(int rounds, Step step) {
    const double start = ThreadCpuUs();
    for (int i = 0; i < rounds; ++i) step();
    return (ThreadCpuUs() - start) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds <= 0) {
        std::fprintf(stderr, "usage: wake_cost [ROUNDS]\n");
        return 2;
    }
    const double syscall = PerCall(rounds * 50, [] { (void)getppid(); });
    // 1 ms apart: long enough that the processor idles in between, as it
    // does between packets.
    const double timed = PerCall(rounds, [] { poll(nullptr, 0, 1); });

    // Ping-pong: each side sleeps in a read until the other writes, so that
    // every read is a wake-up by the other thread.
    const int ping = eventfd(0, 0), pong = eventfd(0, 0);
    if (ping < 0 || pong < 0) {
        std::perror("wake_cost: eventfd");
        return 1;
    }
    std::thread other([&] {
        uint64_t value = 0;
        for (int i = 0; i < rounds; ++i) {
            if (read(ping, &value, sizeof value) != sizeof value) return;
            value = 1;
            if (write(pong, &value, sizeof value) != sizeof value) return;
        }
    });
    const double woken = PerCall(rounds, [&] {
        uint64_t value = 1;
        if (write(ping, &value, sizeof value) != sizeof value) std::abort();
        if (read(pong, &value, sizeof value) != sizeof value) std::abort();
    });
    other.join();

    std::printf("%-52s %8.2f us\n", "empty system call (getppid)", syscall);
    std::printf("%-52s %8.2f us\n", "wake-up from a timed wait (poll, 1 ms)", timed);
    std::printf("%-52s %8.2f us\n", "wake-up by another thread (eventfd write + read)", woken);
    return 0;
}
