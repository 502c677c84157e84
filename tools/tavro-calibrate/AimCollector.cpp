#include "AimCollector.h"

#include "CalibrationFit.h"
#include "Kit.h"
#include "tavrodev.h"

#include <algorithm>

namespace tavro::calibration {


namespace {

// The kit's start-up sets every button word to this until a packet came.
constexpr int kNoPacketYet = -1;
constexpr int kCentreKey = 1 << 4;  // active-low

}  // namespace

AimCollector::AimCollector(const SharedDeviceState* record, const AimOptions& options)
    : record_(record), options_(options), handset_(options.onlyHandset) {
    std::fill(std::begin(lastButtons_), std::end(lastButtons_), kNoPacketYet);
}

AimCollector::Event AimCollector::Poll(Aim* aim, std::string* message) {
    const Clock::time_point now = Clock::now();
    const uint32_t powerThreshold = static_cast<uint32_t>(tavro::LoadField(record_->PowerThresh));
    Event event = Event::None;
    for (int user = 0; user < TAVRO_HANDSETS; ++user) {
        int buttons = TV_GetButton(user);
        if (buttons == kNoPacketYet) continue;
        seenData_ = true;

        // The raw aim holds its last value while the camera misses a spot;
        // only aims from packets that saw both spots count.
        std::deque<Sample>& samples = samples_[user];
        uint32_t power1 = static_cast<uint32_t>(TV_GetPower1(user));
        uint32_t power2 = static_cast<uint32_t>(TV_GetPower2(user));
        if (power1 > powerThreshold && power2 > powerThreshold) {
            Sample s{now, TV_GetRawX(user), TV_GetRawY(user), 0.0, 0.0};
            double roll = options_.rotationCompensation ? TV_GetRoll(user) : 0.0;
            double scale = 1.0;
            if (options_.distanceScaling) {
                double distance = std::max(TV_GetAverageDistance(10, user), options_.dmin);
                scale = distance / options_.calDistance;
            }
            CompensatedAim(s.rawX, s.rawY, roll, scale, &s.x, &s.y);
            samples.push_back(s);
        } else {
            samples.clear();
        }
        while (!samples.empty() && now - samples.front().time > options_.averaging)
            samples.pop_front();

        int before = lastButtons_[user];
        lastButtons_[user] = buttons;
        bool pressed = before != kNoPacketYet && (before & kCentreKey) != 0 &&
                       (buttons & kCentreKey) == 0;
        if (!pressed || event != Event::None) continue;
        if (handset_ >= 0 && user != handset_) {
            if (options_.onlyHandset < 0) {
                *message = "centre key of handset " + std::to_string(user) +
                           " ignored: calibrating handset " + std::to_string(handset_);
                event = Event::Refused;
            }
            continue;
        }
        event = Take(user, aim, message);
    }
    return event;
}

AimCollector::Event AimCollector::Confirm(int fallbackHandset, Aim* aim, std::string* message) {
    const int user = handset_ >= 0 ? handset_ : fallbackHandset;
    if (user < 0 || user >= TAVRO_HANDSETS) {
        *message = "no handset to take the aim of";
        return Event::Refused;
    }
    return Take(user, aim, message);
}

AimCollector::Event AimCollector::Take(int user, Aim* aim, std::string* message) {
    const std::deque<Sample>& samples = samples_[user];
    if (samples.empty()) {
        *message = "handset " + std::to_string(user) +
                   " does not see both light spots: aim at the target and press again";
        return Event::Refused;
    }
    Aim result;
    result.handset = user;
    for (const Sample& s : samples) {
        result.rawX += s.rawX;
        result.rawY += s.rawY;
        result.x += s.x;
        result.y += s.y;
    }
    result.samples = static_cast<int>(samples.size());
    result.rawX /= result.samples;
    result.rawY /= result.samples;
    result.x /= result.samples;
    result.y /= result.samples;
    handset_ = user;
    *aim = result;
    return Event::Aimed;
}

}  // namespace tavro::calibration
