// From the keys each packet says are held to the bindings they start and
// end: presses, holds, double presses and two-key chords, per handset and
// per key, on the packets' own clock.  Pure logic: what the effects do is
// the caller's (BindingActions.h).
#ifndef TAVRO_GESTURE_ENGINE_H
#define TAVRO_GESTURE_ENGINE_H

#include "Bindings.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tavro {

struct GestureEffect {
    enum Kind { Begin, End, Repeat } kind;
    const Binding* binding;
    int handset;
    int count;  // Repeat: detents due now
};

class GestureEngine {
public:
    using Ns = int64_t;
    static constexpr int kHandsets = 4;
    // A key that takes part in a chord waits this long for its partner
    // before it acts alone.
    static constexpr Ns kChordWindow = 150'000'000;
    // A handset whose packets stop for this long has its keys released:
    // nothing stays held when it goes out of range.
    static constexpr Ns kSilence = 500'000'000;

    // The profile new presses use from now on (null: the built-in one, which
    // binds nothing).  Keys held keep the binding that they started with, and
    // end in it.
    void SetProfile(std::shared_ptr<const Bindings> bindings, const Profile* profile);
    const Profile* profile() const { return profile_; }

    // One packet of `handset`: bit k of `held` is key k held.  `acts` is
    // false for a handset whose keys do not act now (not holding the
    // pointer, in a profile that lets only that one act).
    void Packet(int handset, unsigned held, bool acts, Ns now, std::vector<GestureEffect>* out);
    // What is due by `now` without a packet: holds reached, double-press
    // windows passed, scroll repeats, silent handsets.
    void Tick(Ns now, std::vector<GestureEffect>* out);
    // Ends every binding in progress (a reload, the end of a run); the keys
    // then do nothing until they are released.
    void ReleaseAll(std::vector<GestureEffect>* out);

    // The keys of `handset` whose built-in behaviour is not wanted now: those
    // the profile binds for it, and those busy with a binding.
    unsigned Taken(int handset) const;
    // Something waits for time (Tick is wanted).
    bool Busy() const;

private:
    enum class Phase { Idle, Pending, WaitSecond, Active, ChordPartner, Suppressed };
    struct KeyState {
        Phase phase = Phase::Idle;
        bool held = false;
        Ns down = 0, up = 0, since = 0;
        int sent = 0;          // scroll detents sent since `since`
        int partner = -1;      // the other key of a chord
        const Binding* binding = nullptr;             // Active: the binding begun
        const Profile* profile = nullptr;             // the profile of the press
        std::shared_ptr<const Bindings> owner;        // keeps both alive
    };

    const Binding* Find(const Profile* p, int handset, int key, Gesture g, int chordWith = -1) const;
    bool InChord(const Profile* p, int handset, int key) const;
    void Down(int h, int k, Ns now, std::vector<GestureEffect>* out);
    void Up(int h, int k, Ns now, std::vector<GestureEffect>* out);
    void Begin(int h, int k, const Binding* b, Ns now, std::vector<GestureEffect>* out);
    void End(int h, int k, std::vector<GestureEffect>* out);
    void Tap(int h, const Binding* b, std::vector<GestureEffect>* out);

    std::shared_ptr<const Bindings> bindings_;
    const Profile* profile_ = nullptr;
    KeyState keys_[kHandsets][kKeypadKeys];
    Ns lastPacket_[kHandsets] = {};
};

}  // namespace tavro

#endif  // TAVRO_GESTURE_ENGINE_H
