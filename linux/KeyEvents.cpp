// The keypad on the desktop: keys and pointer buttons through the kit's
// output (linux/output/: XTest on the X display, or the kernel's virtual
// devices), and what each direction-pad key does with them.
#include "TavroLinux.h"

#include "RecordAccess.h"

#include "OutputSelection.h"

#include <X11/keysym.h>

#include <climits>
#include <cmath>
#include <cstdio>

namespace {

// Patterns of a button's history register (bit 0 the newest packet, 1 = held).
bool FreshPress(unsigned s) { return (s & 3u) == 1u; }
bool Released(unsigned s) { return (s & 3u) == 2u; }
bool Held(unsigned s) { return (s & 3u) == 3u; }
bool HeldTenOrMore(unsigned s) { return (s & 0x3FFu) == 0x3FFu; }
bool HeldExactlyTen(unsigned s) { return (s & 0x7FFu) == 0x3FFu; }
bool ReleasedAfterNine(unsigned s) { return (s & 0x3FFu) == 0x3FEu; }

enum KeyMode { kTap = 0, kPress = 1, kRelease = 2 };

// Wait after each key event, long enough for clients to see them apart.
// Taken through the output, which may keep it off the calling thread.
constexpr int kKeyPauseMicroseconds = 5000;

using tavro::PointerButton;

}  // namespace

int CTavroLinux::TV_SendKeyEvent(int keysym, int, int mode, int) {
    SendKey(keysym, mode);
    return 0;
}

bool CTavroLinux::SendKey(int keysym, int mode) {
    std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(*this);
    if (!output) return false;
    bool sent = true;
    // Key symbols are 32-bit values; a negative int is one with the top bit.
    const unsigned long symbol = static_cast<unsigned int>(keysym);
    {
        // Press, wait and release of one call never interleave with another
        // thread's.  A symbol the keymap cannot type sends nothing.
        std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
        switch (mode) {
            case kTap:
                sent = output->Key(symbol, true);
                if (sent) {
                    output->Pause(kKeyPauseMicroseconds);
                    sent = output->Key(symbol, false);
                }
                break;
            case kPress:
                sent = output->Key(symbol, true);
                if (sent) output->Pause(kKeyPauseMicroseconds);
                break;
            case kRelease:
                sent = output->Key(symbol, false);
                if (sent) output->Pause(kKeyPauseMicroseconds);
                break;
            default:
                break;
        }
    }
    output->Flush();
    return sent;
}

// ---- Pointer buttons ----

namespace {

void SendButton(CTavroLinux& kit, PointerButton button, bool down) {
    if (std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(kit)) {
        output->Button(button, down);
        output->Flush();
    }
}

}  // namespace

int CTavroLinux::MouseEventLeftDown() {
    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
    SendButton(*this, PointerButton::Left, true);
    return 0;
}

int CTavroLinux::MouseEventLeftUp() {
    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
    SendButton(*this, PointerButton::Left, false);
    return 0;
}

int CTavroLinux::MouseEventLeftDownUp() {
    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
    SendButton(*this, PointerButton::Left, true);
    SendButton(*this, PointerButton::Left, false);
    return 0;
}

// The sequence lock nests, so these may hold it around the primitives.
int CTavroLinux::MouseEventButtonDownUp() {
    if (CurrentButton != Center) return 0;
    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
    MouseEventLeftDownUp();
    return 0;
}

int CTavroLinux::MouseEventButtonUp() {
    if (CurrentButton != Center) return 0;
    std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
    MouseEventLeftUp();
    return 0;
}

int CTavroLinux::MouseEventDrag() { return MouseEventLeftDown(); }

// ---- Direction-pad handlers ----

int CTavroLinux::HandleNorthEastEvents() { return 0; }

int CTavroLinux::HandleNorthEvents() {
    const unsigned s = CurrentButtonState;
    if (FreshPress(s) || HeldTenOrMore(s)) {
        TV_SendKeyEvent(XK_Up, -1, kTap, 5);
        std::fputs("UP\n", stdout);
        std::fflush(stdout);
    }
    return 0;
}

