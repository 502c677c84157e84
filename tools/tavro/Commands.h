// The client's commands: each one's help text and entry point.
#ifndef TAVRO_CLI_COMMANDS_H
#define TAVRO_CLI_COMMANDS_H

#include <map>
#include <string>
#include <vector>

namespace tavro::cli {

using Args = std::vector<std::string>;

// A command's arguments split into options (--name VALUE, --name=VALUE or a
// bare --flag) and positional words.  Unknown options are errors.
class CommandLine {
public:
    // `valued` and `flags` list the options the command knows, without "--".
    // Returns false after printing a usage error.
    bool Parse(const Args& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags);
    bool Has(const std::string& name) const { return options_.count(name) != 0; }
    const std::string& Option(const std::string& name) const { return options_.at(name); }
    const std::vector<std::string>& Positional() const { return positional_; }

    // An option's value as a whole number within [low, high]; prints a usage
    // error and returns false otherwise.
    bool IntOption(const std::string& name, long low, long high, long* value) const;

private:
    std::map<std::string, std::string> options_;
    std::vector<std::string> positional_;
};

struct Command {
    const char* name;
    const char* summary;  // one line for the overview
    const char* help;     // the full text of `tavro NAME --help`
    int (*run)(const Args& args);
};

int RunStatus(const Args& args);
int RunGet(const Args& args);
int RunSet(const Args& args);
int RunSettings(const Args& args);
int RunInfo(const Args& args);
int RunCamera(const Args& args);
int RunChannel(const Args& args);
int RunMotor(const Args& args);
int RunStop(const Args& args);
int RunIr(const Args& args);
int RunRaw(const Args& args);
int RunPointing(const Args& args);
int RunPointer(const Args& args);
// The stabiliser's command, in FilterCommand.cpp.
int RunFilter(const Args& args);
// The key bindings' commands, in BindCommand.cpp.
int RunProfile(const Args& args);
int RunBind(const Args& args);

extern const char kStatusHelp[];
extern const char kGetHelp[];
extern const char kSetHelp[];
extern const char kSettingsHelp[];
extern const char kInfoHelp[];
extern const char kCameraHelp[];
extern const char kChannelHelp[];
extern const char kMotorHelp[];
extern const char kStopHelp[];
extern const char kIrHelp[];
extern const char kRawHelp[];
extern const char kPointingHelp[];
extern const char kPointerHelp[];
extern const char kFilterHelp[];
extern const char kProfileHelp[];
extern const char kBindHelp[];

// Key names of the button word's bits, bit 0 first (bit 15 last): the
// names of the README's keypad table (centre, up, up-right, ...).
const char* ButtonName(int bit);
// The held keys of an active-low button word, comma separated, or "-".
std::string HeldKeys(int buttonWord);

}  // namespace tavro::cli

#endif
