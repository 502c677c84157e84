// How steady and how quick the pointer is, with the built-in stabiliser and
// with the adaptive filter, side by side.
//
// A synthetic handset is played through the kit's real calculation pass and
// pointer mapping (the Linux platform object on a private 1920x1080 Xvfb;
// pointer warps are recorded, not sent): two spots of power 50, 22.58 camera
// pixels apart (distance 3.1), roll 0, every spot coordinate with its own
// Gaussian noise of sigma 0.3 camera pixels, rounded to the payload's
// hundredths; 60 packets per second; default settings; direct pointing.
//
// Everything runs in virtual time: the platform's sleep advances a virtual
// clock, the passes' clock reads it, and a packet that arrives while a pass
// waits between its sub-frames starts its own pass right there, as the
// device's threads would.  So every run gives the same figures.  The pointer
// is sampled every 0.1 ms.
//
// Figures: jitter (RMS distance from the mean position, and peak to peak per
// axis) over 10 s of holding still; lag behind the aimed point in motion;
// after a stop, the time until the pointer stays within 1 px of the aim and
// how far it overshoots.  Jitter comes from the noisy handset; lag, settle
// and overshoot from the same motion without noise (the filter's own
// response), with the noisy lag beside it.
#include "TavroLinux.h"
#include "XServer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kPacketsPerSecond = 60.0;
constexpr double kSpotHalfSeparation = 22.58 / 2;  // camera pixels
constexpr double kNoiseSigma = 0.3;                // camera pixels, per spot coordinate
constexpr int64_t kSampleNs = 100000;              // 0.1 ms
constexpr int kWidth = 1920, kHeight = 1080;

// The aimed point at a time, in display pixels.
using Path = std::function<void(double seconds, double* x, double* y)>;

// A small deterministic generator, so the figures do not depend on the
// standard library's distributions.
class Noise {
public:
    explicit Noise(uint64_t seed) : state_(seed) {}
    double Gaussian() {
        if (spare_) {
            spare_ = false;
            return saved_;
        }
        double u, v, s;
        do {
            u = 2 * Uniform() - 1;
            v = 2 * Uniform() - 1;
            s = u * u + v * v;
        } while (s >= 1 || s == 0);
        const double f = std::sqrt(-2 * std::log(s) / s);
        saved_ = v * f;
        spare_ = true;
        return u * f;
    }

private:
    double Uniform() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<double>(state_ >> 11) / 9007199254740992.0;
    }
    uint64_t state_;
    bool spare_ = false;
    double saved_ = 0;
};

// The platform object with a virtual clock, a record in ordinary memory and
// no settings file; the pointer warps are recorded with their times.
class BenchKit : public CTavroLinux {
public:
    struct Sample {
        int64_t ns;
        double x, y;  // the position the pass moved to (sub-pixel)
        int px, py;   // the pointer as warped
    };

    BenchKit() {
        PassClock = [](void* self) { return static_cast<BenchKit*>(self)->now; };
        PassClockContext = this;
    }
    ~BenchKit() override { SharedData = nullptr; }

    int CreateSharedMemory() override {
        SharedData = &record_;
        return 0;
    }
    int GetSharedDataPath() override { return 1; }
    int TV_GetIniFileName() override { return 1; }
    bool FileExists() override { return false; }

    // A packet is handed to its pass at once, on the current (virtual) time.
    int CreateDataPacketThread() override { return CalculatePODDeviceData(), 0; }

    int MoveScreenCursor(double x, double y, double ux, double uy, int user) override {
        lastX = ux, lastY = uy;
        return CTavroLinux::MoveScreenCursor(x, y, ux, uy, user);
    }
    int MoveScreenCursorAbsolute(int x, int y) override {
        moves.push_back({now, lastX, lastY, x, y});
        return 0;
    }
    int MoveScreenCursorRelative(int, int) override { return 0; }

    // Waiting lets virtual time pass; packets due meanwhile are played.
    int TV_Sleep(int microseconds) override {
        const int64_t until = now + static_cast<int64_t>(microseconds) * 1000;
        PlayUntil(until);
        if (now < until) now = until;
        return 0;
    }

