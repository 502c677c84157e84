// What the handset's keys do: named profiles of bindings, each binding a
// keypad key (or two held together) with a gesture, for every handset or
// one, to one action.  Read from the user's bindings file (BindingsFile.h);
// a key no binding of the active profile mentions keeps the kit's built-in
// behaviour.
#ifndef TAVRO_BINDINGS_H
#define TAVRO_BINDINGS_H

#include <string>
#include <vector>

namespace tavro {

// The ten keypad keys by their line in the button word.
constexpr int kKeypadKeys = 10;

enum class Gesture {
    Press,   // acts while the key is held, from the press to the release
    Hold,    // acts once the key has been held for `holdMs`, until the release
    Double,  // the second press within `doubleMs` of the first release
    Chord,   // this key and `chordWith` held together
};

enum class ActionKind {
    Keys,         // a key chord, pressed in order, released in reverse order
    Button,       // a pointer button, a click or held as a drag
    Scroll,       // wheel detents, repeated while held
    Freeze,       // the pointer stops following the handset
    Unfreeze,
    ToggleFreeze,
    Profile,      // switch to `text` ("next": the following profile)
    Infrared,     // send the saved code named `text`
    Run,          // start `argv`, not waited for
    Nothing,      // the key does nothing at all
};

struct Action {
    ActionKind kind = ActionKind::Nothing;
    std::vector<unsigned long> keysyms;  // Keys: modifiers first
    int button = 0;                      // Button: 0 left, 1 middle, 2 right
    bool drag = false;                   // Button: held while the key is held
    int scrollX = 0, scrollY = 0;        // Scroll: one detent's direction (y > 0 down)
    double scrollRate = 10.0;            // Scroll: detents per second while held
    std::string text;                    // Profile, Infrared
    std::vector<std::string> argv;       // Run
    std::string source;                  // the action as written, for listings
};

struct Binding {
    int key = 0;          // 0..9, ButtonIndex order
    int chordWith = -1;   // the other key of a chord
    int handset = -1;     // -1: every handset
    Gesture gesture = Gesture::Press;
    int holdMs = 0;
    int doubleMs = 300;
    Action action;
    int line = 0, column = 0;  // where the file says it
    std::string trigger;       // the trigger as written, for listings
};

struct Profile {
    std::string name;
    std::vector<Binding> bindings;
    // X11 window classes (WM_CLASS) this profile is for.
    std::vector<std::string> applications;
    // Keys of handsets that do not hold the pointer act too.
    bool everyHandset = false;
    int line = 0;

    // The bindings of `key` (as its first key) that act for `handset`
    // (-1: those of every handset and of each one), in file order.
    std::vector<const Binding*> OfKey(int key, int handset) const;
};

struct Bindings {
    std::string path;               // the file they came from, empty for the built-in
    std::vector<Profile> profiles;  // in file order; never holds "builtin"
    std::string start;              // the profile active at start ("" = the first)

    // The profile of that name, or null (also for "builtin").
    const Profile* Find(const std::string& name) const;
    // The name of the profile active at start: `start`, else the first
    // profile, else "builtin".
    std::string StartProfile() const;
    // The profile after `name` in file order, "builtin" after the last and
    // the first after "builtin".
    std::string NextProfile(const std::string& name) const;
};

// The profile that is the kit's own behaviour: it binds no key.
extern const char* const kBuiltinProfile;

}  // namespace tavro

#endif  // TAVRO_BINDINGS_H
