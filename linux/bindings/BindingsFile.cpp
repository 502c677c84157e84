// Reading the bindings file: a line-by-line parser that keeps every token's
// column, so that each problem names where it is and what would be valid.
#include "BindingsFile.h"

#include "ConfigFiles.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace tavro {

const char* const kBuiltinProfile = "builtin";

std::vector<const Binding*> Profile::OfKey(int key, int handset) const {
    std::vector<const Binding*> found;
    for (const Binding& b : bindings)
        if (b.key == key && (handset < 0 || b.handset < 0 || b.handset == handset)) found.push_back(&b);
    return found;
}

const Profile* Bindings::Find(const std::string& name) const {
    for (const Profile& p : profiles)
        if (p.name == name) return &p;
    return nullptr;
}

std::string Bindings::StartProfile() const {
    if (!start.empty()) return start;
    return profiles.empty() ? kBuiltinProfile : profiles.front().name;
}

std::string Bindings::NextProfile(const std::string& name) const {
    for (size_t i = 0; i < profiles.size(); ++i)
        if (profiles[i].name == name) return i + 1 < profiles.size() ? profiles[i + 1].name : kBuiltinProfile;
    return profiles.empty() ? kBuiltinProfile : profiles.front().name;
}

std::string DefaultBindingsPath() { return ConfigDirectory() + "/bindings.conf"; }

namespace {

// The names tavro status shows, and the compass names beside them.
const char* const kKeyNames[kKeypadKeys] = {"up-right",   "up",   "up-left",   "right", "centre",
                                            "left",       "down-right", "down", "down-left", "menu"};
const char* const kCompassNames[kKeypadKeys] = {"north-east", "north",      "north-west", "east",
                                                "center",     "west",       "south-east", "south",
                                                "south-west", "menu"};
const char kValidKeys[] =
    "up, down, left, right, up-left, up-right, down-left, down-right, centre or menu";
const char kValidActions[] =
    "key, button, scroll, freeze, unfreeze, toggle-freeze, profile, ir, run or nothing";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Token {
    std::string text;
    int column;  // 1-based
};

// Splits at blanks; "double quotes" group (with \" and \\ inside), '#' at the
// start of a token starts a comment.  False with *badColumn at an open quote.
bool Tokenize(const std::string& line, std::vector<Token>* tokens, int* badColumn) {
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token t{"", static_cast<int>(i) + 1};
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    t.text += line[i + 1];
                    i += 2;
                } else if (line[i] == '"') {
                    ++i;
                    closed = true;
                    break;
                } else {
                    t.text += line[i++];
                }
            }
            if (!closed) {
                *badColumn = t.column;
                return false;
            }
        } else if (line[i] == '=' || line[i] == '[' || line[i] == ']') {
            t.text = line[i++];
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '=' &&
                   line[i] != ']' && line[i] != '#')
                t.text += line[i++];
        }
        tokens->push_back(t);
    }
    return true;
}

bool ParseInt(const std::string& s, int low, int high, int* value) {
    if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), ::isdigit)) return false;
    *value = std::atoi(s.c_str());
    return *value >= low && *value <= high;
}

// Modifier words people write before a key in a chord.
unsigned long ModifierSym(const std::string& word) {
    static const std::map<std::string, const char*> kModifiers = {
        {"ctrl", "Control_L"}, {"control", "Control_L"}, {"alt", "Alt_L"},   {"shift", "Shift_L"},
        {"super", "Super_L"},  {"meta", "Super_L"},      {"win", "Super_L"}, {"altgr", "ISO_Level3_Shift"}};
    auto it = kModifiers.find(Lower(word));
    return it == kModifiers.end() ? 0 : xkb_keysym_from_name(it->second, XKB_KEYSYM_NO_FLAGS);
}

unsigned long KeySym(const std::string& name) {
    if (unsigned long m = ModifierSym(name)) return m;
    xkb_keysym_t sym = xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_NO_FLAGS);
    if (sym == XKB_KEY_NoSymbol) sym = xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_CASE_INSENSITIVE);
    return sym;
}

class Parser {
public:
    Parser(const std::string& path, std::vector<std::string>* problems) : path_(path), problems_(problems) {}