    void Send(int64_t ns, std::vector<unsigned char> payload) { queue_.push_back({ns, std::move(payload)}); }
    void PlayUntil(int64_t until) {
        while (next_ < queue_.size() && queue_[next_].ns <= until) {
            Packet& p = queue_[next_++];
            if (p.ns > now) now = p.ns;
            HandlePODDeviceData(p.payload.data(), static_cast<int>(p.payload.size()), 1);
        }
    }

    int64_t now = 0;
    double lastX = 0, lastY = 0;
    std::vector<Sample> moves;

private:
    struct Packet {
        int64_t ns;
        std::vector<unsigned char> payload;
    };
    SharedDeviceState record_{};
    std::vector<Packet> queue_;
    size_t next_ = 0;
};

unsigned Hundredths(double cameraPixels) {
    const long v = std::lround(cameraPixels * 100);
    return static_cast<unsigned>(std::clamp(v, 0L, 65535L));
}

std::vector<unsigned char> Payload(double rawX, double rawY, Noise* noise) {
    auto jitter = [&] { return noise != nullptr ? kNoiseSigma * noise->Gaussian() : 0.0; };
    const double ax = rawX + kSpotHalfSeparation + jitter(), ay = rawY + jitter();
    const double bx = rawX - kSpotHalfSeparation + jitter(), by = rawY + jitter();
    const unsigned words[] = {0x9FFF, Hundredths(ax), Hundredths(ay), 50, Hundredths(bx),
                              Hundredths(by), 50};
    std::vector<unsigned char> p;
    for (unsigned w : words) p.insert(p.end(), {static_cast<unsigned char>(w >> 8),
                                                static_cast<unsigned char>(w & 0xFF)});
    return p;
}

// Where the handset must point (camera pixels) for a display point, with the
// default calibration and the display of 1920x1080 over the 1280x768
// calibration screen.
void CameraPoint(double x, double y, double* rawX, double* rawY) {
    const double cx = x * 1280.0 / kWidth, cy = y * 768.0 / kHeight;
    *rawX = (cx + 250.0) / 5.0;
    *rawY = (cy + 340.0) / 5.0;
}

struct Trace {
    std::vector<double> x, y;    // sub-pixel position every 0.1 ms
    std::vector<int> px, py;     // the pointer
    std::vector<double> ax, ay;  // the aim
    double start = 0;            // seconds of the first sample
    double At(size_t i) const { return start + i * kSampleNs * 1e-9; }
};

// The adaptive filter's parameters for this run (the defaults unless given).
tavro::OneEuroParameters g_position = tavro::kPositionFilterDefaults;
tavro::OneEuroParameters g_roll = tavro::kRollFilterDefaults;

bool ParseParameters(const char* text, tavro::OneEuroParameters* p) {
    return std::sscanf(text, "%lf,%lf,%lf", &p->minCutoffHz, &p->beta, &p->derivativeCutoffHz) == 3;
}

Trace Run(int choice, const Path& path, double seconds, bool noisy, uint64_t seed) {
    BenchKit kit;
    kit.Initialize();
    kit.SharedData->ActivateCursor = 1;
    kit.StabiliserChoice.store(choice);
    kit.PositionFilterParameters = g_position;
    kit.RollFilterParameters = g_roll;
    Noise noise(seed);
    const int packets = static_cast<int>(seconds * kPacketsPerSecond);
    for (int k = 0; k < packets; ++k) {
        const double t = k / kPacketsPerSecond;
        double x, y, rx, ry;
        path(t, &x, &y);
        CameraPoint(x, y, &rx, &ry);
        kit.Send(static_cast<int64_t>(std::llround(t * 1e9)), Payload(rx, ry, noisy ? &noise : nullptr));
    }
    const int64_t end = static_cast<int64_t>(seconds * 1e9);
    kit.PlayUntil(end);

    Trace trace;
    size_t m = 0;
    double x = 0, y = 0;
    int px = 0, py = 0;
    for (int64_t ns = 0; ns < end; ns += kSampleNs) {
        while (m < kit.moves.size() && kit.moves[m].ns <= ns) {
            x = kit.moves[m].x, y = kit.moves[m].y, px = kit.moves[m].px, py = kit.moves[m].py;
            ++m;
        }
        double aimX, aimY;
        path(ns * 1e-9, &aimX, &aimY);
        trace.x.push_back(x), trace.y.push_back(y), trace.px.push_back(px), trace.py.push_back(py);
        trace.ax.push_back(aimX), trace.ay.push_back(aimY);
    }
    return trace;
}

