#include "Motion.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kCentreX = 176.0;
constexpr double kCentreY = 144.0;
// Largest coordinate the receiver reports (high byte 152) in hundredths.
constexpr double kMaxCoordinate = 152 * 256 + 255;

// The keypad's names as the README and tavro print them, bit 0 first, and
// the compass names earlier scripts used.
const char* const kKeyNames[] = {"up-right", "up",        "up-left", "right", "centre",
                                 "left",     "down-right", "down",   "down-left", "menu",
                                 "b10",      "b11",        "b12"};
const char* const kCompassNames[] = {"ne", "north", "nw", "east", "center", "west",
                                     "se", "south", "sw", "menu", "b10", "b11", "b12"};

double Lerp(double a, double b, double f) { return a + (b - a) * f; }

// 0 -> 0, 0.5 -> 1, 1 -> 0: a triangle wave over one period.
double Triangle(double phase) {
    phase -= std::floor(phase);
    return phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase;
}

uint16_t Clamp16(double value) {
    return static_cast<uint16_t>(std::lround(std::clamp(value, 0.0, kMaxCoordinate)));
}

}  // namespace

bool ParseKeys(const std::string& names, uint16_t* mask) {
    *mask = 0;
    std::stringstream list(names);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name.empty() || name == "none") continue;
        bool found = false;
        for (int bit = 0; bit < 13; ++bit) {
            if (name == kKeyNames[bit] || name == kCompassNames[bit] ||
                (name == "n" && bit == 1) || (name == "s" && bit == 7) ||
                (name == "e" && bit == 3) || (name == "w" && bit == 5)) {
                *mask |= static_cast<uint16_t>(1u << bit);
                found = true;
            }
        }
        if (!found) return false;
    }
    return true;
}

bool ParseHex(const std::string& text, Bytes* bytes) {
    bytes->clear();
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

Bytes Frame(uint8_t type, const Bytes& payload) {
    Bytes padded = payload;
    if (type == 9 && padded.size() % 2 != 0) padded.push_back(0);
    size_t units = type == 9 ? padded.size() / 2 : padded.size();
    Bytes packet(4 + padded.size());
    packet[0] = 0x51;
    packet[1] = 0x56;
    packet[2] = type;
    packet[3] = static_cast<uint8_t>(std::min<size_t>(units, 255));
    std::copy(padded.begin(), padded.end(), packet.begin() + 4);
    return packet;
}

Bytes TrackingPayload(int handset, const Pose& pose, double d0) {
    // The two spots lie on either side of the aim, `separation` pixels apart,
    // on a line turned by the roll; the kit computes the roll as
    // -atan(dy / dx) from the spot with the larger x to the other one.
    double separation = pose.distance > 0 ? d0 / pose.distance : d0;
    double roll = pose.rollDegrees * kPi / 180.0;
    double hx = 0.5 * separation * std::cos(roll);
    double hy = -0.5 * separation * std::sin(roll);
    double px = (pose.x + hx) * 100.0, py = (pose.y + hy) * 100.0;
    double qx = (pose.x - hx) * 100.0, qy = (pose.y - hy) * 100.0;

    uint16_t word = static_cast<uint16_t>(~pose.heldKeys & 0x9FFF);
    word = static_cast<uint16_t>(word | ((handset & 3) << 13));
    const uint16_t words[7] = {word,          Clamp16(px), Clamp16(py), pose.power,
                               Clamp16(qx),   Clamp16(qy), pose.power};
    Bytes payload;
    for (uint16_t w : words) {
        payload.push_back(static_cast<uint8_t>(w >> 8));
        payload.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    return payload;
}

bool Motion::UsePattern(const std::string& name, int handsets) {
    patternHandsets_ = std::clamp(handsets, 1, kHandsets);
    if (name == "still") pattern_ = Pattern::Still;
    else if (name == "circle") pattern_ = Pattern::Circle;
    else if (name == "sweep") pattern_ = Pattern::Sweep;
    else if (name == "keys") pattern_ = Pattern::Keys;
    else return false;
    return true;
}

bool Motion::LoadScript(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    pattern_ = Pattern::None;
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& why) {
        *error = path + ":" + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb)) continue;
        if (verb == "rate") {
            if (!(words >> rate_) || rate_ < 0) return fail("rate needs a number of packets per second");
        } else if (verb == "end") {
            if (!(words >> duration_) || duration_ <= 0) return fail("end needs a time in seconds");
        } else if (verb == "at") {
            Keyframe frame{};
            int handset = -1;
            if (!(words >> frame.time >> handset) || handset < 0 || handset >= kHandsets)
                return fail("at needs a time and a handset 0-3");
            std::string setting;
            while (words >> setting) {
                size_t equals = setting.find('=');
                if (equals == std::string::npos) return fail("expected name=value, got " + setting);
                std::string key = setting.substr(0, equals), value = setting.substr(equals + 1);
                try {
                    if (key == "x") frame.pose.x = std::stod(value);
                    else if (key == "y") frame.pose.y = std::stod(value);
                    else if (key == "roll") frame.pose.rollDegrees = std::stod(value);
                    else if (key == "distance") frame.pose.distance = std::stod(value);
                    else if (key == "power") frame.pose.power = static_cast<uint16_t>(std::stoi(value));
                    else if (key == "keys") {
                        if (!ParseKeys(value, &frame.pose.heldKeys)) return fail("unknown key in " + value);
                    } else {
                        return fail("unknown setting " + key);
                    }
                } catch (const std::exception&) {
                    return fail("bad value in " + setting);
                }
            }
            keyframes_[handset].push_back(frame);
        } else if (verb == "packet" || verb == "raw") {
            TimedBytes event;
            int type = 0;
            if (!(words >> event.time)) return fail(verb + " needs a time");
            if (verb == "packet" && (!(words >> type) || type < 0 || type > 255))
                return fail("packet needs a type");
            std::string rest, part;
            while (words >> part) rest += part;
            Bytes bytes;
            if (!ParseHex(rest, &bytes)) return fail("bad hex bytes");
            event.bytes = verb == "packet" ? Frame(static_cast<uint8_t>(type), bytes) : bytes;
            events_.push_back(event);
        } else {
            return fail("unknown line " + verb);
        }
    }
    for (auto& frames : keyframes_)
        std::stable_sort(frames.begin(), frames.end(),
                         [](const Keyframe& a, const Keyframe& b) { return a.time < b.time; });
    std::stable_sort(events_.begin(), events_.end(),
                     [](const TimedBytes& a, const TimedBytes& b) { return a.time < b.time; });
    if (duration_ <= 0) {
        // Without "end" the script lasts until its last keyframe or event.
        for (const auto& frames : keyframes_)
            if (!frames.empty()) duration_ = std::max(duration_, frames.back().time);
        for (const auto& event : events_) duration_ = std::max(duration_, event.time);
        duration_ += 1e-3;
    }
    return true;
}

