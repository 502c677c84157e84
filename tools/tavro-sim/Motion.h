// What the simulated handsets do: their aim, roll, distance and keys over
// time, from a built-in pattern or a motion script, and the tracking
// payloads that describe them.
#ifndef TAVRO_SIM_MOTION_H
#define TAVRO_SIM_MOTION_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

constexpr int kHandsets = 4;

// One handset at one moment.  The aim is the midpoint of the two light
// spots in camera pixels (the camera centre is 176, 144); the distance is
// in the kit's units (D0 divided by the spot separation in pixels).
struct Pose {
    double x = 176.0;
    double y = 144.0;
    double rollDegrees = 0.0;
    double distance = 3.0;
    uint16_t heldKeys = 0;  // bit k set: button line k held
    uint16_t power = 1000;  // power of both spots
};

// Bytes sent at a fixed time of the script: a framed packet or raw bytes.
struct TimedBytes {
    double time = 0.0;
    Bytes bytes;
};

class Motion {
public:
    // A built-in pattern ("still", "circle", "sweep", "keys"); false for an
    // unknown name.
    bool UsePattern(const std::string& name, int handsets);
    // Reads a motion script; false with a message naming the line otherwise.
    bool LoadScript(const std::string& path, std::string* error);

    // The handset's pose at `time` seconds from the start; false when the
    // handset does not take part.
    bool PoseAt(int handset, double time, Pose* pose) const;

    // Script length in seconds; 0 for an endless pattern.
    double duration() const { return duration_; }
    // Tracking rate asked for by the script (0: none given).
    double rate() const { return rate_; }
    const std::vector<TimedBytes>& events() const { return events_; }

private:
    struct Keyframe {
        double time;
        Pose pose;
    };
    enum class Pattern { None, Still, Circle, Sweep, Keys };

    Pattern pattern_ = Pattern::None;
    int patternHandsets_ = 1;
    std::vector<Keyframe> keyframes_[kHandsets];
    std::vector<TimedBytes> events_;
    double duration_ = 0.0;
    double rate_ = 0.0;
};

// The 14-byte tracking payload of a pose: button word (active-low, handset
// number in bits 13-14), then the spot with the larger x and the other spot,
// each as x, y (hundredths of a pixel) and power, big-endian.
Bytes TrackingPayload(int handset, const Pose& pose, double d0);

// "Q" "V" type length payload; the length of type 9 counts 16-bit words.
Bytes Frame(uint8_t type, const Bytes& payload);

// Key names ("center", "north", ..., "menu", "b10".."b12", "none"), comma
// separated, as a mask of button lines.
bool ParseKeys(const std::string& names, uint16_t* mask);

// Hex digits, optionally separated by blanks, to bytes.
bool ParseHex(const std::string& text, Bytes* bytes);

}  // namespace sim

#endif
