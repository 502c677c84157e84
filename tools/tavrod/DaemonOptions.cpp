// Parsing tavrod's command line and its configuration file.
#include "DaemonOptions.h"

#include "DaemonConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace tavrod {

const char kUsage[] =
    "Usage: tavrod [--device PATH] [--output auto|x11|uinput] [--screen WxH]\n"
    "Runs the Tavro receiver: opens its tty (the settings' DeviceName, or PATH\n"
    "for this run), configures it and serves it until SIGINT, SIGTERM or\n"
    "`tavro stop`.  A receiver that is not there yet, or is unplugged later, is\n"
    "waited for and opened when it appears.  SIGHUP rereads the configuration\n"
    "and the settings file.  Only one tavrod runs at a time.\n"
    "\n"
    "  --device PATH   the receiver's tty for this run (the settings file is\n"
    "                  not changed)\n"
    "  --output WHERE  where pointer and keys go: x11 (the X display), uinput\n"
    "                  (a virtual input device, for Wayland and the console),\n"
    "                  or auto (the default: the X display when there is one)\n"
    "  --screen WxH    the desktop's size in pixels when no X display tells it\n"
    "                  (for uinput), for example 1920x1080\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "The configuration file ~/.config/tavro/tavrod.conf (or\n"
    "$XDG_CONFIG_HOME/tavro/tavrod.conf) may hold \"output = ...\" and\n"
    "\"screen = WxH\" lines; the command line wins over it.  Messages go to\n"
    "standard error and to the system log (journalctl -t Tavro).\n"
    "\n"
    "Exit status: 0 after a requested stop; 1 when the kit, the receiver or the\n"
    "output cannot be started, or the X display went away (the reason is printed\n"
    "on standard error); 2 for bad options or a bad configuration file; 3 when\n"
    "another tavrod already runs.\n";

namespace {

bool ParseOutput(const std::string& text, CTavroLinux::OutputChoice* choice) {
    if (text == "auto") *choice = CTavroLinux::OutputChoice::Auto;
    else if (text == "x11") *choice = CTavroLinux::OutputChoice::X11;
    else if (text == "uinput") *choice = CTavroLinux::OutputChoice::Uinput;
    else return false;
    return true;
}

// "WxH" with both sides whole numbers from 1 to 32767, nothing around them.
bool ParseScreen(const std::string& text, int* width, int* height) {
    const size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 >= text.size()) return false;
    const std::string w = text.substr(0, x), h = text.substr(x + 1);
    if (w.find_first_not_of("0123456789") != std::string::npos ||
        h.find_first_not_of("0123456789") != std::string::npos || w.size() > 5 || h.size() > 5)
        return false;
    const long wv = std::strtol(w.c_str(), nullptr, 10), hv = std::strtol(h.c_str(), nullptr, 10);
    if (wv < 1 || wv > 32767 || hv < 1 || hv > 32767) return false;
    *width = static_cast<int>(wv);
    *height = static_cast<int>(hv);
    return true;
}

// The value of "--name VALUE" or "--name=VALUE" at argv[*i].
bool OptionValue(int argc, char** argv, int* i, const std::string& name, std::string* value,
                 bool* matched) {
    const std::string arg = argv[*i];
    *matched = false;
    if (arg == name) {
        *matched = true;
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    if (arg.rfind(name + "=", 0) == 0) {
        *matched = true;
        *value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

const char* OutputName(CTavroLinux::OutputChoice choice) {
    switch (choice) {
        case CTavroLinux::OutputChoice::X11: return "x11";
        case CTavroLinux::OutputChoice::Uinput: return "uinput";
        case CTavroLinux::OutputChoice::Auto: break;
    }
    return "auto";
}

std::string ScreenText(const Options& options) {
    if (options.screenWidth <= 0) return "from the display";
    return std::to_string(options.screenWidth) + "x" + std::to_string(options.screenHeight);
}

Parsed ParseCommandLine(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Parsed::Help;
        if (arg == "--version") return Parsed::Version;
        std::string value;
        bool matched = false;
        if (OptionValue(argc, argv, &i, "--device", &value, &matched) || matched) {
            if (!matched || value.empty()) {
                *error = "--device needs the receiver's path";
                return Parsed::Error;
            }
            options->device = value;
        } else if (OptionValue(argc, argv, &i, "--output", &value, &matched) || matched) {
            if (!ParseOutput(value, &options->output)) {
                *error = "--output takes auto, x11 or uinput" +
                         (value.empty() ? std::string() : ", not \"" + value + "\"");
                return Parsed::Error;
            }
            options->outputGiven = true;
        } else if (OptionValue(argc, argv, &i, "--screen", &value, &matched) || matched) {
            if (!ParseScreen(value, &options->screenWidth, &options->screenHeight)) {
                *error = "--screen takes the desktop's size as WxH, for example 1920x1080" +
                         (value.empty() ? std::string() : ", not \"" + value + "\"");
                return Parsed::Error;
            }
            options->screenGiven = true;
        } else {
            *error = "unknown option " + arg + " (see --help)";
            return Parsed::Error;
        }
    }
    return Parsed::Run;
}

bool ApplyConfigFile(const Options& commandLine, Options* effective, std::string* error) {
    *effective = commandLine;
    std::map<std::string, std::string> values;
    if (!tavro::ReadDaemonConfig(&values, error)) return false;
    const std::string path = tavro::DaemonConfigPath();
    // A misspelt key would otherwise be ignored without a word.
    const std::string unknown = tavro::UnknownDaemonConfigKeys(values);
    if (!unknown.empty()) std::fprintf(stderr, "tavrod: %s\n", unknown.c_str());
    auto output = values.find("output");
    if (!commandLine.outputGiven && output != values.end() &&
        !ParseOutput(output->second, &effective->output)) {
        *error = path + ": output must be auto, x11 or uinput, not \"" + output->second + "\"";
        return false;
    }
    auto screen = values.find("screen");
    if (!commandLine.screenGiven && screen != values.end() &&
        !ParseScreen(screen->second, &effective->screenWidth, &effective->screenHeight)) {
        *error = path + ": screen must be WxH, for example 1920x1080, not \"" + screen->second + "\"";
        return false;
    }
    return true;
}

}  // namespace tavrod
