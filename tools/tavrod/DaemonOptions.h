// tavrod's options: the command line, and the daemon's configuration file
// (keys "output" and "screen") for what the command line does not give.
#ifndef TAVROD_DAEMON_OPTIONS_H
#define TAVROD_DAEMON_OPTIONS_H

#include "TavroLinux.h"

#include <string>

namespace tavrod {

struct Options {
    std::string device;  // --device: the receiver's tty for this run; empty = the settings'
    CTavroLinux::OutputChoice output = CTavroLinux::OutputChoice::Auto;
    int screenWidth = 0;  // 0 = not given
    int screenHeight = 0;
    bool outputGiven = false;  // on the command line, which wins over the file
    bool screenGiven = false;
};

// What main() does after the command line was read.
enum class Parsed { Run, Help, Version, Error };

// Reads the command line into *options.  On Error *error holds one line.
Parsed ParseCommandLine(int argc, char** argv, Options* options, std::string* error);

// Fills what the command line left open from the daemon's configuration
// file into *effective (a copy of the command-line options).  False with
// *error one line ("PATH:LINE: ..." or "PATH: output must be ...") when the
// file cannot be used.  Keys it does not know are named in one line on
// standard error.
bool ApplyConfigFile(const Options& commandLine, Options* effective, std::string* error);

const char* OutputName(CTavroLinux::OutputChoice choice);
// "1920x1080", or "from the display" when not given.
std::string ScreenText(const Options& options);

extern const char kUsage[];

}  // namespace tavrod

#endif