// Upper left: Back (Alt+Left) on a short press, Escape repeated on a long hold.
int CTavroLinux::HandleNorthWestEvents() {
    const unsigned s = CurrentButtonState;
    if (Released(s) && !ReleasedAfterNine(s)) {
        TV_SendKeyEvent(XK_Alt_L, -1, kPress, 0);
        TV_SendKeyEvent(XK_Left, -1, kTap, 5);
        TV_SendKeyEvent(XK_Alt_L, -1, kRelease, 0);
    }
    if (HeldTenOrMore(s)) TV_SendKeyEvent(XK_Escape, -1, kTap, 5);
    return 0;
}

int CTavroLinux::HandleEastEvents() {
    const unsigned s = CurrentButtonState;
    if (FreshPress(s) || HeldTenOrMore(s)) TV_SendKeyEvent(XK_Right, -1, kTap, 5);
    return 0;
}

int CTavroLinux::HandleCenterEvents() {
    CTavroCore::HandleCenterEvents();
    return 0;
}

int CTavroLinux::HandleWestEvents() {
    const unsigned s = CurrentButtonState;
    if (FreshPress(s) || HeldTenOrMore(s)) TV_SendKeyEvent(XK_Left, -1, kTap, 5);
    return 0;
}

// Lower right: Enter on a short press, one middle click on a long hold.
int CTavroLinux::HandleSouthEastEvents() {
    const unsigned s = CurrentButtonState;
    if (Released(s) && !ReleasedAfterNine(s)) TV_SendKeyEvent(XK_Return, -1, kTap, 5);
    if (HeldExactlyTen(s)) {
        std::lock_guard<std::recursive_mutex> sequence(OutputSequence);
        // Flushed at once: nothing else may send anything for a long while.
        SendButton(*this, PointerButton::Middle, true);
        SendButton(*this, PointerButton::Middle, false);
    }
    return 0;
}

int CTavroLinux::HandleSouthEvents() {
    const unsigned s = CurrentButtonState;
    if (FreshPress(s) || HeldTenOrMore(s)) TV_SendKeyEvent(XK_Down, -1, kTap, 5);
    return 0;
}

// Lower left: zoom by moving the handset while the key is held.  Every 0.02
// of distance change since the press is one zoom step: a growing distance
// gives Ctrl+plus, a shrinking one Ctrl+minus, at most one chord per packet.
int CTavroLinux::HandleSouthWestEvents() {
    const SharedDeviceState* r = SharedData;
    if (r == nullptr) return 0;
    const int packetUser = tavro::LoadField(r->PacketUser);
    if (packetUser < 0 || packetUser >= TAVRO_HANDSETS) return 0;
    const double distance = tavro::LoadField(r->Distance[packetUser]);
    const unsigned s = CurrentButtonState;

    if (FreshPress(s)) {
        ZoomStep = 0.0f;
        ZoomStartDistance = distance - 0.01;
        return 0;
    }
    if (!Held(s)) return 0;

    const double hundredths = (distance - ZoomStartDistance) * 100.0;
    if (std::isnan(hundredths)) return 0;  // no distance to compare: leave the zoom alone
    int n;
    if (hundredths >= static_cast<double>(INT_MAX))
        n = INT_MAX;
    else if (hundredths <= static_cast<double>(INT_MIN))
        n = INT_MIN;
    else
        n = static_cast<int>(hundredths);
    const int q = n / 2;

    if (q > ZoomStep) {
        TV_SendKeyEvent(XK_Control_L, -1, kPress, 0);
        TV_SendKeyEvent(XK_plus, -1, kTap, 5);
        TV_SendKeyEvent(XK_Control_L, -1, kRelease, 0);
    } else if (q < ZoomStep) {
        TV_SendKeyEvent(XK_Control_L, -1, kPress, 0);
        TV_SendKeyEvent(XK_minus, -1, kTap, 5);
        TV_SendKeyEvent(XK_Control_L, -1, kRelease, 0);
    }
    ZoomStep = static_cast<float>(q);
    return 0;
}

int CTavroLinux::HandleMenuEvents() { return 0; }
