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
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

double g_packetsPerSecond = 60.0;  // the handset's sampling rate
// Packets reach the kit in groups of this many, all at the moment the last
// of a group was sampled (as USB serial adapters deliver them), 1: each alone.
int g_burst = 1;
constexpr double kSpotHalfSeparation = 22.58 / 2;  // camera pixels
double g_noiseSigma = 0.3;                         // camera pixels, per spot coordinate
constexpr int64_t kSampleNs = 100000;              // 0.1 ms
constexpr int kWidth = 1920, kHeight = 1080;

// The aimed point at a time, in display pixels, and the handset's roll.
using Path = std::function<void(double seconds, double* x, double* y)>;
using Roll = std::function<double(double seconds)>;

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
        double x, y;  // the filtered position the pass moved to (sub-pixel)
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

    // The sub-frame's display position before the pointer's pixel is chosen.
    int CalculatePODCoordinates(double* x, double* y) override {
        CTavroLinux::CalculatePODCoordinates(x, y);
        lastX = *x, lastY = *y;
        return 0;
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

// The camera sees the handset's roll as the image turned the other way about
// its centre (176, 144): the spots' midpoint and the line between them.
std::vector<unsigned char> Payload(double rawX, double rawY, double roll, Noise* noise) {
    auto jitter = [&] { return noise != nullptr ? g_noiseSigma * noise->Gaussian() : 0.0; };
    const double c = std::cos(roll), s = std::sin(roll);
    const double mx = 176 + (rawX - 176) * c + (rawY - 144) * s;
    const double my = 144 - (rawX - 176) * s + (rawY - 144) * c;
    const double hx = kSpotHalfSeparation * c, hy = -kSpotHalfSeparation * s;
    const double ax = mx + hx + jitter(), ay = my + hy + jitter();
    const double bx = mx - hx + jitter(), by = my - hy + jitter();
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
    std::vector<double> px, py;  // the pointer: the centre of its pixel
    std::vector<double> ax, ay;  // the aim
    double start = 0;            // seconds of the first sample
    double At(size_t i) const { return start + i * kSampleNs * 1e-9; }
};

// The adaptive filter's parameters for this run (the defaults unless given).
tavro::OneEuroParameters g_position = tavro::kPositionFilterDefaults;
tavro::OneEuroParameters g_roll = tavro::kRollFilterDefaults;
double g_margin = tavro::kPointerHysteresisMargin;
uint64_t g_seed = 0;  // added to every noise seed: other draws of the same handset

bool ParseParameters(const char* text, tavro::OneEuroParameters* p) {
    // The fields after these keep their defaults.
    tavro::OneEuroParameters q{0, 0, 0};
    int mean = 0;
    const int n = std::sscanf(text, "%lf,%lf,%lf,%lf,%d,%lf,%lf,%lf", &q.minCutoffHz, &q.beta,
                              &q.derivativeCutoffHz, &q.speedDeadZone, &mean, &q.deadZoneNoiseMultiple,
                              &q.deadZoneFloor, &q.deadZoneCeiling);
    p->minCutoffHz = q.minCutoffHz, p->beta = q.beta, p->derivativeCutoffHz = q.derivativeCutoffHz;
    p->speedDeadZone = q.speedDeadZone, p->meanSinceMotion = mean != 0;
    p->deadZoneNoiseMultiple = q.deadZoneNoiseMultiple, p->deadZoneFloor = q.deadZoneFloor;
    p->deadZoneCeiling = q.deadZoneCeiling;
    return n >= 3;
}

Trace Run(int choice, const Path& path, double seconds, bool noisy, uint64_t seed,
          const Roll& roll = nullptr) {
    BenchKit kit;
    kit.Initialize();
    kit.SharedData->ActivateCursor = 1;
    kit.StabiliserChoice.store(choice);
    kit.PositionFilterParameters = g_position;
    kit.RollFilterParameters = g_roll;
    kit.PointerHysteresisMargin = g_margin;
    Noise noise(seed + g_seed * 0x9E3779B97F4A7C15ull);
    const int packets = static_cast<int>(seconds * g_packetsPerSecond);
    for (int k = 0; k < packets; ++k) {
        const double t = k / g_packetsPerSecond;
        const double delivered = ((k / g_burst) * g_burst + g_burst - 1) / g_packetsPerSecond;
        double x, y, rx, ry;
        path(t, &x, &y);
        CameraPoint(x, y, &rx, &ry);
        kit.Send(static_cast<int64_t>(std::llround(delivered * 1e9)),
                 Payload(rx, ry, roll ? roll(t) : 0.0, noisy ? &noise : nullptr));
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
        trace.x.push_back(x), trace.y.push_back(y);
        trace.px.push_back(px + 0.5), trace.py.push_back(py + 0.5);
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
double MeanLag(const std::vector<double>& xs, const Trace& t, double from, double to) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = Index(from); i < Index(to); ++i, ++n) sum += t.ax[i] - xs[i];
    return n > 0 ? sum / n : 0;
}

void Motion() {
    Header("Constant speed, left to right along y = 540 (lag behind the aimed point)",
           "speed px/s  lag ms  lag px | pointer: lag px | noisy: lag px  RMS px about the lag");
    for (double speed : {300.0, 1000.0, 3000.0}) {
        const double x0 = 200, distance = 1520, duration = distance / speed;
        const Path path = [=](double s, double* x, double* y) {
            *x = x0 + speed * std::min(s, duration);
            *y = 540;
        };
        for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
            const double from = std::min(0.25, duration / 2), to = duration;
            const Trace quiet = Run(choice, path, duration + 0.2, false, 1);
            const double lag = MeanLag(quiet.x, quiet, from, to);
            const double pointerLag = MeanLag(quiet.px, quiet, from, to);
            const Trace noisy = Run(choice, path, duration + 0.2, true, 0xA11CE);
            const double noisyLag = MeanLag(noisy.x, noisy, from, to);
            double squares = 0;
            size_t n = 0;
            for (size_t i = Index(from); i < Index(to); ++i, ++n) {
                const double ex = noisy.ax[i] - noisy.x[i] - noisyLag, ey = noisy.ay[i] - noisy.y[i];
                squares += ex * ex + ey * ey;
            }
            std::printf("%-9s %10.0f %7.1f %7.1f |         %7.1f |        %7.1f  %6.2f\n", Name(choice),
                        speed, lag / speed * 1000, lag, pointerLag, noisyLag, std::sqrt(squares / n));
        }
    }
}