bool Motion::PoseAt(int handset, double time, Pose* pose) const {
    *pose = Pose{};
    const double phase = handset * kPi / 2.0;
    switch (pattern_) {
    case Pattern::None: {
        const auto& frames = keyframes_[handset];
        if (frames.empty() || time < frames.front().time) return false;
        auto next = std::upper_bound(frames.begin(), frames.end(), time,
                                     [](double t, const Keyframe& k) { return t < k.time; });
        const Keyframe& from = *(next - 1);
        *pose = from.pose;
        if (next != frames.end() && next->time > from.time) {
            double f = (time - from.time) / (next->time - from.time);
            pose->x = Lerp(from.pose.x, next->pose.x, f);
            pose->y = Lerp(from.pose.y, next->pose.y, f);
            pose->rollDegrees = Lerp(from.pose.rollDegrees, next->pose.rollDegrees, f);
            pose->distance = Lerp(from.pose.distance, next->pose.distance, f);
        }
        return true;
    }
    case Pattern::Still:
        break;
    case Pattern::Circle:
        pose->x = kCentreX + 60.0 * std::cos(2 * kPi * time / 4.0 + phase);
        pose->y = kCentreY + 40.0 * std::sin(2 * kPi * time / 4.0 + phase);
        pose->rollDegrees = 10.0 * std::sin(2 * kPi * time / 3.0);
        pose->distance = 3.0 + 0.5 * std::sin(2 * kPi * time / 5.0);
        break;
    case Pattern::Sweep:
        pose->x = 66.0 + 220.0 * Triangle(time / 6.0);
        pose->y = kCentreY + (handset - 1.5) * 30.0;
        break;
    case Pattern::Keys: {
        // Each second one key is pressed for 0.3 s, in this order.
        static const uint16_t kSequence[] = {1u << 4, 1u << 1, 1u << 7, 1u << 5, 1u << 3, 1u << 9};
        double second = std::floor(time);
        if (time - second < 0.3) pose->heldKeys = kSequence[static_cast<long>(second) % 6];
        break;
    }
    }
    return handset < patternHandsets_;
}

}  // namespace sim
