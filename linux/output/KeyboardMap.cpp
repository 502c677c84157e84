// The keymap through libxkbcommon: every key and shift level of the first
// layout is read once, and for each key symbol the key that types it with
// the fewest modifiers is kept, together with the keys that set those
// modifiers.
#include "KeyboardMap.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

namespace tavro {

namespace {

// xkbcommon numbers keys as the kernel does plus 8 (the X11 convention).
constexpr int kXkbOffset = 8;

struct Names {
    std::string rules, model, layout, variant, options;
};

bool AnyXkbVariable() {
    for (const char* name : {"XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT",
                             "XKB_DEFAULT_VARIANT", "XKB_DEFAULT_OPTIONS"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

// XKBMODEL="pc105" and the like, as Debian's keyboard-configuration writes.
Names SystemKeyboard() {
    Names names;
    std::ifstream file("/etc/default/keyboard");
    std::string line;
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line[0] == '#') continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (key == "XKBMODEL") names.model = value;
        else if (key == "XKBLAYOUT") names.layout = value;
        else if (key == "XKBVARIANT") names.variant = value;
        else if (key == "XKBOPTIONS") names.options = value;
    }
    return names;
}

int ModifierCount(xkb_mod_mask_t mask) { return __builtin_popcount(mask); }

}  // namespace

std::shared_ptr<const KeyboardMap> KeyboardMap::Load(std::string* error) {
    // Compiling a keymap takes a while; each process does it once for each
    // keyboard configuration it sees.
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<const KeyboardMap>> compiled;
    std::string key;
    for (const char* name : {"XKB_DEFAULT_RULES", "XKB_DEFAULT_MODEL", "XKB_DEFAULT_LAYOUT",
                             "XKB_DEFAULT_VARIANT", "XKB_DEFAULT_OPTIONS"}) {
        const char* value = std::getenv(name);
        key += std::string(value != nullptr ? value : "") + "\n";
    }
    std::lock_guard<std::mutex> hold(lock);
    auto found = compiled.find(key);
    if (found != compiled.end()) return found->second;
    std::shared_ptr<const KeyboardMap> map = Compile(error);
    if (map) compiled[key] = map;
    return map;
}

std::unique_ptr<KeyboardMap> KeyboardMap::Compile(std::string* error) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (context == nullptr) {
        if (error) *error = "cannot start libxkbcommon";
        return nullptr;
    }
    xkb_keymap* keymap = nullptr;
    Names names;
    if (!AnyXkbVariable()) {
        names = SystemKeyboard();
        xkb_rule_names rule{nullptr, names.model.empty() ? nullptr : names.model.c_str(),
                            names.layout.empty() ? nullptr : names.layout.c_str(),
                            names.variant.empty() ? nullptr : names.variant.c_str(),
                            names.options.empty() ? nullptr : names.options.c_str()};
        keymap = xkb_keymap_new_from_names(context, &rule, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    // The variables (read by xkbcommon itself), or its defaults.
    if (keymap == nullptr) keymap = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap == nullptr) {
        xkb_context_unref(context);
        if (error) *error = "cannot compile the keyboard map (check the XKB_DEFAULT_* variables)";
        return nullptr;
    }

    auto map = std::unique_ptr<KeyboardMap>(new KeyboardMap);
    const char* layoutName = xkb_keymap_layout_get_name(keymap, 0);
    map->layout_ = layoutName != nullptr ? layoutName : "";

    // The key that sets each modifier when pressed alone: one of a real
    // keyboard's modifier keys where the keymap has one (keymaps also bind
    // modifiers to keys no keyboard has, such as <LVL3>), else the first.
    const xkb_keycode_t first = xkb_keymap_min_keycode(keymap), last = xkb_keymap_max_keycode(keymap);
    std::map<xkb_mod_index_t, int> modifierKey;
    auto rank = [](int code) {
        static const int preferred[] = {KEY_LEFTSHIFT, KEY_LEFTCTRL, KEY_LEFTALT, KEY_RIGHTALT,
                                        KEY_LEFTMETA, KEY_RIGHTSHIFT, KEY_RIGHTCTRL, KEY_RIGHTMETA};
        for (size_t i = 0; i < sizeof preferred / sizeof preferred[0]; ++i)
            if (preferred[i] == code) return static_cast<int>(i);
        return 1000 + code;
    };
    xkb_state* state = xkb_state_new(keymap);
    for (xkb_keycode_t key = first; state != nullptr && key <= last; ++key) {
        xkb_state_update_key(state, key, XKB_KEY_DOWN);
        const xkb_mod_mask_t set = static_cast<xkb_mod_mask_t>(
            xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED));
        xkb_state_update_key(state, key, XKB_KEY_UP);
        const int code = static_cast<int>(key) - kXkbOffset;
        for (xkb_mod_index_t m = 0; m < 32; ++m)
            if ((set & (1u << m)) && (!modifierKey.count(m) || rank(code) < rank(modifierKey[m])))
                modifierKey[m] = code;
    }
    if (state != nullptr) xkb_state_unref(state);
    const xkb_mod_index_t lock = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);

    std::map<unsigned long, int> bestCost;
    for (xkb_keycode_t key = first; key <= last; ++key) {
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, key, 0, level, &syms);
            if (count != 1) continue;  // several symbols at once are not one key stroke
            xkb_mod_mask_t masks[8];
            const size_t maskCount = xkb_keymap_key_get_mods_for_level(keymap, key, 0, level, masks, 8);
            // The cheapest mask that reaches the level without Caps Lock,
            // whose state would outlive the stroke, and with a key for
            // every modifier.
            int chosen = -1;
            for (size_t i = 0; i < maskCount; ++i) {
                if (lock != XKB_MOD_INVALID && (masks[i] & (1u << lock))) continue;
                bool typable = true;
                for (xkb_mod_index_t m = 0; m < 32; ++m)
                    if ((masks[i] & (1u << m)) && !modifierKey.count(m)) typable = false;
                if (typable && (chosen < 0 || ModifierCount(masks[i]) < ModifierCount(masks[chosen])))
                    chosen = static_cast<int>(i);
            }
            if (chosen < 0) continue;
            const unsigned long sym = syms[0];
            const int cost = ModifierCount(masks[chosen]);
            auto best = bestCost.find(sym);
            if (best != bestCost.end() && best->second <= cost) continue;
            KeyStroke stroke;
            stroke.code = static_cast<int>(key) - kXkbOffset;
            for (xkb_mod_index_t m = 0; m < 32; ++m)
                if (masks[chosen] & (1u << m)) stroke.modifiers.push_back(modifierKey[m]);
            bestCost[sym] = cost;
            map->strokes_[sym] = stroke;
        }
    }
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return map;
}

bool KeyboardMap::Find(unsigned long keysym, KeyStroke* stroke) const {
    auto it = strokes_.find(keysym);
    if (it == strokes_.end()) return false;
    *stroke = it->second;
    return true;
}

std::vector<int> KeyboardMap::Codes() const {
    std::vector<int> codes;
    for (const auto& [sym, stroke] : strokes_) {
        codes.push_back(stroke.code);
        for (int m : stroke.modifiers) codes.push_back(m);
    }
    return codes;
}

}  // namespace tavro
