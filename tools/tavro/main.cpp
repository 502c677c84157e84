// tavro: the command-line client of the Tavro kit.  It attaches the kit's
// shared record like any application and talks to the receiver through the
// device daemon (tavrod) that owns it.
#include "Commands.h"
#include "Kit.h"

#include <cstdio>
#include <cstring>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

using namespace tavro::cli;

// One line per command; a command in a file of its own declares its entry
// point and help text in Commands.h and adds its line here.
const Command kCommands[] = {
    {"status", "position, roll, distance, powers and keys of the handsets", kStatusHelp, RunStatus},
    {"get", "print one setting", kGetHelp, RunGet},
    {"set", "change one setting and save it in the settings file", kSetHelp, RunSet},
    {"settings", "list every setting with its value", kSettingsHelp, RunSettings},
    {"info", "the receiver's versions, dates, copyrights, channel, signal", kInfoHelp, RunInfo},
    {"camera", "set the camera's threshold, gain and exposure", kCameraHelp, RunCamera},
    {"channel", "show or change the receiver's radio channel", kChannelHelp, RunChannel},
    {"motor", "start or stop the handset's motor", kMotorHelp, RunMotor},
    {"stop", "stop the device (the daemon releases the receiver)", kStopHelp, RunStop},
    {"ir", "learn, send or blast infrared codes", kIrHelp, RunIr},
    {"raw", "print the packets the kit receives, decoded", kRawHelp, RunRaw},
    {"pointing", "show or change how the handset moves the pointer", kPointingHelp, RunPointing},
    {"pointer", "let the handset move the pointer or not; choose the handset", kPointerHelp, RunPointer},
    {"filter", "choose the stabiliser that steadies the pointer", kFilterHelp, RunFilter},
    {"profile", "show or switch the key bindings' profile", kProfileHelp, RunProfile},
    {"bind", "list the keys' bindings, or bind a key to an action", kBindHelp, RunBind},
};

void PrintOverview(FILE* out) {
    std::fputs(
        "Usage: tavro COMMAND [ARGUMENTS]\n"
        "       tavro COMMAND --help\n"
        "       tavro --help | --version\n"
        "\n"
        "The command-line client of the Tavro pointer kit: shows what the handsets\n"
        "do, changes the settings, and sends commands to the receiver.  Receiver\n"
        "commands are carried out by the device daemon (tavrod), which must be\n"
        "running with the receiver plugged in; a command that gets no answer in\n"
        "time is withdrawn, never carried out later.\n"
        "\n"
        "Commands:\n",
        out);
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
    std::fputs(
        "\n"
        "Exit status: 0 success, 1 failure, 2 wrong command, option or value,\n"
        "3 no answer from the daemon or the receiver in time.\n",
        out);
}

const Command* Find(const char* name) {
    for (const Command& command : kCommands)
        if (std::strcmp(command.name, name) == 0) return &command;
    return nullptr;
}

bool AsksForHelp(const Args& args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("tavro");
    if (argc < 2) return Fail(kExitUsage, "no command given (see tavro --help)");
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        PrintOverview(stdout);
        return kExitOk;
    }
    if (std::strcmp(first, "--version") == 0 || std::strcmp(first, "-V") == 0) {
        std::printf("tavro %s\n", TAVRO_VERSION);
        return kExitOk;
    }
    if (std::strcmp(first, "help") == 0) {
        if (argc < 3) {
            PrintOverview(stdout);
            return kExitOk;
        }
        const Command* command = Find(argv[2]);
        if (command == nullptr) return Fail(kExitUsage, "unknown command \"%s\" (see tavro --help)", argv[2]);
        std::fputs(command->help, stdout);
        return kExitOk;
    }
    const Command* command = Find(first);
    if (command == nullptr) return Fail(kExitUsage, "unknown command \"%s\" (see tavro --help)", first);

    Args args(argv + 2, argv + argc);
    if (AsksForHelp(args)) {
        std::fputs(command->help, stdout);
        return kExitOk;
    }
    CatchInterrupts();
    return command->run(args);
}
