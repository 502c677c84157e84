// From calibration-screen positions to the X pointer: scaling to the display,
// clamping at its edges with the border flags, the three pointing modes, and
// the pointer primitives, each under the Xlib display lock.
#include "TavroLinux.h"

#include <X11/Xlib.h>

#include <climits>
#include <cmath>

namespace {

bool ValidUser(int user) { return user >= 0 && user < TAVRO_HANDSETS; }

// Truncates toward zero, saturating at the 32-bit range; not-a-number gives 0
// (callers that move the pointer test for it first).
int SaturatingInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

// The protocol carries pointer coordinates as signed 16-bit values; anything
// wider would wrap into an unrelated position on the way to the server.
int WireCoordinate(long long value) {
    if (value > SHRT_MAX) return SHRT_MAX;
    if (value < SHRT_MIN) return SHRT_MIN;
    return static_cast<int>(value);
}

// The size pointer positions are mapped and clamped to: the display's default
// screen, or without a display the calibration screen itself, so that the
// record still receives meaningful positions.
void ScreenSize(const SharedDeviceState& r, int* width, int* height) {
    if (display != nullptr) {
        const int screen = DefaultScreen(display);
        *width = XDisplayWidth(display, screen);
        *height = XDisplayHeight(display, screen);
    } else {
        *width = r.XcalScreen;
        *height = r.YcalScreen;
    }
}

}  // namespace

int CTavroLinux::CalculatePODCoordinates(double* x, double* y) {
    const SharedDeviceState* r = SharedData;
    if (r == nullptr || x == nullptr || y == nullptr) return 0;
    int width = 0, height = 0;
    ScreenSize(*r, &width, &height);
    // A calibration screen of no size maps one to one instead of to infinity.
    const double sx = r->XcalScreen > 0 ? static_cast<double>(width) / r->XcalScreen : 1.0;
    const double sy = r->YcalScreen > 0 ? static_cast<double>(height) / r->YcalScreen : 1.0;
    *x = sx * *x;
    *y = sy * *y;
    return 0;
}

int CTavroLinux::CalculateScreenBorders(double* x, double* y, int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || x == nullptr || y == nullptr || !ValidUser(user)) return 0;
    int width = 0, height = 0;
    ScreenSize(*r, &width, &height);

    r->BorderLeft[user] = 0;
    if (*x < 0) {
        *x = 0;
        r->BorderLeft[user] = 1;
    }
    r->BorderTop[user] = 0;
    if (*y < 0) {
        *y = 0;
        r->BorderTop[user] = 1;
    }
    // Right and bottom compare the truncated position: x is held at the width
    // (one past the last column), y at the last row.
    r->BorderRight[user] = 0;
    if (SaturatingInt(*x) > width) {
        *x = width;
        r->BorderRight[user] = 1;
    }
    r->BorderBottom[user] = 0;
    if (SaturatingInt(*y) > height) {
        *y = height - 1;
        r->BorderBottom[user] = 1;
    }
    return 0;
}

int CTavroLinux::MoveScreenCursor(double x, double y, double unclampedX, double unclampedY,
                                  int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;
    const bool drives =
        user == r->CurrentUser && r->ActivateCursor != 0 && r->MoveEnabled != 0;

    if (r->DirectPoint != 0) {
        r->X[user] = unclampedX;
        r->Y[user] = unclampedY;
        if (drives && !std::isnan(unclampedX) && !std::isnan(unclampedY))
            MoveScreenCursorAbsolute(SaturatingInt(unclampedX), SaturatingInt(unclampedY));
        return 0;
    }

    if (r->SmartPoint != 0) {
        // Only changes of the clamped position move the pointer.
        const double dx = x - r->X[user];
        const double dy = y - r->Y[user];
        if (drives && !std::isnan(dx) && !std::isnan(dy))
            MoveScreenCursorRelative(SaturatingInt(dx), SaturatingInt(dy));
    } else if (drives && display != nullptr && !std::isnan(unclampedX) &&
               !std::isnan(unclampedY)) {
        // Game mode: from wherever the pointer is now to the aimed point.
        int px = 0, py = 0;
        GetCursorPosition(&px, &py);
        MoveScreenCursorRelative(SaturatingInt(unclampedX - px), SaturatingInt(unclampedY - py));
    }
    r->X[user] = x;
    r->Y[user] = y;
    return 0;
}

int CTavroLinux::MoveScreenCursorRelative(int dx, int dy) {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    const Window root = RootWindow(display, DefaultScreen(display));
    Window rootReturn = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(display, root, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask);
    XWarpPointer(display, None, root, 0, 0, 0, 0,
                 WireCoordinate(static_cast<long long>(rx) + dx),
                 WireCoordinate(static_cast<long long>(ry) + dy));
    // Sent now, not whenever the next request happens to flush the buffer:
    // the last move of a pass would otherwise wait for the next packet.
    XFlush(display);
    XUnlockDisplay(display);
    return 0;
}

int CTavroLinux::MoveScreenCursorAbsolute(int x, int y) {
    if (display == nullptr) return 0;
    XLockDisplay(display);
    const Window root = RootWindow(display, DefaultScreen(display));
    XWarpPointer(display, None, root, 0, 0, 0, 0, WireCoordinate(x), WireCoordinate(y));
    XFlush(display);
    XUnlockDisplay(display);
    return 0;
}

int CTavroLinux::GetCursorPosition(int* x, int* y) {
    int px = 0, py = 0;
    if (display != nullptr) {
        XLockDisplay(display);
        Window rootReturn = 0, child = 0;
        int wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(display, RootWindow(display, DefaultScreen(display)), &rootReturn, &child,
                      &px, &py, &wx, &wy, &mask);
        XUnlockDisplay(display);
    }
    if (x != nullptr) *x = px;
    if (y != nullptr) *y = py;
    return 0;
}

int CTavroLinux::PreCalculatePODDeviceData() { return 0; }