// From `from` seconds on: the time until the position stays within 1 px of
// the aim, and how far it went past the aim along +x (the motion's way).
void Settle(const std::vector<double>& xs, const std::vector<double>& ys, const Trace& t,
            double from, double* settleMs, double* overshoot, double within = 1.0) {
    const size_t stop = Index(from);
    size_t last = stop;
    *overshoot = 0;
    for (size_t i = stop; i < xs.size(); ++i) {
        const double dx = xs[i] - t.ax[i], dy = ys[i] - t.ay[i];
        if (std::sqrt(dx * dx + dy * dy) > within) last = i + 1;
        *overshoot = std::max(*overshoot, dx);
    }
    *settleMs = (last - stop) * kSampleNs * 1e-6;
}

// The largest distance from the aim between two times.
double Farthest(const std::vector<double>& xs, const std::vector<double>& ys, const Trace& t,
                double from, double to) {
    double farthest = 0;
    for (size_t i = Index(from); i < Index(to) && i < xs.size(); ++i)
        farthest = std::max(farthest, std::hypot(xs[i] - t.ax[i], ys[i] - t.ay[i]));
    return farthest;
}

void Stops() {
    Header("Stops (noise-free settle within 1 px and overshoot; noisy: jitter over the second after the settle)",
           "case                        settle ms overshoot px | pointer: settle ms overshoot px | noisy: RMS px");
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
            double settle = 0, overshoot = 0, pointerSettle = 0, pointerOvershoot = 0;
            const Trace quiet = Run(choice, path, c.duration + 1.5, false, 1);
            Settle(quiet.x, quiet.y, quiet, c.duration, &settle, &overshoot);
            Settle(quiet.px, quiet.py, quiet, c.duration, &pointerSettle, &pointerOvershoot);
            const Trace noisy = Run(choice, path, c.duration + 1.5, true, 0xB0B);
            const double still = c.duration + settle / 1000 + 0.1;
            const Jitter j = Spread(noisy.x, noisy.y, Index(still), Index(still + 1.0));
            std::printf("%-9s %-26s %9.1f %12.2f |          %9.1f %12.2f |       %6.2f\n", Name(choice),
                        c.name, settle, overshoot, pointerSettle, pointerOvershoot, j.rms);
        }
    }
}

