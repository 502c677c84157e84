// Gestures on the packets' clock: which bindings begin, repeat and end, in
// order, for presses, holds, double presses, chords, scrolls, profile
// switches and handsets that fall silent.
#include "BindingsFile.h"
#include "GestureEngine.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using tavro::GestureEffect;
using Ns = tavro::GestureEngine::Ns;

constexpr Ns kPacket = 16'666'667;  // 60 Hz
constexpr int kNorth = 1, kEast = 3, kWest = 5;

class Gestures : public testing::Test {
protected:
    void Load(const char* text, const char* profile = "p") {
        std::vector<std::string> problems;
        auto b = std::make_shared<tavro::Bindings>();
        ASSERT_TRUE(tavro::ParseBindings(text, "t.conf", b.get(), &problems)) << problems[0];
        bindings = b;
        engine.SetProfile(bindings, bindings->Find(profile));
    }
    // `packets` packets of handset `h` with `held` keys, 60 Hz apart.
    void Hold(unsigned held, int packets, int h = 0, bool acts = true) {
        for (int i = 0; i < packets; ++i) {
            engine.Packet(h, held, acts, now, &effects);
            now += kPacket;
        }
    }
    void Wait(Ns ns) {
        now += ns;
        engine.Tick(now, &effects);
    }
    // The effects as "+action" (begin), "-action" (end), "*N action" (repeat).
    std::vector<std::string> Seen() {
        std::vector<std::string> out;
        for (const GestureEffect& e : effects)
            out.push_back((e.kind == GestureEffect::Begin ? "+" : e.kind == GestureEffect::End ? "-"
                           : "*" + std::to_string(e.count) + " ") + e.binding->action.source);
        effects.clear();
        return out;
    }
    using List = std::vector<std::string>;

    std::shared_ptr<const tavro::Bindings> bindings;
    tavro::GestureEngine engine;
    std::vector<GestureEffect> effects;
    Ns now = 1'000'000'000;
};

TEST_F(Gestures, APressActsFromPressToReleaseAtOnce) {
    Load("[p]\nnorth = key Up\n");
    Hold(1u << kNorth, 1);
    EXPECT_EQ(Seen(), (List{"+key Up"})) << "no waiting where nothing else could follow";
    Hold(1u << kNorth, 30);
    Hold(0, 1);
    EXPECT_EQ(Seen(), (List{"-key Up"}));
}

struct HoldCase {
    const char* name;
    int packets;  // held for, at 60 Hz
    std::vector<std::string> seen;
};
class Holds : public Gestures, public testing::WithParamInterface<HoldCase> {};

TEST_P(Holds, ShorterThanTheThresholdIsThePressLongerIsTheHold) {
    Load("[p]\nnorth = key Up\nnorth hold 500 = key Escape\n");
    Hold(1u << kNorth, GetParam().packets);
    Hold(0, 1);
    EXPECT_EQ(Seen(), GetParam().seen);
}

INSTANTIATE_TEST_SUITE_P(Each, Holds,
                         testing::Values(HoldCase{"Short", 10, {"+key Up", "-key Up"}},
                                         HoldCase{"JustUnder", 28, {"+key Up", "-key Up"}},
                                         HoldCase{"Long", 40, {"+key Escape", "-key Escape"}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(Gestures, ADoublePressInsideItsWindowIsTheDoubleOutsideItTwoPresses) {
    Load("[p]\nnorth = key Up\nnorth double 300 = key Home\n");
    Hold(1u << kNorth, 3);
    Hold(0, 6);  // 100 ms apart
    Hold(1u << kNorth, 3);
    Hold(0, 1);
    EXPECT_EQ(Seen(), (List{"+key Home", "-key Home"}));
    Hold(1u << kNorth, 3);
    Hold(0, 1);
    Wait(400'000'000);
    Hold(1u << kNorth, 3);
    Hold(0, 1);
    Wait(400'000'000);
    EXPECT_EQ(Seen(), (List{"+key Up", "-key Up", "+key Up", "-key Up"}));
}

TEST_F(Gestures, TwoKeysTogetherAreTheChordAndNeitherKeyAlone) {
    Load("[p]\neast = key Right\nwest = key Left\neast+west = key ctrl+q\n");
    Hold(1u << kEast, 2);
    Hold((1u << kEast) | (1u << kWest), 5);
    Hold(1u << kWest, 3);  // east let go first: the chord ends, west stays quiet
    Hold(0, 1);
    EXPECT_EQ(Seen(), (List{"+key ctrl+q", "-key ctrl+q"}));
    Hold(1u << kEast, 2);
    Hold(0, 1);
    EXPECT_EQ(Seen(), (List{"+key Right", "-key Right"})) << "alone, a short press is still a press";
}

TEST_F(Gestures, AScrollHeldForASecondRepeatsAtItsRate) {
    Load("[p]\nsouth = scroll down 20\n");
    Hold(1u << 7, 60);
    Hold(0, 1);  // released 1 s after the press
    int detents = 0;
    for (const GestureEffect& e : effects) detents += e.kind == GestureEffect::End ? 0 : e.count;
    EXPECT_EQ(detents, 21);  // at the press, then every 50 ms up to the release
}

TEST_F(Gestures, AKeyHeldAcrossAProfileSwitchEndsInTheProfileThatPressedIt) {
    Load("[p]\nnorth = key Up\n[q]\nnorth = key Down\n");
    Hold(1u << kNorth, 2);
    engine.SetProfile(bindings, bindings->Find("q"));
    Hold(1u << kNorth, 2);
    Hold(0, 1);
    Hold(1u << kNorth, 1);
    EXPECT_EQ(Seen(), (List{"+key Up", "-key Up", "+key Down"}));
}

TEST_F(Gestures, ReleaseAllEndsOnceAndTheKeyStaysQuietUntilReleased) {
    Load("[p]\nnorth = key Up\n");
    Hold(1u << kNorth, 2);
    engine.ReleaseAll(&effects);
    Hold(1u << kNorth, 5);
    Hold(0, 1);
    EXPECT_EQ(Seen(), (List{"+key Up", "-key Up"}));
}

TEST_F(Gestures, ASilentHandsetHasItsKeysReleased) {
    Load("[p]\nnorth = key Up\n");
    Hold(1u << kNorth, 2);
    Wait(tavro::GestureEngine::kSilence + kPacket);
    EXPECT_EQ(Seen(), (List{"+key Up", "-key Up"}));
}

TEST_F(Gestures, OnlyHandsetsThatActStartBindingsAndTheirOwnBindingComesFirst) {
    Load("[p]\nnorth = key Up\nhandset 2 north = key Page_Up\n");
    Hold(1u << kNorth, 2, 2, false);
    Hold(1u << kNorth, 2, 1, true);
    Hold(0, 1, 1, true);
    EXPECT_EQ(Seen(), (List{"+key Page_Up", "-key Page_Up"}));
    EXPECT_EQ(engine.Taken(0), 1u << kNorth);
    EXPECT_EQ(engine.Taken(3), 1u << kNorth);
}

}  // namespace
