// The bindings file's parser: what a good file binds, and for each kind of
// mistake the one line that names where it is and what would be valid.
#include "BindingsEditor.h"
#include "BindingsFile.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <fstream>
#include <iterator>

namespace {

using tavro::ActionKind;
using tavro::Bindings;
using tavro::Gesture;

TEST(BindingsFile, AGoodFileBindsWhatItSays) {
    Bindings b;
    std::vector<std::string> problems;
    ASSERT_TRUE(tavro::ParseBindings(R"(# a comment
start = tv
[slides]
applications = libreoffice-impress evince
east = key Right           # next slide
north-west hold 600 = key ctrl+alt+Delete
south double 250 = scroll down 20
East+west = button left drag
handset 2 menu = profile next
[tv]
every-handset = yes
centre = run notify-send "hello there" \
menu = ir tv-power
north = key ctrl++
)", "b.conf", &b, &problems)) << problems[0];
    ASSERT_EQ(b.profiles.size(), 2u);
    EXPECT_EQ(b.StartProfile(), "tv");
    EXPECT_EQ(b.NextProfile("tv"), "builtin");
    EXPECT_EQ(b.NextProfile("builtin"), "slides");
    const tavro::Profile& slides = b.profiles[0];
    EXPECT_EQ(slides.applications, (std::vector<std::string>{"libreoffice-impress", "evince"}));
    ASSERT_EQ(slides.bindings.size(), 5u);
    EXPECT_EQ(slides.bindings[1].action.keysyms,
              (std::vector<unsigned long>{XK_Control_L, XK_Alt_L, XK_Delete}));
    EXPECT_EQ(slides.bindings[1].gesture, Gesture::Hold);
    EXPECT_EQ(slides.bindings[1].holdMs, 600);
    EXPECT_EQ(slides.bindings[2].doubleMs, 250);
    EXPECT_EQ(slides.bindings[2].action.scrollY, 1);
    EXPECT_EQ(slides.bindings[2].action.scrollRate, 20);
    EXPECT_EQ(slides.bindings[3].gesture, Gesture::Chord);
    EXPECT_EQ(slides.bindings[3].key, 3);        // east
    EXPECT_EQ(slides.bindings[3].chordWith, 5);  // west
    EXPECT_TRUE(slides.bindings[3].action.drag);
    EXPECT_EQ(slides.bindings[4].handset, 1);  // handsets are numbered from 1 in the file
    const tavro::Profile& tv = b.profiles[1];
    EXPECT_TRUE(tv.everyHandset);
    EXPECT_EQ(tv.bindings[0].action.argv, (std::vector<std::string>{"notify-send", "hello there", "\\"}));
    EXPECT_EQ(tv.bindings[1].action.kind, ActionKind::Infrared);
    EXPECT_EQ(tv.bindings[2].action.keysyms, (std::vector<unsigned long>{XK_Control_L, XK_plus}));
}

struct Mistake {
    const char* name;
    const char* text;
    const char* message;  // the whole first line
};

class BindingsMistakes : public testing::TestWithParam<Mistake> {};

TEST_P(BindingsMistakes, AreNamedByLineAndColumn) {
    Bindings b;
    b.start = "untouched";
    std::vector<std::string> problems;
    EXPECT_FALSE(tavro::ParseBindings(GetParam().text, "/h/b.conf", &b, &problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0], GetParam().message);
    EXPECT_EQ(b.start, "untouched") << "a file with an error changes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Each, BindingsMistakes,
    testing::Values(
        Mistake{"UnknownKeySymbol", "[p]\nnorth = key ctrl+Plux\n",
                "/h/b.conf:2:18: \"Plux\" is not a key symbol; use X key symbol names such as Return, "
                "Page_Up, XF86AudioPlay, or ctrl, alt, shift, super"},
        Mistake{"UnknownKeyName", "[p]\n  nort = key Up\n",
                "/h/b.conf:2:3: \"nort\" is not a key of the handset; the keys are up, down, left, right, "
                "up-left, up-right, down-left, down-right, centre or menu"},
        Mistake{"MissingProfile", "[p]\nmenu = profile slides\n",
                "/h/b.conf:2:16: there is no profile \"slides\"; the profiles are builtin, p"},
        Mistake{"DuplicateBinding", "[p]\nnorth = key Up\nhandset 1 north = key Down\nnorth = key Down\n",
                "/h/b.conf:4:1: this key and gesture are already bound on line 2 of profile p; keep one of the two"},
        Mistake{"ChordWrittenBothWays", "[p]\neast+west = key a\nwest+east = key b\n",
                "/h/b.conf:3:1: this key and gesture are already bound on line 2 of profile p; keep one of the two"},
        Mistake{"UnknownAction", "[p]\nnorth = type Up\n",
                "/h/b.conf:2:9: \"type\" is not an action; the actions are key, button, scroll, freeze, "
                "unfreeze, toggle-freeze, profile, ir, run or nothing"},
        Mistake{"NoEquals", "[p]\nnorth key Up\n",
                "/h/b.conf:2:13: '=' is missing; write TRIGGER = ACTION, for example: north = key Up"},
        Mistake{"BadHoldTime", "[p]\nnorth hold 5 = key Up\n",
                "/h/b.conf:2:12: hold takes a time in milliseconds, 50 to 10000"},
        Mistake{"BadHandset", "[p]\nhandset 5 north = key Up\n",
                "/h/b.conf:2:9: handset is followed by its number, 1 to 4"},
        Mistake{"OpenQuote", "[p]\ncentre = run \"echo\n", "/h/b.conf:2:14: a quote is not closed; end it with \""},
        Mistake{"ReservedProfileName", "[builtin]\n",
                "/h/b.conf:1:2: \"builtin\" is a reserved name; choose another profile name"},
        Mistake{"StartOfNoProfile", "start = tv\n[p]\n",
                "/h/b.conf:1:9: there is no profile \"tv\"; the profiles are builtin, p"}),
    [](const auto& info) { return info.param.name; });

TEST(BindingsFile, KeyNamesAreThoseOfStatusOrOfTheCompassInAnyCase) {
    for (const char* name : {"down-left", "Down_Left", "south-west", "SouthWest", "southwest"})
        EXPECT_EQ(tavro::KeypadKeyFromName(name), 8) << name;
    EXPECT_EQ(tavro::KeypadKeyFromName("center"), 4);
    EXPECT_EQ(tavro::KeypadKeyFromName("centre"), 4);
    for (int k = 0; k < tavro::kKeypadKeys; ++k)
        EXPECT_EQ(tavro::KeypadKeyFromName(tavro::KeypadKeyName(k)), k);
}

}  // namespace

namespace {

struct Edit {
    const char* name;
    const char* profile;
    const char* trigger;
    const char* action;
    const char* result;  // the whole file after the edit, or the error
};

constexpr char kHandWritten[] =
    "# my keys\n"
    "[slides]   # talks\n"
    "  right = key Page_Down   # next slide\n"
    "left = key Page_Up\n"
    "\n"
    "[tv]\n"
    "up = key Up\n";

class BindingEdits : public testing::TestWithParam<Edit> {};

TEST_P(BindingEdits, ChangeOneLineAndKeepEveryOther) {
    std::string edited, error;
    const bool ok = tavro::EditBinding(kHandWritten, "b.conf", GetParam().profile, GetParam().trigger,
                                       GetParam().action, &edited, &error);
    EXPECT_EQ(ok ? edited : error, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Each, BindingEdits,
    testing::Values(
        Edit{"ReplacesInPlaceKeepingIndentAndComment", "slides", "right", "key Next",
             "# my keys\n[slides]   # talks\n  right = key Next   # next slide\nleft = key Page_Up\n\n[tv]\n"
             "up = key Up\n"},
        Edit{"AddsAfterTheProfilesLastBinding", "slides", "up hold 600", "profile tv",
             "# my keys\n[slides]   # talks\n  right = key Page_Down   # next slide\nleft = key Page_Up\n"
             "up hold 600 = profile tv\n\n[tv]\nup = key Up\n"},
        Edit{"MakesANewProfileAtTheEnd", "new", "handset 2 menu", "scroll down",
             "# my keys\n[slides]   # talks\n  right = key Page_Down   # next slide\nleft = key Page_Up\n\n[tv]\n"
             "up = key Up\n\n[new]\nhandset 2 menu = scroll down\n"},
        Edit{"BuiltinRemovesTheLine", "slides", "left", "builtin",
             "# my keys\n[slides]   # talks\n  right = key Page_Down   # next slide\n\n[tv]\nup = key Up\n"},
        Edit{"RefusesAnInvalidAction", "tv", "up", "key Plux",
             "\"up = key Plux\": \"Plux\" is not a key symbol; use X key symbol names such as Return, Page_Up, "
             "XF86AudioPlay, or ctrl, alt, shift, super"}),
    [](const auto& info) { return info.param.name; });

}  // namespace

TEST(BindingsFile, TheInstalledExampleAndTheReadmesReadWithoutAnError) {
    tavro::Bindings b;
    std::vector<std::string> problems;
    EXPECT_TRUE(tavro::ReadBindingsFile(TAVRO_SOURCE_DIR "/packaging/bindings.conf.example", &b, &problems))
        << (problems.empty() ? "" : problems[0]);
    EXPECT_EQ(b.profiles.size(), 3u);
    std::ifstream in(TAVRO_SOURCE_DIR "/README.md");
    const std::string readme((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t section = readme.find("### Your own keys");
    const size_t start = readme.find("```\n", section) + 4, end = readme.find("```", start);
    ASSERT_NE(section, std::string::npos);
    EXPECT_TRUE(tavro::ParseBindings(readme.substr(start, end - start), "README.md", &b, &problems))
        << (problems.empty() ? "" : problems[0]);
    EXPECT_EQ(b.profiles.size(), 2u);
}
