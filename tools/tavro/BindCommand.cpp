// tavro profile and tavro bind: the key bindings' profiles and what each key
// does in them, kept in the bindings file and followed by a running daemon.
#include "BindingsEditor.h"
#include "BindingsFile.h"
#include "BuiltInKeys.h"
#include "Commands.h"
#include "ConfigFiles.h"
#include "Kit.h"
#include "ProfileRequest.h"

#include <cstdio>

namespace tavro::cli {

const char kProfileHelp[] =
    "Usage: tavro profile [NAME|next|builtin]\n"
    "\n"
    "Shows the key bindings' profile the running daemon uses and the profiles\n"
    "of the bindings file, or switches the daemon to profile NAME, to the next\n"
    "one, or to the kit's built-in keys.  The switch lasts while the daemon\n"
    "runs; the file's \"start\" line names the profile it starts with.\n"
    "\n"
    "The bindings file is $XDG_CONFIG_HOME/tavro/bindings.conf\n"
    "(~/.config/tavro/bindings.conf); see tavro-bindings(5).\n";

const char kBindHelp[] =
    "Usage: tavro bind [--profile P] [--handset N]\n"
    "       tavro bind KEY [GESTURE] ACTION... [--profile P] [--handset N]\n"
    "\n"
    "Without a KEY, lists what every key does in profile P (default: the one\n"
    "in use) for handset N (1-4; default: the bindings for every handset).\n"
    "\n"
    "With a KEY, binds it to ACTION in the bindings file, rewriting the file in\n"
    "place with its comments and order kept (through a symbolic link to its\n"
    "target); a running daemon takes the change up within a second.\n"
    "\n"
    "  KEY      up, down, left, right, up-left, up-right, down-left, down-right,\n"
    "           centre, menu, or two of them as a chord (left+right)\n"
    "  GESTURE  press (the default), hold MS, double [MS]\n"
    "  ACTION   key CHORD | button left|middle|right [click|drag] |\n"
    "           scroll up|down|left|right [RATE] | freeze | unfreeze |\n"
    "           toggle-freeze | profile NAME|next | ir NAME | run PROGRAM ARGS... |\n"
    "           nothing | builtin (removes the binding: the key acts built in)\n"
    "\n"
    "Examples:\n"
    "  tavro bind right key Page_Down --profile slides\n"
    "  tavro bind up hold 600 key Escape\n"
    "  tavro bind menu profile next --handset 2\n";

namespace {

constexpr auto kPickUpTimeout = std::chrono::milliseconds(2000);

bool ReadFile(const std::string& path, Bindings* bindings) {
    std::vector<std::string> problems;
    if (ReadBindingsFile(path, bindings, &problems)) return true;
    Fail(kExitFailure, "%s", problems[0].c_str());
    for (size_t i = 1; i < problems.size(); ++i) std::fprintf(stderr, "%s\n", problems[i].c_str());
    return false;
}

// The profile to look at or change: the option, else the daemon's, else the
// file's first.
std::string ChosenProfile(const CommandLine& line, const Bindings& b) {
    if (line.Has("profile")) return line.Option("profile");
    const DaemonView view = ReadDaemonView();
    if (view.running && !view.profile.empty()) return view.profile;
    return b.StartProfile();
}

int List(const CommandLine& line, const Bindings& b, int handset) {
    const std::string name = ChosenProfile(line, b);
    const Profile* p = b.Find(name);
    if (p == nullptr && name != kBuiltinProfile)
        return Fail(kExitUsage, "there is no profile \"%s\"; the profiles are %s", name.c_str(),
                    ProfileList(b).c_str());
    std::printf("profile %s%s%s%s\n", name.c_str(), b.path.empty() ? "" : " (", b.path.c_str(),
                b.path.empty() ? "" : ")");
    if (handset >= 0) std::printf("handset %d\n", handset + 1);
    if (p != nullptr && p->everyHandset) std::printf("every handset's keys act, not only the active one's\n");
    for (int key = 0; key < kKeypadKeys; ++key) {
        bool bound = false;
        if (p != nullptr)
            for (const Binding* binding : p->OfKey(key, handset)) {
                std::printf("  %-24s %-36s line %d\n", binding->trigger.c_str(), binding->action.source.c_str(),
                            binding->line);
                bound = true;
            }
        if (!bound) std::printf("  %-24s %s (built in)\n", KeypadKeyName(key), BuiltInKeyBehaviour(key));
    }
    return kExitOk;
}

int Bind(const CommandLine& line, const Bindings& b, const std::string& path) {
    const std::vector<std::string>& words = line.Positional();
    size_t i = 1;
    std::string trigger = words[0];
    if (i < words.size() && (words[i] == "press" || words[i] == "hold" || words[i] == "double")) {
        trigger += " " + words[i++];
        if (i < words.size() && !words[i].empty() && std::isdigit(static_cast<unsigned char>(words[i][0])))
            trigger += " " + words[i++];
    }
    if (line.Has("handset")) trigger = "handset " + line.Option("handset") + " " + trigger;
    if (i >= words.size()) return Fail(kExitUsage, "an action is missing after %s (see tavro bind --help)", trigger.c_str());
    std::string action;
    for (; i < words.size(); ++i) {
        const bool quote = words[i].find_first_of(" \t#\"") != std::string::npos;
        std::string word;
        for (char c : words[i]) word += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        action += (action.empty() ? "" : " ") + (quote ? "\"" + word + "\"" : word);
    }
    const std::string profile = ChosenProfile(line, b);
    if (profile == kBuiltinProfile)
        return Fail(kExitUsage, "the built-in profile cannot be changed; name a profile with --profile NAME "
                                "(a new one is made)");
    std::string text, error;
    if (!ReadUserFile(path, "a bindings file (see tavro-bindings(5))", &text, &error))
        return Fail(kExitFailure, "%s", error.c_str());
    std::string edited;
    if (!EditBinding(text, path, profile, trigger, action, &edited, &error)) return Fail(kExitUsage, "%s", error.c_str());
    if (!ReplaceFileThroughLinks(path, edited, &error)) return Fail(kExitFailure, "%s", error.c_str());
    if (action == "builtin")
        std::printf("%s acts built in again in profile %s (%s)\n", trigger.c_str(), profile.c_str(), path.c_str());
    else
        std::printf("bound %s to %s in profile %s (%s)\n", trigger.c_str(), action.c_str(), profile.c_str(),
                    path.c_str());
    return kExitOk;
}

}  // namespace

int RunProfile(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    if (words.size() > 1) return Fail(kExitUsage, "profile takes one name (see tavro profile --help)");
    const std::string path = DefaultBindingsPath();
    Bindings b;
    if (!ReadFile(path, &b)) return kExitFailure;
    const DaemonView view = ReadDaemonView();
    if (words.empty()) {
        if (view.running)
            std::printf("profile: %s (tavrod, process %d)\n", view.profile.empty() ? kBuiltinProfile : view.profile.c_str(),
                        view.pid);
        else
            std::printf("profile: no daemon runs (it would start with %s)\n", b.StartProfile().c_str());
        std::printf("profiles: %s (%s%s)\n", ProfileList(b).c_str(), path.c_str(), b.path.empty() ? ", no such file" : "");
        return kExitOk;
    }
    std::string wanted, error;
    bool usage = false;
    if (!RequestProfile(b, words[0], view, &wanted, &error, &usage))
        return Fail(usage ? kExitUsage : kExitFailure, "%s", error.c_str());
    if (!WaitUntil([&] { return ReadDaemonView().profile == wanted; }, kPickUpTimeout))
        return Fail(kExitNoAnswer, "the running tavrod (process %d) did not switch to %s; see journalctl -t Tavro",
                    view.pid, wanted.c_str());
    std::printf("profile: %s\n", wanted.c_str());
    return kExitOk;
}

int RunBind(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"profile", "handset"}, {})) return kExitUsage;
    long handset = 0;
    if (line.Has("handset") && !line.IntOption("handset", 1, 4, &handset)) return kExitUsage;
    const std::string path = DefaultBindingsPath();
    Bindings b;
    if (!ReadFile(path, &b)) return kExitFailure;
    if (line.Positional().empty()) return List(line, b, line.Has("handset") ? static_cast<int>(handset) - 1 : -1);
    return Bind(line, b, path);
}

}  // namespace tavro::cli