size_t Index(double seconds) { return static_cast<size_t>(std::llround(seconds * 1e9 / kSampleNs)); }

struct Jitter {
    double rms = 0, p2pX = 0, p2pY = 0;
};

template <typename T>
Jitter Spread(const std::vector<T>& xs, const std::vector<T>& ys, size_t from, size_t to) {
    double mx = 0, my = 0;
    for (size_t i = from; i < to; ++i) mx += xs[i], my += ys[i];
    mx /= (to - from), my /= (to - from);
    double squares = 0;
    double loX = xs[from], hiX = xs[from], loY = ys[from], hiY = ys[from];
    for (size_t i = from; i < to; ++i) {
        squares += (xs[i] - mx) * (xs[i] - mx) + (ys[i] - my) * (ys[i] - my);
        loX = std::min<double>(loX, xs[i]), hiX = std::max<double>(hiX, xs[i]);
        loY = std::min<double>(loY, ys[i]), hiY = std::max<double>(hiY, ys[i]);
    }
    return {std::sqrt(squares / (to - from)), hiX - loX, hiY - loY};
}

const char* Name(int choice) { return choice == CTavroCore::kStabiliserAdaptive ? "adaptive" : "builtin"; }

void Header(const char* title, const char* columns) {
    std::printf("\n%s\n%-9s %s\n", title, "filter", columns);
}

// Holding still: 1 s to settle in, then 10 s of samples.
void Still(const char* title, double x, double y) {
    Header(title, "  RMS px  p2p x  p2p y | pointer: RMS px  p2p x  p2p y");
    for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
        const Trace t = Run(choice, [&](double, double* ax, double* ay) { *ax = x, *ay = y; }, 11.0,
                            true, 0x5EED1 + static_cast<uint64_t>(x));
        const Jitter sub = Spread(t.x, t.y, Index(1.0), t.x.size());
        const Jitter ptr = Spread(t.px, t.py, Index(1.0), t.px.size());
        std::printf("%-9s %8.2f %6.1f %6.1f |       %8.2f %6.0f %6.0f\n", Name(choice), sub.rms,
                    sub.p2pX, sub.p2pY, ptr.rms, ptr.p2pX, ptr.p2pY);
    }
}

// Mean distance behind the aim along x while the aim sweeps at `speed`.
double MeanLag(const Trace& t, double from, double to) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = Index(from); i < Index(to); ++i, ++n) sum += t.ax[i] - t.x[i];
    return n > 0 ? sum / n : 0;
}

void Motion() {
    Header("Constant speed, left to right along y = 540 (lag behind the aimed point)",
           "speed px/s  lag ms  lag px | noisy: lag px  RMS px about the lag");
    for (double speed : {300.0, 1000.0, 3000.0}) {
        const double x0 = 200, distance = 1520, duration = distance / speed;
        const Path path = [=](double s, double* x, double* y) {
            *x = x0 + speed * std::min(s, duration);
            *y = 540;
        };
        for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
            const double from = std::min(0.25, duration / 2), to = duration;
            const double lag = MeanLag(Run(choice, path, duration + 0.2, false, 1), from, to);
            const Trace noisy = Run(choice, path, duration + 0.2, true, 0xA11CE);
            const double noisyLag = MeanLag(noisy, from, to);
            double squares = 0;
            size_t n = 0;
            for (size_t i = Index(from); i < Index(to); ++i, ++n) {
                const double ex = noisy.ax[i] - noisy.x[i] - noisyLag, ey = noisy.ay[i] - noisy.y[i];
                squares += ex * ex + ey * ey;
            }
            std::printf("%-9s %10.0f %7.1f %7.1f |        %7.1f  %6.2f\n", Name(choice), speed,
                        lag / speed * 1000, lag, noisyLag, std::sqrt(squares / n));
        }
    }
}