    void Line(const std::string& text, int number) {
        line_ = number;
        std::vector<Token> t;
        int badColumn = 0;
        if (!Tokenize(text, &t, &badColumn)) return Problem(badColumn, "a quote is not closed; end it with \"");
        if (t.empty()) return;
        if (t[0].text == "[") return Section(t);
        auto eq = std::find_if(t.begin(), t.end(), [](const Token& k) { return k.text == "="; });
        if (eq == t.begin()) return Problem(t[0].column, "nothing before '='; write a key, or a setting such as start");
        if (eq == t.end())
            return Problem(t.back().column + static_cast<int>(t.back().text.size()),
                           "'=' is missing; write TRIGGER = ACTION, for example: north = key Up");
        const std::vector<Token> left(t.begin(), eq), right(eq + 1, t.end());
        if (right.empty()) return Problem(eq->column + 1, std::string("nothing after '='; write an action: ") + kValidActions);
        if (Setting(left, right)) return;
        Trigger(left, right);
    }

    // Profiles named after a binding that names them must exist.
    void Finish(Bindings* out) {
        for (const auto& [name, where] : profileUses_)
            if (name != "next" && name != kBuiltinProfile && out->Find(name) == nullptr)
                ProblemAt(where.first, where.second, "there is no profile \"" + name + "\"; " + ProfileList(*out));
        if (!out->start.empty() && out->start != kBuiltinProfile && out->Find(out->start) == nullptr)
            ProblemAt(startLine_, startColumn_, "there is no profile \"" + out->start + "\"; " + ProfileList(*out));
    }

    Bindings result;

private:
    static std::string ProfileList(const Bindings& b) {
        std::string s = "the profiles are builtin";
        for (const Profile& p : b.profiles) s += ", " + p.name;
        return s;
    }
    void Problem(int column, const std::string& what) { ProblemAt(line_, column, what); }
    void ProblemAt(int line, int column, const std::string& what) {
        problems_->push_back(path_ + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what);
    }

    void Section(const std::vector<Token>& t) {
        if (t.size() != 3 || t[2].text != "]")
            return Problem(t[0].column, "a profile line is [NAME], one word between brackets");
        const std::string& name = t[1].text;
        if (name == kBuiltinProfile || name == "next")
            return Problem(t[1].column, "\"" + name + "\" is a reserved name; choose another profile name");
        for (const Profile& p : result.profiles)
            if (p.name == name)
                return Problem(t[1].column, "profile \"" + name + "\" is already defined on line " +
                                                std::to_string(p.line) + "; give it another name");
        result.profiles.push_back(Profile{name, {}, {}, false, line_});
        current_ = &result.profiles.back();
    }

    Profile* Current() {
        if (current_ == nullptr) {
            result.profiles.push_back(Profile{"default", {}, {}, false, line_});
            current_ = &result.profiles.back();
        }
        return current_;
    }

    // start, applications, every-handset.  False when `left` is no setting.
    bool Setting(const std::vector<Token>& left, const std::vector<Token>& right) {
        if (left.size() != 1) return false;
        const std::string word = Lower(left[0].text);
        if (word == "start") {
            if (current_ != nullptr) {
                Problem(left[0].column, "start is set before the first [profile] line");
            } else if (right.size() != 1) {
                Problem(right[0].column, "start takes one profile name");
            } else {
                result.start = right[0].text;
                startLine_ = line_, startColumn_ = right[0].column;
            }
            return true;
        }
        if (word == "applications") {
            if (current_ == nullptr) {
                Problem(left[0].column, "applications belongs in a profile; put it after a [NAME] line");
                return true;
            }
            for (const Token& k : right) current_->applications.push_back(k.text);
            return true;
        }
        if (word == "every-handset") {
            const std::string v = right.size() == 1 ? Lower(right[0].text) : "";
            if (v != "yes" && v != "no")
                Problem(right[0].column, "every-handset is yes or no");
            else
                Current()->everyHandset = v == "yes";
            return true;
        }
        return false;
    }