// A deliberate turn of the wrist while aiming at one point near a corner:
// the roll goes from 0 to 30 degrees in 0.3 s (a quick turn) or in 1 s (a
// slow one) and holds.  The roll compensation keeps the pointer on the point
// as long as it turns by the roll the handset has; a roll smoothing that
// lags swings the pointer about the camera centre until it catches up.
void WristTurn() {
    Header("Wrist turn near a corner (150, 150): roll 0 to 30 degrees, then held; pointer, noise-free",
           "turn s  farthest px  within 5 px after ms  within 1 px after ms | noisy: RMS px from the aim");
    constexpr double kStart = 1.0, kAngle = 30 * M_PI / 180;
    const Path path = [](double, double* x, double* y) { *x = 150, *y = 150; };
    for (double turn : {0.3, 1.0}) {
        const Roll roll = [=](double s) { return kAngle * std::clamp((s - kStart) / turn, 0.0, 1.0); };
        for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
            const Trace quiet = Run(choice, path, kStart + turn + 1.5, false, 1, roll);
            double near = 0, settle = 0, unused = 0;
            Settle(quiet.px, quiet.py, quiet, kStart + turn, &near, &unused, 5.0);
            Settle(quiet.px, quiet.py, quiet, kStart + turn, &settle, &unused);
            const double far = Farthest(quiet.px, quiet.py, quiet, kStart, kStart + turn + 1.5);
            // With noise: how far the pointer is from the aim, on average,
            // from the turn's start to 0.2 s after its end.
            const Trace noisy = Run(choice, path, kStart + turn + 1.5, true, 0x7157, roll);
            double squares = 0;
            size_t n = 0;
            for (size_t i = Index(kStart); i < Index(kStart + turn + 0.2); ++i, ++n)
                squares += std::pow(noisy.px[i] - noisy.ax[i], 2) + std::pow(noisy.py[i] - noisy.ay[i], 2);
            std::printf("%-9s %6.1f %12.1f %21.1f %21.1f |       %6.2f\n", Name(choice), turn, far, near,
                        settle, std::sqrt(squares / n));
        }
    }
}

