// From X key symbols to the kernel key codes that type them on the user's
// keyboard map, with the modifier keys each one needs.
#ifndef TAVRO_KEYBOARD_MAP_H
#define TAVRO_KEYBOARD_MAP_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavro {

struct KeyStroke {
    int code = 0;                // kernel key code (KEY_...)
    std::vector<int> modifiers;  // kernel key codes held around it, in press order
};

class KeyboardMap {
public:
    // Compiles the user's keymap: the XKB_DEFAULT_RULES, _MODEL, _LAYOUT,
    // _VARIANT and _OPTIONS variables when any is set, else the system's
    // keyboard configuration (/etc/default/keyboard), else xkbcommon's
    // defaults.  Null with *error set when no keymap can be compiled.
    // Compiled once per process for each configuration.
    static std::shared_ptr<const KeyboardMap> Load(std::string* error);

    // The key and modifiers that type `keysym`, the one needing the fewest
    // modifiers when several do; false when the keymap cannot type it.
    bool Find(unsigned long keysym, KeyStroke* stroke) const;

    // Every kernel key code the map uses (for the virtual keyboard's
    // capabilities).
    std::vector<int> Codes() const;

    // The layout the map was compiled for, for messages ("us", "de", ...).
    const std::string& Layout() const { return layout_; }

private:
    static std::unique_ptr<KeyboardMap> Compile(std::string* error);
    std::map<unsigned long, KeyStroke> strokes_;
    std::string layout_;
};

}  // namespace tavro

#endif  // TAVRO_KEYBOARD_MAP_H