    void Trigger(const std::vector<Token>& left, const std::vector<Token>& right) {
        Binding b;
        b.line = line_, b.column = left[0].column;
        size_t i = 0;
        if (Lower(left[0].text) == "handset") {
            if (left.size() < 2 || !ParseInt(left[1].text, 1, 4, &b.handset))
                return Problem(left.size() < 2 ? left[0].column : left[1].column, "handset is followed by its number, 1 to 4");
            --b.handset;  // the file counts handsets from 1, as their labels do
            i = 2;
        }
        if (i >= left.size()) return Problem(left.back().column, std::string("a key is missing; the keys are ") + kValidKeys);
        const Token& keys = left[i++];
        const size_t plus = keys.text.find('+');
        const std::string first = keys.text.substr(0, plus);
        b.key = KeypadKeyFromName(first);
        if (b.key < 0)
            return Problem(keys.column, "\"" + first + "\" is not a key of the handset; the keys are " + kValidKeys);
        if (plus != std::string::npos) {
            const std::string second = keys.text.substr(plus + 1);
            b.chordWith = KeypadKeyFromName(second);
            if (b.chordWith < 0 || b.chordWith == b.key)
                return Problem(keys.column + static_cast<int>(plus) + 1,
                               "\"" + second + "\" is not another key of the handset; the keys are " + kValidKeys);
            b.gesture = Gesture::Chord;
            // A chord is the same whichever key is written first.
            if (b.chordWith < b.key) std::swap(b.key, b.chordWith);
        }
        if (i < left.size()) {
            const std::string g = Lower(left[i].text);
            if (b.gesture == Gesture::Chord)
                return Problem(left[i].column, "a chord of two keys takes no gesture");
            if (g == "press") {
                ++i;
            } else if (g == "hold" || g == "double") {
                ++i;
                int ms = g == "hold" ? 500 : 300;  // the time is optional
                if (i < left.size() && !ParseInt(left[i].text, 50, 10000, &ms))
                    return Problem(left[i].column, g + " takes a time in milliseconds, 50 to 10000");
                if (i < left.size()) ++i;
                if (g == "hold") b.gesture = Gesture::Hold, b.holdMs = ms;
                else b.gesture = Gesture::Double, b.doubleMs = ms;
            } else {
                return Problem(left[i].column, "\"" + left[i].text + "\" is not a gesture; write press, hold MS or double [MS]");
            }
        }
        if (i < left.size()) return Problem(left[i].column, "unexpected \"" + left[i].text + "\" before '='");
        for (size_t k = 0; k < left.size(); ++k) b.trigger += (k ? " " : "") + left[k].text;
        if (!ActionOf(right, &b.action)) return;
        for (size_t k = 0; k < right.size(); ++k) b.action.source += (k ? " " : "") + right[k].text;
        Profile* p = Current();
        for (const Binding& o : p->bindings)
            if (o.key == b.key && o.chordWith == b.chordWith && o.handset == b.handset && o.gesture == b.gesture)
                return Problem(b.column, "this key and gesture are already bound on line " + std::to_string(o.line) +
                                             " of profile " + p->name + "; keep one of the two");
        p->bindings.push_back(b);
    }