// Other handsets, other noise: the same measurements at several noise
// levels, all with noise.  Lag is the noisy position's mean lag at
// 1000 px/s; settle and overshoot are those of the position after a sudden
// stop averaged over 32 noise draws, so that they show how the filter
// responds at that noise level rather than where one draw's noise wanders.
void Sweep() {
    const double saved = g_noiseSigma;
    std::printf("\nNoise sweep (all with noise; pointer RMS while still, noisy lag at 1000 px/s,\n"
                "settle within 1 px and overshoot after a sudden stop from 1000 px/s, position\n"
                "averaged over 32 noise draws)\n"
                "%-9s %7s  %10s  %10s  %7s  %9s  %12s\n",
                "filter", "sigma", "centre px", "corner px", "lag ms", "settle ms", "overshoot px");
    for (double sigma : {0.15, 0.3, 0.45, 0.6}) {
        g_noiseSigma = sigma;
        for (int choice : {CTavroCore::kStabiliserBuiltin, CTavroCore::kStabiliserAdaptive}) {
            double rms[2];
            const double points[2][2] = {{960, 540}, {150, 150}};
            for (int k = 0; k < 2; ++k) {
                const double x = points[k][0], y = points[k][1];
                const Trace t = Run(choice, [&](double, double* ax, double* ay) { *ax = x, *ay = y; }, 11.0,
                                    true, 0x5EED1 + static_cast<uint64_t>(x));
                rms[k] = Spread(t.px, t.py, Index(1.0), t.px.size()).rms;
            }
            const double speed = 1000, duration = 1.52;
            const Path sweep = [=](double s, double* x, double* y) {
                *x = 200 + speed * std::min(s, duration);
                *y = 540;
            };
            const Trace moving = Run(choice, sweep, duration + 0.2, true, 0xA11CE);
            const double lag = MeanLag(moving.x, moving, 0.25, duration);
            const Path stop = [=](double s, double* x, double* y) {
                *x = 460 + speed * std::min(s, 0.5);
                *y = 540;
            };
            // The stop's response averaged over kDraws noise draws: what the
            // filter does at this noise level, without one draw's wander.
            constexpr int kDraws = 32;
            Trace stopping = Run(choice, stop, 2.0, true, 0xB0B);
            for (int d = 1; d < kDraws; ++d) {
                const Trace other = Run(choice, stop, 2.0, true, 0xB0B + d);
                for (size_t i = 0; i < stopping.x.size(); ++i)
                    stopping.x[i] += other.x[i], stopping.y[i] += other.y[i];
            }
            for (size_t i = 0; i < stopping.x.size(); ++i) stopping.x[i] /= kDraws, stopping.y[i] /= kDraws;
            double settle = 0, overshoot = 0;
            Settle(stopping.x, stopping.y, stopping, 0.5, &settle, &overshoot);
            std::printf("%-9s %7.2f  %10.2f  %10.2f  %7.1f  %9.1f  %12.2f\n", Name(choice), sigma, rms[0],
                        rms[1], lag / speed * 1000, settle, overshoot);
        }
    }
    g_noiseSigma = saved;
}


// ---- The cases table: every figure over several noise draws. ----
//
// Each case is one function of (stabiliser, draw) that returns one figure of
// the pointer (the pixel it is on, as a user sees it); the table gives its
// mean and spread (sample standard deviation) over the draws, or the median
// where a few draws far off would say more about the draws than the filter.

uint64_t g_draws = 8;

double StillRms(int choice, uint64_t draw, double x, double y, double from = 1.0, double to = 11.0) {
    const Trace t = Run(choice, [&](double, double* ax, double* ay) { *ax = x, *ay = y; }, to, true,
                        0x5EED1 + static_cast<uint64_t>(x) + 7919 * draw);
    return Spread(t.px, t.py, Index(from), t.px.size()).rms;
}

// The largest distance of the pointer from its mean over a window.
double Peak(const Trace& t, double from, double to) {
    const size_t a = Index(from), b = std::min(Index(to), t.px.size());
    double mx = 0, my = 0;
    for (size_t i = a; i < b; ++i) mx += t.px[i], my += t.py[i];
    mx /= (b - a), my /= (b - a);
    double peak = 0;
    for (size_t i = a; i < b; ++i) peak = std::max(peak, std::hypot(t.px[i] - mx, t.py[i] - my));
    return peak;
}

// Near the corner from the first packet on: RMS and peak over 1..10 s,
// and the RMS over 4..10 s.
void FirstSeconds(int choice, uint64_t draw, double* rms, double* peak, double* later) {
    const Trace t = Run(choice, [](double, double* ax, double* ay) { *ax = 150, *ay = 150; }, 10.0, true,
                        0xF1257 + 7919 * draw);
    *rms = Spread(t.px, t.py, Index(1.0), t.px.size()).rms;
    *peak = Peak(t, 1.0, 10.0);
    *later = Spread(t.px, t.py, Index(4.0), t.px.size()).rms;
}

