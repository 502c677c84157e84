// What the platform's pointer and key operations share about the output:
// which one is in use, the desktop's size, and the ends of a run.
#ifndef TAVRO_OUTPUT_SELECTION_H
#define TAVRO_OUTPUT_SELECTION_H

#include "Output.h"

#include <memory>

class CTavroLinux;

namespace tavro {

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
