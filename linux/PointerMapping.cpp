// From calibration-screen positions to the desktop's pointer: scaling to the
// desktop's size, clamping at its edges with the border flags, the three
// pointing modes, and the pointer primitives, which go to the kit's output
// (linux/output/: the X display, or the kernel's virtual pointer).
#include "TavroLinux.h"

#include "OutputSelection.h"
#include "RecordAccess.h"

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

}  // namespace

int CTavroLinux::CalculatePODCoordinates(double* x, double* y) {
    const SharedDeviceState* r = SharedData;
    if (r == nullptr || x == nullptr || y == nullptr) return 0;
    int width = 0, height = 0;
    tavro::DesktopSize(*this, &width, &height);
    // A calibration screen of no size maps one to one instead of to infinity.
    // Read once: another process may change the record between a test and
    // a division.
    const int xcal = tavro::LoadField(r->XcalScreen);
    const int ycal = tavro::LoadField(r->YcalScreen);
    const double sx = xcal > 0 ? static_cast<double>(width) / xcal : 1.0;
    const double sy = ycal > 0 ? static_cast<double>(height) / ycal : 1.0;
    *x = sx * *x;
    *y = sy * *y;
    return 0;
}

int CTavroLinux::CalculateScreenBorders(double* x, double* y, int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || x == nullptr || y == nullptr || !ValidUser(user)) return 0;
    int width = 0, height = 0;
    tavro::DesktopSize(*this, &width, &height);

    tavro::StoreField(r->BorderLeft[user], 0);
    if (*x < 0) {
        *x = 0;
        tavro::StoreField(r->BorderLeft[user], 1);
    }
    tavro::StoreField(r->BorderTop[user], 0);
    if (*y < 0) {
        *y = 0;
        tavro::StoreField(r->BorderTop[user], 1);
    }
    // Right and bottom compare the truncated position: x is held at the width
    // (one past the last column), y at the last row.
    tavro::StoreField(r->BorderRight[user], 0);
    if (SaturatingInt(*x) > width) {
        *x = width;
        tavro::StoreField(r->BorderRight[user], 1);
    }
    tavro::StoreField(r->BorderBottom[user], 0);
    if (SaturatingInt(*y) > height) {
        *y = height - 1;
        tavro::StoreField(r->BorderBottom[user], 1);
    }
    return 0;
}

int CTavroLinux::MoveScreenCursor(double x, double y, double unclampedX, double unclampedY,
                                  int user) {
    SharedDeviceState* r = SharedData;
    if (r == nullptr || !ValidUser(user)) return 0;
    const bool drives =
        user == tavro::LoadField(r->CurrentUser) && tavro::LoadField(r->ActivateCursor) != 0 &&
        tavro::LoadField(r->MoveEnabled) != 0;

    if (tavro::LoadField(r->DirectPoint) != 0) {
        tavro::StoreField(r->X[user], unclampedX);
        tavro::StoreField(r->Y[user], unclampedY);
        if (drives && !std::isnan(unclampedX) && !std::isnan(unclampedY))
            MoveScreenCursorAbsolute(SaturatingInt(unclampedX), SaturatingInt(unclampedY));
        return 0;
    }

    if (tavro::LoadField(r->SmartPoint) != 0) {
        // Only changes of the clamped position move the pointer.
        const double dx = x - tavro::LoadField(r->X[user]);
        const double dy = y - tavro::LoadField(r->Y[user]);
        if (drives && !std::isnan(dx) && !std::isnan(dy))
            MoveScreenCursorRelative(SaturatingInt(dx), SaturatingInt(dy));
    } else if (drives && !std::isnan(unclampedX) && !std::isnan(unclampedY)) {
        // Game mode: from wherever the pointer is now to the aimed point.
        // Where the desktop does not tell where its pointer is (uinput), the
        // pointer goes straight to the aimed point: a relative move from a
        // guessed position would land wherever the guess was wrong.
        int px = 0, py = 0;
        std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(*this);
        if (output && output->CursorPosition(&px, &py))
            MoveScreenCursorRelative(SaturatingInt(unclampedX - px), SaturatingInt(unclampedY - py));
        else if (output)
            MoveScreenCursorAbsolute(SaturatingInt(unclampedX), SaturatingInt(unclampedY));
    }
    tavro::StoreField(r->X[user], x);
    tavro::StoreField(r->Y[user], y);
    return 0;
}

int CTavroLinux::MoveScreenCursorRelative(int dx, int dy) {
    if (std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(*this)) output->MoveRelative(dx, dy);
    return 0;
}

int CTavroLinux::MoveScreenCursorAbsolute(int x, int y) {
    if (std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(*this)) output->MoveAbsolute(x, y);
    return 0;
}

int CTavroLinux::GetCursorPosition(int* x, int* y) {
    int px = 0, py = 0;
    std::shared_ptr<tavro::Output> output = tavro::CurrentOutput(*this);
    if (!output || !output->CursorPosition(&px, &py)) px = py = 0;
    if (x != nullptr) *x = px;
    if (y != nullptr) *y = py;
    return 0;
}

int CTavroLinux::PreCalculatePODDeviceData() { return 0; }
