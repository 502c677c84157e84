#include "TargetWindow.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tavro::calibration {

namespace {

unsigned long Colour(Display* display, const char* name, unsigned long fallback) {
    XColor exact{}, screen{};
    Colormap map = DefaultColormap(display, DefaultScreen(display));
    if (XAllocNamedColor(display, map, name, &screen, &exact) == 0) return fallback;
    return screen.pixel;
}

}  // namespace

TargetWindow::~TargetWindow() {
    if (display_ == nullptr) return;
    XUngrabKeyboard(display_, CurrentTime);
    if (font_ != nullptr) XFreeFont(display_, static_cast<XFontStruct*>(font_));
    if (gc_ != nullptr) XFreeGC(display_, gc_);
    if (window_ != 0) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
}

bool TargetWindow::Open(int calCols, int calRows, std::string* error) {
    const char* name = std::getenv("DISPLAY");
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) {
        *error = std::string("cannot open the X display \"") + (name != nullptr ? name : "") +
                 "\" (run it on the desktop, or use --no-window)";
        return false;
    }
    calCols_ = calCols > 0 ? calCols : 1;
    calRows_ = calRows > 0 ? calRows : 1;
    int screen = DefaultScreen(display_);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    black_ = BlackPixel(display_, screen);
    white_ = WhitePixel(display_, screen);
    dim_ = Colour(display_, "gray50", white_);
    green_ = Colour(display_, "green3", white_);
    red_ = Colour(display_, "red", white_);

    // The kit maps the calibration screen onto the whole display, so the
    // window must cover it exactly, on top of everything and unmanaged.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = black_;
    attributes.event_mask = ExposureMask | KeyPressMask | ButtonPressMask | StructureNotifyMask;
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0,
                            static_cast<unsigned>(width_), static_cast<unsigned>(height_), 0,
                            CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    XStoreName(display_, window_, "Tavro calibration");
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    if (XFontStruct* font = XLoadQueryFont(display_, "10x20")) {
        XSetFont(display_, gc_, font->fid);
        font_ = font;
    }
    XMapRaised(display_, window_);
    XSync(display_, False);
    XGrabKeyboard(display_, window_, True, GrabModeAsync, GrabModeAsync, CurrentTime);
    XFlush(display_);
    return true;
}

int TargetWindow::DisplayX(double x) const {
    return static_cast<int>(std::lround(x * width_ / calCols_));
}
int TargetWindow::DisplayY(double y) const {
    return static_cast<int>(std::lround(y * height_ / calRows_));
}

void TargetWindow::DrawTarget(const Target& target, int radius, bool current) {
    int x = DisplayX(target.x), y = DisplayY(target.y);
    XSetForeground(display_, gc_, current ? white_ : dim_);
    XSetLineAttributes(display_, gc_, current ? 2 : 1, LineSolid, CapButt, JoinMiter);
    XDrawArc(display_, window_, gc_, x - radius, y - radius, static_cast<unsigned>(2 * radius),
             static_cast<unsigned>(2 * radius), 0, 360 * 64);
    XDrawLine(display_, window_, gc_, x - 2 * radius, y, x + 2 * radius, y);
    XDrawLine(display_, window_, gc_, x, y - 2 * radius, x, y + 2 * radius);
}

// The text goes into the widest horizontal band free of targets, so that no
// cross or dot is drawn over it.
int TargetWindow::TextTop(size_t lines) const {
    const int reach = 40;  // a target's cross and ring, with room around
    std::vector<std::pair<int, int>> taken;
    for (const Target& target : targets_) taken.push_back({DisplayY(target.y) - reach, DisplayY(target.y) + reach});
    for (const Target& target : fitted_) taken.push_back({DisplayY(target.y) - 10, DisplayY(target.y) + 10});
    std::sort(taken.begin(), taken.end());
    int bestTop = 0, bestSize = -1, free = 0;
    for (const auto& band : taken) {
        if (band.first - free > bestSize) {
            bestSize = band.first - free;
            bestTop = free;
        }
        free = std::max(free, band.second);
    }
    if (height_ - free > bestSize) {
        bestSize = height_ - free;
        bestTop = free;
    }
    int block = static_cast<int>(lines) * 24;
    return bestTop + std::max(0, (bestSize - block) / 2) + 18;
}

void TargetWindow::DrawText(const std::vector<std::string>& text) {
    XSetForeground(display_, gc_, white_);
    int y = TextTop(text.size());
    for (const std::string& line : text) {
        int x = width_ / 2 - static_cast<int>(line.size()) * 5;
        XDrawString(display_, window_, gc_, x, y, line.c_str(), static_cast<int>(line.size()));
        y += 24;
    }
}

void TargetWindow::Redraw() {
    if (display_ == nullptr) return;
    XClearWindow(display_, window_);
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (result_) {
            DrawTarget(targets_[i], 12, false);
            if (i < fitted_.size()) {
                // Where the new calibration puts the aim taken at this target.
                int x = DisplayX(fitted_[i].x), y = DisplayY(fitted_[i].y);
                XSetForeground(display_, gc_, red_);
                XFillArc(display_, window_, gc_, x - 4, y - 4, 8, 8, 0, 360 * 64);
            }
        } else if (i < current_) {
            XSetForeground(display_, gc_, green_);
            XFillArc(display_, window_, gc_, DisplayX(targets_[i].x) - 5,
                     DisplayY(targets_[i].y) - 5, 10, 10, 0, 360 * 64);
        } else if (i == current_) {
            DrawTarget(targets_[i], 16, true);
        }
    }
    DrawText(text_);
    XFlush(display_);
}

void TargetWindow::ShowTargets(const std::vector<Target>& targets, size_t current,
                               const std::vector<std::string>& text) {
    targets_ = targets;
    fitted_.clear();
    current_ = current;
    result_ = false;
    text_ = text;
    Redraw();
}

void TargetWindow::ShowResult(const std::vector<Target>& targets, const std::vector<Target>& fitted,
                              const std::vector<std::string>& text) {
    targets_ = targets;
    fitted_ = fitted;
    result_ = true;
    text_ = text;
    Redraw();
}

TargetWindow::Input TargetWindow::Poll() {
    Input input = Input::Idle;
    while (display_ != nullptr && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0) Redraw();
                break;
            case MapNotify:
                XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
                XGrabKeyboard(display_, window_, True, GrabModeAsync, GrabModeAsync, CurrentTime);
                break;
            case KeyPress: {
                KeySym key = XLookupKeysym(&event.xkey, 0);
                if (key == XK_Escape) input = Input::Cancel;
                else if (key == XK_BackSpace) input = Input::Back;
                else if (input == Input::Idle) input = Input::Key;
                break;
            }
            case ButtonPress:
                if (input == Input::Idle) input = Input::Click;
                break;
            default:
                break;
        }
    }
    return input;
}

}  // namespace tavro::calibration