    bool ActionOf(const std::vector<Token>& t, Action* a) {
        const std::string kind = Lower(t[0].text);
        const int end = t.back().column + static_cast<int>(t.back().text.size());
        auto args = [&](size_t low, size_t high, const char* usage) {
            if (t.size() - 1 >= low && t.size() - 1 <= high) return true;
            Problem(t.size() - 1 > high ? t[high + 1].column : end, usage);
            return false;
        };
        if (kind == "key") {
            if (!args(1, 1, "key takes one chord of key names joined by +, for example ctrl+plus")) return false;
            a->kind = ActionKind::Keys;
            const std::string& chord = t[1].text;
            size_t from = 0;
            while (from <= chord.size()) {
                size_t to = chord.find('+', from);
                // "plus" spelled as '+' at the end: ctrl++ is ctrl and plus.
                if (to == from && from + 1 == chord.size()) to = std::string::npos;
                const std::string name = chord.substr(from, to == std::string::npos ? std::string::npos : to - from);
                const unsigned long sym = name == "+" ? KeySym("plus") : KeySym(name);
                if (name.empty() || sym == 0) {
                    Problem(t[1].column + static_cast<int>(from),
                            "\"" + name + "\" is not a key symbol; use X key symbol names such as Return, "
                            "Page_Up, XF86AudioPlay, or ctrl, alt, shift, super");
                    return false;
                }
                a->keysyms.push_back(sym);
                if (to == std::string::npos) break;
                from = to + 1;
            }
            return true;
        }
        if (kind == "button") {
            if (!args(1, 2, "button takes left, middle or right, then click or drag")) return false;
            const std::string which = Lower(t[1].text);
            a->kind = ActionKind::Button;
            a->button = which == "left" ? 0 : which == "middle" ? 1 : which == "right" ? 2 : -1;
            if (a->button < 0) {
                Problem(t[1].column, "\"" + t[1].text + "\" is not a button; write left, middle or right");
                return false;
            }
            if (t.size() == 3) {
                const std::string how = Lower(t[2].text);
                if (how != "click" && how != "drag") {
                    Problem(t[2].column, "a button is a click or a drag");
                    return false;
                }
                a->drag = how == "drag";
            }
            return true;
        }
        if (kind == "scroll") {
            if (!args(1, 2, "scroll takes up, down, left or right, then detents per second (1 to 60)")) return false;
            const std::string dir = Lower(t[1].text);
            a->kind = ActionKind::Scroll;
            if (dir == "up") a->scrollY = -1;
            else if (dir == "down") a->scrollY = 1;
            else if (dir == "left") a->scrollX = -1;
            else if (dir == "right") a->scrollX = 1;
            else {
                Problem(t[1].column, "\"" + t[1].text + "\" is not a direction; write up, down, left or right");
                return false;
            }
            int rate = 10;
            if (t.size() == 3 && !ParseInt(t[2].text, 1, 60, &rate)) {
                Problem(t[2].column, "the scroll rate is whole detents per second, 1 to 60");
                return false;
            }
            a->scrollRate = rate;
            return true;
        }
        if (kind == "freeze" || kind == "unfreeze" || kind == "toggle-freeze" || kind == "nothing") {
            if (!args(0, 0, (kind + " takes nothing after it").c_str())) return false;
            a->kind = kind == "freeze" ? ActionKind::Freeze : kind == "unfreeze" ? ActionKind::Unfreeze
                    : kind == "nothing" ? ActionKind::Nothing : ActionKind::ToggleFreeze;
            return true;
        }
        if (kind == "profile") {
            if (!args(1, 1, "profile takes a profile name, or next")) return false;
            a->kind = ActionKind::Profile;
            a->text = t[1].text;
            profileUses_.emplace(a->text, std::make_pair(line_, t[1].column));
            return true;
        }
        if (kind == "ir") {
            if (!args(1, 1, "ir takes the name of a code saved with tavro ir learn --name")) return false;
            a->kind = ActionKind::Infrared;
            a->text = t[1].text;
            return true;
        }
        if (kind == "run") {
            if (!args(1, 64, "run takes a program and at most 63 arguments")) return false;
            a->kind = ActionKind::Run;
            for (size_t k = 1; k < t.size(); ++k) a->argv.push_back(t[k].text);
            return true;
        }
        Problem(t[0].column, "\"" + t[0].text + "\" is not an action; the actions are " + kValidActions);
        return false;
    }

    const std::string path_;
    std::vector<std::string>* problems_;
    Profile* current_ = nullptr;
    int line_ = 0, startLine_ = 0, startColumn_ = 0;
    std::multimap<std::string, std::pair<int, int>> profileUses_;
};

}  // namespace

int KeypadKeyFromName(const std::string& name) {
    auto bare = [](const std::string& text) {
        std::string out;
        for (char c : Lower(text))
            if (c != '-' && c != '_') out += c;
        return out;
    };
    const std::string wanted = bare(name);
    for (int k = 0; k < kKeypadKeys; ++k)
        if (wanted == bare(kKeyNames[k]) || wanted == bare(kCompassNames[k])) return k;
    return -1;
}

const char* KeypadKeyName(int key) { return key >= 0 && key < kKeypadKeys ? kKeyNames[key] : "?"; }

bool ParseBindings(const std::string& text, const std::string& path, Bindings* out,
                   std::vector<std::string>* problems) {
    Parser parser(path, problems);
    const size_t before = problems->size();
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    // Profiles are kept by pointer while parsing: reserve so they stay put.
    parser.result.profiles.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '[')) + 1);
    while (std::getline(lines, line)) parser.Line(line, ++number);
    parser.Finish(&parser.result);
    if (problems->size() != before) return false;
    parser.result.path = path;
    *out = std::move(parser.result);
    return true;
}

bool ReadBindingsFile(const std::string& path, Bindings* out, std::vector<std::string>* problems, bool* missing) {
    if (missing != nullptr) *missing = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            if (missing != nullptr) *missing = true;
            *out = Bindings{};
            return true;
        }
        problems->push_back(path + ": cannot read it: " + std::strerror(errno) + "; check its permissions");
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ParseBindings(text.str(), path, out, problems);
}

}  // namespace tavro
