#include "Commands.h"
#include "Kit.h"

#include <algorithm>

namespace tavro::cli {

bool CommandLine::Parse(const Args& args, const std::vector<std::string>& valued,
                        const std::vector<std::string>& flags) {
    auto known = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    bool onlyPositional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositional || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        std::string name = arg.substr(2), value;
        size_t equals = name.find('=');
        bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (known(flags, name)) {
            if (inlineValue) {
                Fail(kExitUsage, "option --%s takes no value", name.c_str());
                return false;
            }
            options_[name] = "";
        } else if (known(valued, name)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    Fail(kExitUsage, "option --%s needs a value", name.c_str());
                    return false;
                }
                value = args[++i];
            }
            options_[name] = value;
        } else {
            Fail(kExitUsage, "unknown option %s (see --help)", arg.c_str());
            return false;
        }
    }
    return true;
}

bool CommandLine::IntOption(const std::string& name, long low, long high, long* value) const {
    const std::string& text = Option(name);
    if (!ParseInt(text, value) || *value < low || *value > high) {
        Fail(kExitUsage, "--%s takes a whole number from %ld to %ld, not \"%s\"", name.c_str(), low,
             high, text.c_str());
        return false;
    }
    return true;
}

const char* ButtonName(int bit) {
    static const char* const kNames[16] = {
        "up-right", "up",   "up-left",   "right", "centre", "left", "down-right", "down",
        "down-left", "menu", "b10",      "b11",   "b12",    "b13",  "b14",        "b15"};
    return bit >= 0 && bit < 16 ? kNames[bit] : "?";
}

std::string HeldKeys(int buttonWord) {
    std::string held;
    // Bits 13 and 14 carry the handset number, not keys.
    for (int bit = 0; bit < 16; ++bit) {
        if (bit == 13 || bit == 14) continue;
        if ((buttonWord & (1 << bit)) == 0) {
            if (!held.empty()) held += ',';
            held += ButtonName(bit);
        }
    }
    return held.empty() ? "-" : held;
}

}  // namespace tavro::cli
