// How the pointer's path looks when calculation passes of one handset overlap.
//
// Tracking packets arrive faster than one pass spreads its movement over its
// sub-frames (SleepingFactor ms), so several passes of the same handset are
// in their sub-frames at once.  Two behaviours are compared on the real
// calculation pass:
//   interleaving - every pass plays all its sub-frames, whatever newer passes do;
//   superseding  - a pass stops moving the pointer once a newer pass of the
//                  same handset has started moving it.
// The aim sweeps steadily to the right, so a good path only moves right and
// ends on the newest target.  Prints one table row per behaviour and packet
// interval.
#include "NullPlatform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A platform whose "screen" is the calibration screen and whose pointer is
// a number: direct pointing puts it where the pass says.
class BenchPlatform : public tavro::test::NullPlatform {
public:
    int MoveScreenCursor(double, double, double ux, double, int user) override {
        if (user != 0) return 0;
        std::lock_guard<std::mutex> lock(mutex_);
        path.push_back(ux);
        return 0;
    }
    int TV_Sleep(int microseconds) override {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
        return 0;
    }
    std::vector<double> path;

private:
    std::mutex mutex_;
};

// Two spots 20 camera pixels apart, the right one at `rightSpotX`.
void Payload(unsigned char* p, unsigned rightSpotX) {
    const unsigned words[] = {0x9FFF, rightSpotX, 14400, 50, rightSpotX - 2000, 14400, 50};
    for (int i = 0; i < 7; ++i) {
        p[2 * i] = static_cast<unsigned char>(words[i] >> 8);
        p[2 * i + 1] = static_cast<unsigned char>(words[i] & 0xFF);
    }
}

struct Result {
    size_t moves = 0;
    int backward = 0;            // steps to the left
    double backwardPixels = 0;   // their total length
    double meanStep = 0, maxStep = 0, stepSpread = 0;  // forward steps
    double finalError = 0;       // newest target minus where the pointer ended
    int maxPasses = 0;           // passes running at once
};

Result Run(bool supersede, int intervalMs, bool jitter, int packets) {
    BenchPlatform core;
    core.SupersedeOlderPasses = supersede;
    std::atomic<int> running{0}, maxRunning{0};
    std::vector<std::thread> threads;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> spread(-intervalMs / 2, intervalMs / 2);

    // 5.5 camera pixels (27.5 calibration pixels) per packet, within the
    // range a receiver reports (high byte of x at most 152).
    const unsigned step = 550;
    auto next = Clock::now();
    for (int i = 0; i < packets; ++i) {
        auto payload = std::make_shared<std::vector<unsigned char>>(kTrackingPayloadSize, 0);
        Payload(payload->data(), 6000 + step * i);
        threads.emplace_back([&, payload] {
            int now = running.fetch_add(1) + 1;
            int seen = maxRunning.load();
            while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
            }
            core.CalculatePODDeviceData(payload->data());
            running.fetch_sub(1);
        });
        next += std::chrono::milliseconds(intervalMs + (jitter ? spread(random) : 0));
        std::this_thread::sleep_until(next);
    }
    for (std::thread& t : threads) t.join();

    Result result;
    result.moves = core.path.size();
    result.maxPasses = maxRunning.load();
    std::vector<double> forward;
    for (size_t i = 1; i < core.path.size(); ++i) {
        const double d = core.path[i] - core.path[i - 1];
        if (d < -1e-9) {
            ++result.backward;
            result.backwardPixels -= d;
        } else {
            forward.push_back(d);
        }
    }
    if (!forward.empty()) {
        double sum = 0, squares = 0;
        for (double d : forward) {
            sum += d;
            squares += d * d;
            result.maxStep = std::max(result.maxStep, d);
        }
        result.meanStep = sum / forward.size();
        result.stepSpread = std::sqrt(std::max(0.0, squares / forward.size() -
                                                        result.meanStep * result.meanStep));
    }
    result.finalError = core.SharedData->StabX[0] - (core.path.empty() ? 0 : core.path.back());
    return result;
}

}  // namespace

int main() {
    const int packets = 60;
    std::printf("Overlapping calculation passes: %d packets, aim +27.5 px per packet, "
                "3 sub-frames over 30 ms per pass\n\n", packets);
    std::printf("%-12s %-9s %6s %9s %12s %9s %9s %9s %10s %7s\n", "behaviour", "interval",
                "moves", "backward", "backward px", "mean step", "max step", "spread",
                "end error", "passes");
    struct Setting {
        int ms;
        bool jitter;
    };
    const Setting settings[] = {{5, false}, {10, false}, {10, true}, {20, false}, {30, false},
                                {40, false}};
    for (bool supersede : {false, true}) {
        for (const Setting& s : settings) {
            const Result r = Run(supersede, s.ms, s.jitter, packets);
            char interval[16];
            std::snprintf(interval, sizeof interval, "%d ms%s", s.ms, s.jitter ? "+-" : "");
            std::printf("%-12s %-9s %6zu %9d %12.1f %9.1f %9.1f %9.1f %10.1f %7d\n",
                        supersede ? "superseding" : "interleaving", interval, r.moves, r.backward,
                        r.backwardPixels, r.meanStep, r.maxStep, r.stepSpread, r.finalError,
                        r.maxPasses);
        }
    }
    std::printf("\nbackward: steps against the sweep; spread: standard deviation of the "
                "forward steps;\nend error: newest target minus the pointer's last position; "
                "passes: most passes running at once.\n");
    return 0;
}
