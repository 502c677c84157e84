// The calculation pipeline seen from inside one process: the device runs on
// a pseudo-terminal and the X display of $DISPLAY, a stream of tracking
// packets goes in, and the active handset's button dispatch and pointer
// moves are watched.  Prints one line of figures:
//   out-of-order passes with bursts of 2-8 (4 handsets), button updates lost
//   in that stream, button updates lost with the zoom key held and bursts
//   of 4 at 60 Hz, latency from a packet's last byte written to its first
//   pointer move (p50 and p99, single packets at 60 Hz), and the part of it
//   spent before the kit has the packet framed (the kernel's delivery of
//   the bytes and the reader's wake-up), which no design of the kit changes.
// It uses only what the kit's platform class has long offered, so
// bench/pipeline_bench.sh builds the same source against the previous
// design and the current one and prints both in one table.
//
// Runs in a private IPC namespace (the script arranges it): the record is
// made with a private key.
#include "TavroLinux.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBaseX = 12000;
constexpr unsigned kStepX = 10;  // packet units per sequence number
constexpr unsigned kSeparation = 4000;
constexpr unsigned kSouthWest = 8;

// Watches the active handset: the sequence number of every packet that
// reaches the button dispatch, and the times at which each packet written
// was framed and first moved the pointer.
class WatchedKit : public CTavroLinux {
public:
    int HandleMenuEvents() override {
        const double raw = SharedData->RawX[0];
        const long x = std::lround(raw * 200.0 + kSeparation) / 2;
        std::lock_guard<std::mutex> lock(mutex);
        dispatched.push_back(static_cast<int>((x - static_cast<long>(kBaseX)) / kStepX));
        return CTavroLinux::HandleMenuEvents();
    }
    int CreateDataPacketThread() override {
        if (waitingForFrame.exchange(false)) Since(framed);
        return CTavroLinux::CreateDataPacketThread();
    }
    int MoveScreenCursor(double x, double y, double ux, double uy, int user) override {
        const int result = CTavroLinux::MoveScreenCursor(x, y, ux, uy, user);
        if (user == 0 && waitingForMove.exchange(false)) Since(latencies);
        return result;
    }
    // Adds the milliseconds since the packet was written to `times`.
    void Since(std::vector<double>& times) {
        const long long now = Clock::now().time_since_epoch().count();
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back((now - writtenNs.load()) / 1e6);
    }
    std::mutex mutex;
    std::vector<int> dispatched;
    std::vector<double> latencies, framed;
    std::atomic<bool> waitingForMove{false}, waitingForFrame{false};
    std::atomic<long long> writtenNs{0};  // steady clock, when the packet went out
};

struct Pty {
    int master = -1, keeper = -1;
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        keeper = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(keeper, &t);
        cfmakeraw(&t);
        tcsetattr(keeper, TCSANOW, &t);
    }
    ~Pty() {
        close(keeper);
        close(master);
    }
    void Write(const std::vector<unsigned char>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
        }
    }
};

void Packet(std::vector<unsigned char>& out, int user, int sequence, unsigned held,
            unsigned separation = kSeparation) {
    const unsigned x = kBaseX + kStepX * static_cast<unsigned>(sequence);
    const unsigned buttons = (held & 0x9FFFu) | (static_cast<unsigned>(user) << 13);
    const unsigned words[] = {buttons, x, 14400, 50, x - separation, 14400, 50};
    out.insert(out.end(), {0x51, 0x56, 0x01, 14});
    for (unsigned w : words) out.insert(out.end(), {static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)});
}

void Percentiles(std::vector<double> times, double* p50, double* p99) {
    if (times.empty()) return;
    std::sort(times.begin(), times.end());
    *p50 = times[times.size() / 2];
    *p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
}

struct Figures {
    int outOfOrder = 0, lost = 0, sent = 0;
};

