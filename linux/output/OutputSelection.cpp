// Choosing where pointer, buttons and keys go: the X11 output or the uinput
// output, by what is asked for and what the session is, with one line that
// says which and why.
#include "OutputSelection.h"

#include "ClientOutput.h"
#include "DisplayLock.h"
#include "KeyRelay.h"
#include "RecordAccess.h"
#include "TavroLinux.h"
#include "UinputOutput.h"
#include "X11Output.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>

namespace tavro {

namespace {

int SaneSide(long long side) {
    return static_cast<int>(std::clamp<long long>(side, 1, kMaxScreenSide));
}

// The calibration screen as the desktop's size; the kit's defaults when the
// record is not attached.
void CalibrationScreen(const CTavroLinux& kit, int* width, int* height) {
    const SharedDeviceState* r = kit.SharedData;
    *width = SaneSide(r != nullptr ? LoadField(r->XcalScreen) : 1280);
    *height = SaneSide(r != nullptr ? LoadField(r->YcalScreen) : 768);
}

std::string Size(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

std::shared_ptr<Output> MakeDefaultOutput() {
    return std::make_shared<ClientOutput>(std::make_shared<X11Output>());
}

std::shared_ptr<Output> CurrentOutput(const CTavroLinux& kit) {
    return std::atomic_load(&kit.DesktopOutput);
}

void DesktopSize(const CTavroLinux& kit, int* width, int* height) {
    int w = 0, h = 0;
    std::shared_ptr<Output> output = CurrentOutput(kit);
    if (output && output->ScreenSize(&w, &h)) {
    } else if (kit.OutputScreenWidth > 0 && kit.OutputScreenHeight > 0) {
        w = kit.OutputScreenWidth, h = kit.OutputScreenHeight;
    } else {
        CalibrationScreen(kit, &w, &h);
    }
    *width = SaneSide(w);
    *height = SaneSide(h);
}

void ReleaseHeldInput(CTavroLinux& kit) {
    std::lock_guard<std::recursive_mutex> sequence(kit.OutputSequence);
    if (std::shared_ptr<Output> output = CurrentOutput(kit)) {
        output->ReleaseAll();
        output->Flush();
    }
}

}  // namespace tavro

using tavro::kMaxScreenSide;

const char* tavro::OutputKindName(OutputSelection::Kind kind) {
    return kind == OutputSelection::Kind::Uinput ? "uinput" : "x11";
}

int CTavroLinux::SelectOutput(OutputChoice choice, int screenWidth, int screenHeight,
                              std::string* message) {
    tavro::OutputSelection chosen = ChooseOutput(choice, screenWidth, screenHeight);
    if (message != nullptr) *message = std::move(chosen.message);
    return chosen.result;
}

tavro::OutputSelection CTavroLinux::ChooseOutput(OutputChoice choice, int screenWidth, int screenHeight) {
    using Selection = tavro::OutputSelection;
    Selection chosen;
    if (screenWidth < 0 || screenHeight < 0 || screenWidth > kMaxScreenSide ||
        screenHeight > kMaxScreenSide || (screenWidth == 0) != (screenHeight == 0)) {
        chosen.result = 2;
        chosen.message = "the screen size " + tavro::Size(screenWidth, screenHeight) +
                         " is out of range: give WxH between 1x1 and 32767x32767";
        return chosen;
    }
    OutputScreenWidth = screenWidth;
    OutputScreenHeight = screenHeight;

    // Why this output: what was asked, or what the session is.
    std::string why;
    bool uinput = false;
    if (choice == OutputChoice::X11) {
        why = "asked for";
    } else if (choice == OutputChoice::Uinput) {
        uinput = true;
        why = "asked for";
    } else if (tavro::WaylandSession(&why)) {
        uinput = true;
        chosen.reason = Selection::Reason::WaylandSession;
        why = "Wayland session: " + why;
    } else if (display == nullptr) {
        uinput = true;
        chosen.reason = Selection::Reason::NoXDisplay;
        why = "no X display could be opened";
    } else {
        chosen.reason = Selection::Reason::XDisplay;
        why = std::string("X display ") + DisplayString(display);
    }

    // The previous choice's relay goes before anything new is made.
    std::atomic_store(&KeyRelay, std::shared_ptr<tavro::KeyRelayServer>());
    std::string refusal;
    if (uinput) {
        int width = 0, height = 0;
        std::string sizeFrom;
        if (display != nullptr) {
            tavro::DisplayLock lock(display);
            width = XDisplayWidth(lock.get(), DefaultScreen(lock.get()));
            height = XDisplayHeight(lock.get(), DefaultScreen(lock.get()));
            sizeFrom = "from the X display";
        } else if (screenWidth > 0) {
            width = screenWidth, height = screenHeight;
            sizeFrom = "as given";
        } else {
            tavro::CalibrationScreen(*this, &width, &height);
            sizeFrom = "from the calibration screen; give the desktop's size with --screen WxH";
        }
        std::unique_ptr<tavro::UinputOutput> made =
            tavro::UinputOutput::Create(width, height, true, &refusal);
        if (made) {
            const std::string nodes = "pointer " + made->PointerNode() + ", relative pointer " +
                                      made->RelativePointerNode() + ", keyboard " + made->KeyboardNode();
            std::shared_ptr<tavro::Output> output(std::move(made));
            std::atomic_store(&DesktopOutput, output);
            // Other programs' keys through this process's keyboard.
            std::string relayError;
            auto relay = std::make_shared<tavro::KeyRelayServer>(
                [this](unsigned long keysym, bool down) {
                    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
                    std::shared_ptr<tavro::Output> now = tavro::CurrentOutput(*this);
                    return now != nullptr && now->Key(keysym, down);
                },
                &relayError);
            // Kept when its name is taken: the daemon's loop tries it again.
            std::atomic_store(&KeyRelay, relay);
            chosen.output = Selection::Kind::Uinput;
            chosen.message = "output uinput (" + why + "): " + nodes + ", screen " +
                             tavro::Size(width, height) + " " + sizeFrom +
                             (relay->started() ? "" : "; " + relayError);
            return chosen;
        }
        if (choice == OutputChoice::Uinput) {
            chosen.result = 1;
            chosen.output = Selection::Kind::Uinput;
            chosen.message = refusal;
            return chosen;
        }
    }

    std::atomic_store(&DesktopOutput, std::shared_ptr<tavro::Output>(std::make_shared<tavro::X11Output>()));
    chosen.output = Selection::Kind::X11;
    chosen.reachesNothing = display == nullptr;
    if (!refusal.empty()) {
        // auto wanted uinput and could not have it: never silently.
        chosen.uinputRefused = true;
        chosen.message = "output x11, not uinput (" + why + "), as " + refusal +
                         (display != nullptr ? "; pointer and keys reach only X11 programs"
                                             : "; there is no X display either: pointer and keys go nowhere");
    } else if (display == nullptr) {
        chosen.message = "output x11 (" + why + "), but no X display could be opened (check DISPLAY): "
                         "pointer and keys go nowhere";
    } else {
        int width = 0, height = 0;
        tavro::DesktopSize(*this, &width, &height);
        chosen.message = "output x11 (" + why + "), screen " + tavro::Size(width, height);
    }
    return chosen;
}
