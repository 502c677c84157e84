// The keypad on the desktop: synthetic keys and pointer buttons through the
// X Test extension, and what each direction-pad key does with them.
#include "TavroLinux.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
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
constexpr int kKeyPauseMicroseconds = 5000;

constexpr unsigned kPrimaryButton = 1;
constexpr unsigned kMiddleButton = 2;

}  // namespace

int CTavroLinux::TV_SendKeyEvent(int keysym, int, int mode, int) {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    // A key symbol the keyboard map lacks has no key code: send nothing
    // rather than events for key code 0.
    const KeyCode code = XKeysymToKeycode(display, static_cast<KeySym>(keysym));
    if (code != 0) {
        switch (mode) {
            case kTap:
                XTestFakeKeyEvent(display, code, True, 0);
                TV_Sleep(kKeyPauseMicroseconds);
                XTestFakeKeyEvent(display, code, False, 0);
                break;
            case kPress:
                XTestFakeKeyEvent(display, code, True, 0);
                TV_Sleep(kKeyPauseMicroseconds);
                break;
            case kRelease:
                XTestFakeKeyEvent(display, code, False, 0);
                TV_Sleep(kKeyPauseMicroseconds);
                break;
            default:
                break;
        }
    }
    XUnlockDisplay(display);
    XFlush(display);
    return 0;
}

// ---- Pointer buttons ----

int CTavroLinux::MouseEventLeftDown() {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    XTestFakeButtonEvent(display, kPrimaryButton, True, 0);
    XFlush(display);
    XUnlockDisplay(display);
    return 0;
}

int CTavroLinux::MouseEventLeftUp() {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    XTestFakeButtonEvent(display, kPrimaryButton, False, 0);
    XFlush(display);
    XUnlockDisplay(display);
    return 0;
}

int CTavroLinux::MouseEventLeftDownUp() {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    XTestFakeButtonEvent(display, kPrimaryButton, True, 0);
    XTestFakeButtonEvent(display, kPrimaryButton, False, 0);
    XFlush(display);
    XUnlockDisplay(display);
    return 0;
}

// The display lock nests, so these may hold it around the primitives.
int CTavroLinux::MouseEventButtonDownUp() {
    if (display == nullptr || CurrentButton != Center) return 0;
    XLockDisplay(display);
    MouseEventLeftDownUp();
    XUnlockDisplay(display);
    return 0;
}

int CTavroLinux::MouseEventButtonUp() {
    if (display == nullptr || CurrentButton != Center) return 0;
    XLockDisplay(display);
    MouseEventLeftUp();
    XUnlockDisplay(display);
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
    if (HeldExactlyTen(s) && display != nullptr) {
        XLockDisplay(display);
        XTestFakeButtonEvent(display, kMiddleButton, True, 0);
        XTestFakeButtonEvent(display, kMiddleButton, False, 0);
        // Flushed here: nothing else may send a request for a long while.
        XFlush(display);
        XUnlockDisplay(display);
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
    const int packetUser = r->PacketUser;
    if (packetUser < 0 || packetUser >= TAVRO_HANDSETS) return 0;
    const double distance = r->Distance[packetUser];
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