// The mean lag of the position along y = `row` at 1000 px/s, in ms.
double NoisyLagMs(int choice, uint64_t draw, double row = 540) {
    const double speed = 1000, duration = 1.52;
    const Path sweep = [=](double s, double* x, double* y) {
        *x = 200 + speed * std::min(s, duration);
        *y = row;
    };
    const Trace t = Run(choice, sweep, duration + 0.2, true, 0xA11CE + 7919 * draw);
    return MeanLag(t.x, t, 0.25, duration) / speed * 1000;
}

// A sudden stop at the centre from 1000 px/s, with noise, then held still:
// the time until the pointer first comes within 1 px of the aim, and how far
// it goes past the aim (along the motion) within 0.5 s and within 4 s.
void NoisyStop(int choice, uint64_t draw, double* settleMs, double* overshoot, double* overshootHeld) {
    const double stop = 0.5;
    const Path path = [=](double s, double* x, double* y) {
        *x = 460 + 1000 * std::min(s, stop);
        *y = 540;
    };
    const Trace t = Run(choice, path, stop + 4.0, true, 0x570B + 7919 * draw);
    *settleMs = 4000;
    for (size_t i = Index(stop); i < t.px.size(); ++i)
        if (std::hypot(t.px[i] - t.ax[i], t.py[i] - t.ay[i]) <= 1.0) {
            *settleMs = (i - Index(stop)) * kSampleNs * 1e-6;
            break;
        }
    *overshoot = *overshootHeld = 0;
    for (size_t i = Index(stop); i < t.px.size(); ++i) {
        const double past = t.px[i] - t.ax[i];
        if (i < Index(stop + 0.5)) *overshoot = std::max(*overshoot, past);
        *overshootHeld = std::max(*overshootHeld, past);
    }
}

// A turn of the wrist of 30 degrees in `turn` seconds while aiming at the
// corner, with noise: the pointer's RMS distance from the aim from the
// turn's start to 0.2 s after its end.
double NoisyTurn(int choice, uint64_t draw, double turn) {
    constexpr double kStart = 1.0, kAngle = 30 * M_PI / 180;
    const Path path = [](double, double* x, double* y) { *x = 150, *y = 150; };
    const Roll roll = [=](double s) { return kAngle * std::clamp((s - kStart) / turn, 0.0, 1.0); };
    const Trace t = Run(choice, path, kStart + turn + 0.5, true, 0x7157 + 7919 * draw, roll);
    double squares = 0;
    size_t n = 0;
    for (size_t i = Index(kStart); i < Index(kStart + turn + 0.2); ++i, ++n)
        squares += std::pow(t.px[i] - t.ax[i], 2) + std::pow(t.py[i] - t.ay[i], 2);
    return std::sqrt(squares / n);
}

struct Row {
    const char* key;   // for --raw
    const char* name;  // what the table says
    const char* goal;
    bool median;
    std::function<double(int choice, uint64_t draw)> figure;
};

struct Summary {
    double centre = 0, spread = 0;  // mean and sd, or median and half the range
};

Summary Summarise(std::vector<double> v, bool median) {
    Summary s;
    if (v.empty()) return s;
    if (median) {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        s.centre = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
        s.spread = (v.back() - v.front()) / 2;
        return s;
    }
    for (double x : v) s.centre += x;
    s.centre /= v.size();
    for (double x : v) s.spread += (x - s.centre) * (x - s.centre);
    s.spread = v.size() > 1 ? std::sqrt(s.spread / (v.size() - 1)) : 0;
    return s;
}