// After the aim stops at `stopAt` seconds: the time until the pointer stays
// within 1 px of it, and how far it went past it (along the motion, +x).
void Settle(const Trace& t, double stopAt, double* settleMs, double* overshoot) {
    const size_t stop = Index(stopAt);
    size_t last = stop;
    *overshoot = 0;
    for (size_t i = stop; i < t.x.size(); ++i) {
        const double dx = t.x[i] - t.ax[i], dy = t.y[i] - t.ay[i];
        if (std::sqrt(dx * dx + dy * dy) > 1.0) last = i + 1;
        *overshoot = std::max(*overshoot, dx);
    }
    *settleMs = (last - stop) * kSampleNs * 1e-6;
}

void Stops() {
    Header("Stops (noise-free settle and overshoot; noisy: jitter over the second after the settle)",
           "case                          settle ms  overshoot px | noisy: RMS px");
    struct Case {
        const char* name;
        double from, speed, duration;
    };
    // A sudden stop at the centre from 1000 px/s; a slow approach (60 px/s)
    // to a small target at the centre.
    const Case cases[] = {{"sudden stop from 1000 px/s", 460, 1000, 0.5},
                          {"slow approach at 60 px/s", 900, 60, 1.0}};
    for (const Case& c : cases) {
        const Path path = [=](double s, double* x, double* y) {
            *x = c.from + c.speed * std::min(s, c.duration);
            *y = 540;
        };
        for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
            double settle = 0, overshoot = 0;
            Settle(Run(choice, path, c.duration + 1.5, false, 1), c.duration, &settle, &overshoot);
            const Trace noisy = Run(choice, path, c.duration + 1.5, true, 0xB0B);
            const double quiet = c.duration + settle / 1000 + 0.1;
            const Jitter j = Spread(noisy.x, noisy.y, Index(quiet), Index(quiet + 1.0));
            std::printf("%-9s %-28s %10.1f %13.2f |       %6.2f\n", Name(choice), c.name, settle,
                        overshoot, j.rms);
        }
    }
}

}  // namespace

const char kUsage[] =
    "Usage: tavro-bench-filter-quality [--position MIN,BETA,DCUTOFF] [--roll MIN,BETA,DCUTOFF]\n"
    "Plays a synthetic noisy handset through the calculation pass in virtual time\n"
    "and prints jitter, lag, settle time and overshoot of both stabilisers.\n"
    "The options replace the adaptive filter's parameters for the position\n"
    "(calibration-screen pixels) and the roll (radians): minimum cut-off in Hz,\n"
    "cut-off rise per unit of speed, cut-off of the speed estimate in Hz.\n"
    "Needs Xvfb (it starts a private one).\n";

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        tavro::OneEuroParameters* target =
            arg == "--position" ? &g_position : arg == "--roll" ? &g_roll : nullptr;
        if (target == nullptr || i + 1 >= argc || !ParseParameters(argv[++i], target)) {
            std::fprintf(stderr, "filter_quality: bad option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    // The kit's own display: a private X server of the size the figures are for.
    unsetenv("DISPLAY");
    tavro::test::XvfbServer xvfb(kWidth, kHeight);
    if (!xvfb.started()) {
        std::fprintf(stderr, "filter_quality: Xvfb could not be started (apt-get install xvfb)\n");
        return 1;
    }
    std::printf("Pointer quality: synthetic handset, 60 packets/s, spots 22.58 camera px apart,\n"
                "noise sigma 0.3 camera px per spot coordinate, display %dx%d, default settings,\n"
                "direct pointing; virtual time, pointer sampled every 0.1 ms.\n"
                "RMS: distance from the mean position; \"pointer\": the integer warp positions.\n"
                "Adaptive filter: position %g Hz, beta %g, speed cut-off %g Hz; "
                "roll %g Hz, beta %g, speed cut-off %g Hz.\n",
                kWidth, kHeight, g_position.minCutoffHz, g_position.beta,
                g_position.derivativeCutoffHz, g_roll.minCutoffHz, g_roll.beta,
                g_roll.derivativeCutoffHz);
    Still("Holding still at the centre (960, 540)", 960, 540);
    Still("Holding still near a corner (150, 150)", 150, 150);
    Motion();
    Stops();
    return 0;
}
