// Per key: Idle until pressed; a press whose meaning is not known yet (a
// double press may follow, a hold may be reached, a chord partner may come)
// is Pending; a binding that has begun is Active until the key is released.
#include "GestureEngine.h"

#include <algorithm>
#include <cmath>

namespace tavro {

namespace {
constexpr GestureEngine::Ns kMs = 1'000'000;
}

void GestureEngine::SetProfile(std::shared_ptr<const Bindings> bindings, const Profile* profile) {
    bindings_ = std::move(bindings);
    profile_ = profile;
}

const Binding* GestureEngine::Find(const Profile* p, int handset, int key, Gesture g, int chordWith) const {
    if (p == nullptr) return nullptr;
    const Binding* any = nullptr;
    for (const Binding& b : p->bindings) {
        if (b.gesture != g || b.key != key || b.chordWith != chordWith) continue;
        if (b.handset == handset) return &b;  // a handset's own binding comes first
        if (b.handset < 0) any = &b;
    }
    return any;
}

bool GestureEngine::InChord(const Profile* p, int handset, int key) const {
    if (p == nullptr) return false;
    return std::any_of(p->bindings.begin(), p->bindings.end(), [&](const Binding& b) {
        return b.gesture == Gesture::Chord && (b.key == key || b.chordWith == key) &&
               (b.handset < 0 || b.handset == handset);
    });
}

void GestureEngine::Begin(int h, int k, const Binding* b, Ns now, std::vector<GestureEffect>* out) {
    KeyState& s = keys_[h][k];
    s.phase = Phase::Active;
    s.binding = b;
    s.since = now;
    s.sent = 1;  // a scroll's first detent comes with its start
    out->push_back({GestureEffect::Begin, b, h, 1});
}

void GestureEngine::End(int h, int k, std::vector<GestureEffect>* out) {
    KeyState& s = keys_[h][k];
    if (s.binding != nullptr) out->push_back({GestureEffect::End, s.binding, h, 0});
    s.binding = nullptr;
}

void GestureEngine::Tap(int h, const Binding* b, std::vector<GestureEffect>* out) {
    out->push_back({GestureEffect::Begin, b, h, 1});
    out->push_back({GestureEffect::End, b, h, 0});
}

void GestureEngine::Down(int h, int k, Ns now, std::vector<GestureEffect>* out) {
    KeyState& s = keys_[h][k];
    const Profile* p = s.phase == Phase::WaitSecond ? s.profile : profile_;
    if (s.phase == Phase::WaitSecond) {
        s.down = now;
        if (const Binding* twice = Find(p, h, k, Gesture::Double)) return Begin(h, k, twice, now, out);
        s.phase = Phase::Idle;
        return;
    }
    s.phase = Phase::Idle;
    s.profile = p;
    s.owner = bindings_;
    s.down = now;
    if (p == nullptr) return;
    // A pending key held with this one may make a chord of the two.
    for (int j = 0; j < kKeypadKeys; ++j) {
        KeyState& other = keys_[h][j];
        if (j == k || !other.held || other.phase != Phase::Pending || other.profile != p) continue;
        if (const Binding* chord = Find(p, h, std::min(j, k), Gesture::Chord, std::max(j, k))) {
            Begin(h, j, chord, now, out);
            other.partner = k;
            s.phase = Phase::ChordPartner;
            s.partner = j;
            return;
        }
    }
    const Binding* press = Find(p, h, k, Gesture::Press);
    const Binding* hold = Find(p, h, k, Gesture::Hold);
    const Binding* twice = Find(p, h, k, Gesture::Double);
    const bool chord = InChord(p, h, k);
    if (press == nullptr && hold == nullptr && twice == nullptr && !chord) return;
    if (press != nullptr && hold == nullptr && twice == nullptr && !chord) return Begin(h, k, press, now, out);
    s.phase = Phase::Pending;
}

void GestureEngine::Up(int h, int k, Ns now, std::vector<GestureEffect>* out) {
    KeyState& s = keys_[h][k];
    s.up = now;
    switch (s.phase) {
        case Phase::Active:
            End(h, k, out);
            if (s.partner >= 0) {
                KeyState& other = keys_[h][s.partner];
                other.phase = other.held ? Phase::Suppressed : Phase::Idle;
                other.partner = -1;
            }
            s.partner = -1;
            s.phase = Phase::Idle;
            break;
        case Phase::ChordPartner: {
            KeyState& other = keys_[h][s.partner];
            End(h, s.partner, out);
            other.phase = other.held ? Phase::Suppressed : Phase::Idle;
            other.partner = -1;
            s.partner = -1;
            s.phase = Phase::Idle;
            break;
        }
        case Phase::Pending:
            s.phase = Phase::Idle;
            if (Find(s.profile, h, k, Gesture::Double) != nullptr) {
                s.phase = Phase::WaitSecond;
            } else if (const Binding* press = Find(s.profile, h, k, Gesture::Press)) {
                Tap(h, press, out);
            }
            break;
        default:
            s.phase = s.phase == Phase::WaitSecond ? Phase::WaitSecond : Phase::Idle;
            break;
    }
}

void GestureEngine::Packet(int handset, unsigned held, bool acts, Ns now, std::vector<GestureEffect>* out) {
    if (handset < 0 || handset >= kHandsets) return;
    lastPacket_[handset] = now;
    Tick(now, out);
    for (int k = 0; k < kKeypadKeys; ++k) {
        KeyState& s = keys_[handset][k];
        const bool down = ((held >> k) & 1u) != 0;
        if (down == s.held) continue;
        s.held = down;
        if (down && acts) Down(handset, k, now, out);
        else if (!down) Up(handset, k, now, out);
    }
}

void GestureEngine::Tick(Ns now, std::vector<GestureEffect>* out) {
    for (int h = 0; h < kHandsets; ++h) {
        for (int k = 0; k < kKeypadKeys; ++k) {
            KeyState& s = keys_[h][k];
            if (s.phase == Phase::Idle) continue;
            if (s.held && now - lastPacket_[h] > kSilence) {
                s.held = false;
                Up(h, k, now, out);
                if (s.phase == Phase::WaitSecond) s.phase = Phase::Idle;
                continue;
            }
            if (s.phase == Phase::Pending) {
                const Binding* hold = Find(s.profile, h, k, Gesture::Hold);
                const Binding* press = Find(s.profile, h, k, Gesture::Press);
                const Binding* twice = Find(s.profile, h, k, Gesture::Double);
                if (hold != nullptr) {
                    if (now - s.down >= hold->holdMs * kMs) Begin(h, k, hold, now, out);
                } else if (press != nullptr) {
                    // Held past every window it waited for: it is a press.
                    Ns wait = InChord(s.profile, h, k) ? kChordWindow : 0;
                    if (twice != nullptr) wait = std::max(wait, twice->doubleMs * kMs);
                    if (now - s.down >= wait) Begin(h, k, press, now, out);
                }
            } else if (s.phase == Phase::WaitSecond) {
                const Binding* twice = Find(s.profile, h, k, Gesture::Double);
                if (twice == nullptr || now - s.up >= twice->doubleMs * kMs) {
                    s.phase = Phase::Idle;
                    if (const Binding* press = Find(s.profile, h, k, Gesture::Press)) Tap(h, press, out);
                }
            } else if (s.phase == Phase::Active && s.binding->action.kind == ActionKind::Scroll) {
                const double seconds = static_cast<double>(now - s.since) / 1e9;
                const int due = 1 + static_cast<int>(std::floor(seconds * s.binding->action.scrollRate));
                if (due > s.sent) {
                    out->push_back({GestureEffect::Repeat, s.binding, h, due - s.sent});
                    s.sent = due;
                }
            }
        }
    }
}

void GestureEngine::ReleaseAll(std::vector<GestureEffect>* out) {
    for (int h = 0; h < kHandsets; ++h)
        for (int k = 0; k < kKeypadKeys; ++k) {
            KeyState& s = keys_[h][k];
            if (s.phase == Phase::Active) End(h, k, out);
            s.phase = s.held ? Phase::Suppressed : Phase::Idle;
            s.partner = -1;
            s.binding = nullptr;
        }
}

unsigned GestureEngine::Taken(int handset) const {
    if (handset < 0 || handset >= kHandsets) return 0;
    unsigned mask = 0;
    if (profile_ != nullptr)
        for (const Binding& b : profile_->bindings)
            if (b.handset < 0 || b.handset == handset) {
                mask |= 1u << b.key;
                if (b.chordWith >= 0) mask |= 1u << b.chordWith;
            }
    for (int k = 0; k < kKeypadKeys; ++k)
        if (keys_[handset][k].phase != Phase::Idle) mask |= 1u << k;
    return mask;
}

bool GestureEngine::Busy() const {
    for (const auto& handset : keys_)
        for (const KeyState& s : handset)
            if (s.phase != Phase::Idle) return true;
    return false;
}

}  // namespace tavro