// A figure under the given noise, rate and delivery; restores them after.
template <typename F>
double With(double sigma, double rate, int burst, F f) {
    const double savedSigma = g_noiseSigma, savedRate = g_packetsPerSecond;
    const int savedBurst = g_burst;
    g_noiseSigma = sigma, g_packetsPerSecond = rate, g_burst = burst;
    const double v = f();
    g_noiseSigma = savedSigma, g_packetsPerSecond = savedRate, g_burst = savedBurst;
    return v;
}

std::vector<Row> CaseRows() {
    using C = int;
    using D = uint64_t;
    auto still = [](double sigma, double rate, int burst, double x, double y) {
        return [=](C c, D d) { return With(sigma, rate, burst, [&] { return StillRms(c, d, x, y); }); };
    };
    auto first = [](double sigma, int which) {
        return [=](C c, D d) {
            return With(sigma, 60, 1, [&] {
                double v[3];
                FirstSeconds(c, d, &v[0], &v[1], &v[2]);
                return v[which];
            });
        };
    };
    auto stop = [](int which) {
        return [=](C c, D d) {
            return With(0.3, 60, 1, [&] {
                double v[3];
                NoisyStop(c, d, &v[0], &v[1], &v[2]);
                return v[which];
            });
        };
    };
    return {
        {"centre", "still at the centre, RMS px", "", false, still(0.3, 60, 1, 960, 540)},
        {"corner", "still near the corner (150, 150), RMS px", "", false, still(0.3, 60, 1, 150, 150)},
        {"lag", "lag at 1000 px/s, ms", "", false,
         [](C c, D d) { return With(0.3, 60, 1, [&] { return NoisyLagMs(c, d); }); }},
        {"lag-edge", "lag at 1000 px/s along y = 150 (far from the camera centre), ms", "", false,
         [](C c, D d) { return With(0.3, 60, 1, [&] { return NoisyLagMs(c, d, 150); }); }},
        {"burst-centre", "bursts of 4 every 66.7 ms, still at the centre, RMS px", "<= 0.4", false,
         still(0.3, 60, 4, 960, 540)},
        {"burst-corner", "bursts of 4, still near the corner, RMS px", "<= 1.5", false,
         still(0.3, 60, 4, 150, 150)},
        {"stop-settle", "stop from 1000 px/s: first within 1 px after, ms (median)", "<= 50", true, stop(0)},
        {"stop-over", "stop: overshoot within 0.5 s, px", "<= 1", false, stop(1)},
        {"stop-held", "stop: overshoot within 4 s held still, px", "<= 1", false, stop(2)},
        {"turn-quick", "wrist turn 30 deg in 0.3 s at the corner: RMS px from the aim", "<= builtin", false,
         [](C c, D d) { return With(0.3, 60, 1, [&] { return NoisyTurn(c, d, 0.3); }); }},
        {"turn-slow", "wrist turn 30 deg in 1 s: RMS px from the aim", "<= builtin", false,
         [](C c, D d) { return With(0.3, 60, 1, [&] { return NoisyTurn(c, d, 1.0); }); }},
        {"s06-rms", "sigma 0.6, corner, 1-10 s: RMS px", "<= 1.5", false, first(0.6, 0)},
        {"s06-peak", "sigma 0.6, corner, 1-10 s: peak px", "<= 5", false, first(0.6, 1)},
        {"s06-late", "sigma 0.6, corner, from 4 s on: RMS px", "", false, first(0.6, 2)},
        {"s10-rms", "sigma 1.0, corner, 1-10 s: RMS px", "<= 3", false, first(1.0, 0)},
        {"s10-peak", "sigma 1.0, corner, 1-10 s: peak px", "", false, first(1.0, 1)},
        {"s10-late", "sigma 1.0, corner, from 4 s on: RMS px", "", false, first(1.0, 2)},
        {"hz160-centre", "160 packets/s, still at the centre, RMS px", "", false, still(0.3, 160, 1, 960, 540)},
        {"hz160-corner", "160 packets/s, still near the corner, RMS px", "", false, still(0.3, 160, 1, 150, 150)},
        {"hz160-lag", "160 packets/s, lag at 1000 px/s, ms", "", false,
         [](C c, D d) { return With(0.3, 160, 1, [&] { return NoisyLagMs(c, d); }); }},
    };
}