Figures Count(const std::vector<int>& dispatched, int sent) {
    Figures f;
    f.sent = sent;
    int newest = -1;
    for (int s : dispatched) {
        if (s < newest) ++f.outOfOrder;
        newest = std::max(newest, s);
    }
    std::vector<int> seen = dispatched;
    std::sort(seen.begin(), seen.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    f.lost = sent - static_cast<int>(seen.size());
    return f;
}

// Runs the device, plays `play` into the pty, waits until every pass is done.
template <typename Play>
void RunDevice(WatchedKit& kit, Pty&, Play play) {
    std::thread device([&] { kit.StartDevice(); });
    const auto start = Clock::now();
    while (!kit.ReaderRunning() && Clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    play();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto drain = Clock::now();
    while (kit.Counts.RunningPasses.load() > 0 && Clock::now() - drain < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kit.SharedData->StopRequest = 1;
    device.join();
    while (kit.Counts.RunningPasses.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// A fresh kit on a fresh record for each scenario.
template <typename Scenario>
void WithKit(Scenario scenario) {
    static int key = 0x7B00;
    CTavroLinux::SharedMemoryKey = ++key;
    Pty pty;
    auto* kit = new WatchedKit;  // never freed: the kit's objects live for the process
    if (kit->Initialize() != 0) {
        std::fprintf(stderr, "pipeline_order: the record cannot be made (run in a private IPC namespace)\n");
        std::exit(1);
    }
    std::snprintf(kit->SharedData->DeviceName, sizeof kit->SharedData->DeviceName, "%s", pty.path.c_str());
    kit->SharedData->ActivateCursor = 1;
    scenario(*kit, pty);
}

}  // namespace

int main(int argc, char** argv) {
    const char* label = argc > 1 ? argv[1] : "this build";
    std::mt19937 random(4242);
    Figures bursts, zoom;
    double p50 = 0, p99 = 0, framedP50 = 0, framedP99 = 0;

    // Bursts of 2-8 packets per handset, the four handsets one after another.
    WithKit([&](WatchedKit& kit, Pty& pty) {
        int sent = 0;
        RunDevice(kit, pty, [&] {
            int sequence[4] = {};
            while (sequence[0] < 300) {
                std::vector<unsigned char> bytes;
                for (int user = 0; user < 4; ++user) {
                    const int n = 2 + static_cast<int>(random() % 7);
                    for (int k = 0; k < n; ++k) Packet(bytes, user, sequence[user]++, 0xFFFF);
                }
                pty.Write(bytes);
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
            sent = sequence[0];
        });
        bursts = Count(kit.dispatched, sent);
    });

    // The zoom key held: bursts of 4 at 60 Hz with the distance changing.
    WithKit([&](WatchedKit& kit, Pty& pty) {
        const int total = 300;
        RunDevice(kit, pty, [&] {
            for (int s = 0; s < total; s += 4) {
                std::vector<unsigned char> bytes;
                for (int k = s; k < s + 4; ++k) {
                    const int phase = k % 40;
                    const unsigned separation = 2333 + static_cast<unsigned>(phase < 20 ? 9 * phase : 9 * (40 - phase));
                    Packet(bytes, 0, k, 0xFFFF & ~(1u << kSouthWest), separation);
                }
                pty.Write(bytes);
                std::this_thread::sleep_for(std::chrono::microseconds(4 * 1000000 / 60));
            }
        });
        // The zoom packets carry their own separation, so the decoded x is
        // not the sequence: count what was dispatched.
        zoom.sent = total;
        zoom.lost = total - static_cast<int>(kit.dispatched.size());
    });

    // Latency: single packets at 60 Hz, each to a new target.
    WithKit([&](WatchedKit& kit, Pty& pty) {
        RunDevice(kit, pty, [&] {
            for (int s = 0; s < 300; ++s) {
                std::vector<unsigned char> bytes;
                Packet(bytes, 0, (s % 2) * 200, 0xFFFF);
                kit.writtenNs = Clock::now().time_since_epoch().count();
                kit.waitingForMove = true;
                kit.waitingForFrame = true;
                pty.Write(bytes);  // 18 bytes: one write call
                std::this_thread::sleep_for(std::chrono::microseconds(1000000 / 60));
            }
        });
        Percentiles(kit.latencies, &p50, &p99);
        Percentiles(kit.framed, &framedP50, &framedP99);
    });

    std::printf("%-10s %14d/%-4d %12d/%-4d %12d/%-4d %9.3f %9.3f %9.3f %9.3f\n", label, bursts.outOfOrder,
                bursts.sent, bursts.lost, bursts.sent, zoom.lost, zoom.sent, p50, p99, framedP50, framedP99);
    return 0;
}
