// What the platform's pointer and key operations share about the output:
// which one is in use, the desktop's size, and the ends of a run.
#ifndef TAVRO_OUTPUT_SELECTION_H
#define TAVRO_OUTPUT_SELECTION_H

#include "Output.h"

#include <memory>
#include <string>

class CTavroLinux;

namespace tavro {

// What CTavroLinux::ChooseOutput chose, and why, as values.
struct OutputSelection {
    enum class Kind { X11, Uinput };
    enum class Reason {
        AskedFor,        // the choice named this output
        WaylandSession,  // auto, in a Wayland session: uinput
        NoXDisplay,      // auto, no X display could be opened: uinput
        XDisplay,        // auto, an X display: x11
    };
    // 0 when an output is in use; 1 the uinput output asked for cannot be
    // had, 2 the screen size is out of range (nothing changed then).
    int result = 0;
    Kind output = Kind::X11;
    Reason reason = Reason::AskedFor;
    // Auto wanted uinput for `reason` and could not have it: X11 instead.
    bool uinputRefused = false;
    // The X11 output without an X display: pointer and keys go nowhere (the
    // message says so).
    bool reachesNothing = false;
    // The one line for people: which output is used and why, or the error
    // naming the cause and the fix.
    std::string message;
};

// The output's name as the daemon's status and its options spell it.
const char* OutputKindName(OutputSelection::Kind kind);

// Positions are kept within what X11 and every desktop carry.
constexpr int kMaxScreenSide = 32767;

// The output of a fresh platform object: the X11 output, keys routed as a
// client's (ClientOutput.h).
std::shared_ptr<Output> MakeDefaultOutput();

// The kit's output now (safe against a concurrent replacement).
std::shared_ptr<Output> CurrentOutput(const CTavroLinux& kit);

// The desktop's size that positions are mapped and clamped to: what the
// output knows (the X display, or the size the uinput devices were made
// for), else the size given to SelectOutput, else the calibration screen
// XcalScreen x YcalScreen; always within 1 .. kMaxScreenSide, whatever the
// record holds.
void DesktopSize(const CTavroLinux& kit, int* width, int* height);

// Releases every button and key the output holds (the device stopped).
void ReleaseHeldInput(CTavroLinux& kit);

}  // namespace tavro

#endif  // TAVRO_OUTPUT_SELECTION_H