Summary Measure(const Row& row, int choice) {
    std::vector<double> v;
    for (uint64_t d = 0; d < g_draws; ++d) v.push_back(row.figure(choice, d));
    return Summarise(v, row.median);
}

// --raw: one line per row for the adaptive filter, "key centre spread",
// read by the build of this program against another version of the filter.
void RawCases() {
    for (const Row& row : CaseRows()) {
        const Summary s = Measure(row, CTavroCore::kStabiliserAdaptive);
        std::printf("%s %.6f %.6f\n", row.key, s.centre, s.spread);
    }
}

void Cases(const char* before) {
    std::map<std::string, Summary> previous;
    if (before != nullptr && before[0] != '\0') {
        const std::string command = std::string(before) + " --cases --raw --draws " + std::to_string(g_draws);
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char key[64];
            Summary s;
            while (std::fscanf(pipe, "%63s %lf %lf", key, &s.centre, &s.spread) == 3) previous[key] = s;
            pclose(pipe);
        }
        if (previous.empty()) std::fprintf(stderr, "filter_quality: no figures from %s\n", before);
    }
    std::printf("\nCases over %" PRIu64 " noise draws: mean +- standard deviation of the pointer's figure\n"
                "(median +- half the range where marked); sigma 0.3 and 60 packets/s unless the row\n"
                "says otherwise.  \"before\": the adaptive filter as it was (%s).\n\n",
                g_draws, previous.empty() ? "not run" : "bench/filter_before");
    std::printf("| case | builtin | adaptive before | adaptive | goal |\n|---|---|---|---|---|\n");
    for (const Row& row : CaseRows()) {
        const Summary b = Measure(row, CTavroCore::kStabiliserBuiltin);
        const Summary a = Measure(row, CTavroCore::kStabiliserAdaptive);
        char old[64] = "-";
        const auto found = previous.find(row.key);
        if (found != previous.end())
            std::snprintf(old, sizeof old, "%.2f +- %.2f", found->second.centre, found->second.spread);
        std::printf("| %s | %.2f +- %.2f | %s | %.2f +- %.2f | %s |\n", row.name, b.centre, b.spread, old,
                    a.centre, a.spread, row.goal);
        std::fflush(stdout);
    }
}

}  // namespace

const char kUsage[] =
    "Usage: tavro-bench-filter-quality [--position MIN,BETA,DCUTOFF[,DEADZONE[,MEAN[,NOISE]]]]\n"
    "                                  [--roll MIN,BETA,DCUTOFF[,DEADZONE[,MEAN[,NOISE]]]]\n"
    "                                  [--margin PX] [--seed N] [--noise SIGMA]\n"
    "                                  [--no-sweep]\n"
    "       tavro-bench-filter-quality --cases [--draws N] [--before PROGRAM]\n"
    "Plays a synthetic noisy handset through the calculation pass in virtual time\n"
    "and prints jitter, lag, settle time and overshoot of both stabilisers.\n"
    "The options replace the adaptive filter's parameters for the position\n"
    "(calibration-screen pixels) and the roll (radians): minimum cut-off in Hz,\n"
    "cut-off rise per unit of speed, cut-off of the speed estimate in Hz, speed\n"
    "that raises the cut-off by nothing (units per second, default 0), 1 to keep\n"
    "at least the mean since the input last moved (default 0), and NOISE as\n"
    "MULTIPLE,FLOOR,CEILING: a dead zone of MULTIPLE times the speed noise the\n"
    "input shows, within FLOOR and CEILING (default: none, DEADZONE fixed,\n"
    "which is then only the first guess); the pointer's\n"
    "hysteresis margin beyond a pixel's edge (display pixels); and a seed that\n"
    "draws other noise (default 0: the figures in bench/README.md); the noise's\n"
    "sigma per spot coordinate in camera pixels (default 0.3).  A last table\n"
    "repeats the main figures at noise sigma 0.15, 0.3, 0.45 and 0.6 (--no-sweep\n"
    "leaves it out).\n"
    "--cases prints instead one table of the everyday cases (bursts of packets,\n"
    "a stop under noise, wrist turns, the first seconds at sigma 0.6 and 1.0,\n"
    "160 packets/s) over N noise draws (default 8), with the adaptive filter as it\n"
    "was beside it: PROGRAM (default: this program built against\n"
    "bench/filter_before, tavro-bench-filter-quality-before) is run with\n"
    "--cases --raw, which prints the adaptive filter's figures one per line.\n"
    "Needs Xvfb (it starts a private one).\n";

