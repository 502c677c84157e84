// Watches the handsets through the kit's record while the user aims: keeps
// the recent aims of each handset and turns a press of the centre key into
// one averaged aimed point.
#ifndef TAVRO_CALIBRATE_AIM_COLLECTOR_H
#define TAVRO_CALIBRATE_AIM_COLLECTOR_H

#include "SharedDeviceState.h"

#include <chrono>
#include <deque>
#include <string>

namespace tavro::calibration {

struct AimOptions {
    int onlyHandset = -1;  // -1: the first handset whose centre key is pressed
    std::chrono::milliseconds averaging{150};  // aims before the press that are averaged
    bool rotationCompensation = true;
    bool distanceScaling = false;
    double dmin = 0.0;
    double calDistance = 1.0;
};

struct Aim {
    int handset = 0;
    double rawX = 0.0, rawY = 0.0;  // averaged raw aim, camera pixels
    double x = 0.0, y = 0.0;        // averaged compensated aim (what the fit uses)
    int samples = 0;
};

class AimCollector {
public:
    using Clock = std::chrono::steady_clock;

    AimCollector(const SharedDeviceState* record, const AimOptions& options);

    enum class Event { None, Aimed, Refused };
    // Samples the record; call every few milliseconds.  Aimed: a centre
    // press gave *aim.  Refused: a press that could not count, *message
    // says why.
    Event Poll(Aim* aim, std::string* message);

    // The same as a centre press of the handset being calibrated (of
    // `fallbackHandset` before the first aim), for a confirmation from the
    // keyboard; call Poll first so that the recent aims are sampled.
    Event Confirm(int fallbackHandset, Aim* aim, std::string* message);

    // Whether any tracking data came since the start.
    bool SeenData() const { return seenData_; }
    // Whether the handset being calibrated (any, before the first press)
    // sees both light spots now.
    bool SeenRecently() const {
        for (int user = 0; user < TAVRO_HANDSETS; ++user)
            if ((handset_ < 0 || user == handset_) && !samples_[user].empty()) return true;
        return false;
    }
    // The handset being calibrated, -1 before the first accepted press.
    int Handset() const { return handset_; }

private:
    // The averaged recent aims of `user`, who becomes the handset calibrated.
    Event Take(int user, Aim* aim, std::string* message);

    struct Sample {
        Clock::time_point time;
        double rawX, rawY, x, y;
    };

    const SharedDeviceState* record_;
    AimOptions options_;
    std::deque<Sample> samples_[TAVRO_HANDSETS];
    int lastButtons_[TAVRO_HANDSETS];
    int handset_;
    bool seenData_ = false;
};

}  // namespace tavro::calibration

#endif