#ifndef TAVRO_FILTER_BEFORE_PATH
#define TAVRO_FILTER_BEFORE_PATH ""
#endif

int main(int argc, char** argv) {
    bool sweep = true, cases = false, raw = false;
    const char* before = TAVRO_FILTER_BEFORE_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--no-sweep") {
            sweep = false;
            continue;
        }
        if (arg == "--cases" || arg == "--raw") {
            (arg == "--cases" ? cases : raw) = true;
            continue;
        }
        if (arg == "--draws" && i + 1 < argc && std::sscanf(argv[i + 1], "%" SCNu64, &g_draws) == 1 &&
            g_draws > 0) {
            ++i;
            continue;
        }
        if (arg == "--before" && i + 1 < argc) {
            before = argv[++i];
            continue;
        }
        if (arg == "--margin" && i + 1 < argc && std::sscanf(argv[i + 1], "%lf", &g_margin) == 1) {
            ++i;
            continue;
        }
        if (arg == "--noise" && i + 1 < argc && std::sscanf(argv[i + 1], "%lf", &g_noiseSigma) == 1) {
            ++i;
            continue;
        }
        if (arg == "--seed" && i + 1 < argc && std::sscanf(argv[i + 1], "%" SCNu64, &g_seed) == 1) {
            ++i;
            continue;
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
    if (cases && raw) {
        RawCases();
        return 0;
    }
    if (cases) {
        Cases(before);
        return 0;
    }
    std::printf("Pointer quality: synthetic handset, 60 packets/s, spots 22.58 camera px apart,\n"
                "noise sigma %g camera px per spot coordinate, display %dx%d, default settings,\n"
                "direct pointing; virtual time, pointer sampled every 0.1 ms.\n"
                "RMS: distance from the mean position; \"pointer\": the pixel the pointer is on\n"
                "(its centre), otherwise the filtered sub-pixel position.\n"
                "Adaptive filter: position %g Hz, beta %g, speed cut-off %g Hz, dead zone %g\n"
                "(x%g of the noise's speed, within %g..%g);\n"
                "roll %g Hz, beta %g, speed cut-off %g Hz, dead zone %g (x%g, within %g..%g);\n"
                "pointer margin %g px.\n",
                g_noiseSigma, kWidth, kHeight, g_position.minCutoffHz, g_position.beta,
                g_position.derivativeCutoffHz, g_position.speedDeadZone, g_position.deadZoneNoiseMultiple,
                g_position.deadZoneFloor, g_position.deadZoneCeiling, g_roll.minCutoffHz, g_roll.beta,
                g_roll.derivativeCutoffHz, g_roll.speedDeadZone, g_roll.deadZoneNoiseMultiple,
                g_roll.deadZoneFloor, g_roll.deadZoneCeiling, g_margin);
    Still("Holding still at the centre (960, 540)", 960, 540);
    Still("Holding still near a corner (150, 150)", 150, 150);
    Motion();
    Stops();
    WristTurn();
    if (sweep) Sweep();
    return 0;
}
