// The calibration window: covers the screen, shows the target to aim at, the
// targets done, and at the end the fit and its residuals.
#ifndef TAVRO_CALIBRATE_TARGET_WINDOW_H
#define TAVRO_CALIBRATE_TARGET_WINDOW_H

#include "CalibrationFit.h"

#include <string>
#include <vector>

struct _XDisplay;
struct _XGC;

namespace tavro::calibration {

class TargetWindow {
public:
    TargetWindow() = default;
    ~TargetWindow();
    TargetWindow(const TargetWindow&) = delete;
    TargetWindow& operator=(const TargetWindow&) = delete;

    // Opens the display and maps a window over the whole screen.  Targets
    // are given in pixels of a calCols x calRows calibration screen and drawn
    // where the kit maps them on this display.  False with a reason when
    // there is no display.
    bool Open(int calCols, int calRows, std::string* error);

    // The target to aim at (index into targets), the ones already aimed at
    // before it, and lines of text to show.
    void ShowTargets(const std::vector<Target>& targets, size_t current,
                     const std::vector<std::string>& text);
    // Every target with the point the fitted calibration gives for its aim.
    void ShowResult(const std::vector<Target>& targets, const std::vector<Target>& fitted,
                    const std::vector<std::string>& text);

    enum class Input { Idle, Cancel, Back, Key, Click };
    // Handles pending window events (redraws after exposure); reports the
    // user's keys and clicks: Escape cancels, BackSpace goes back.  (The
    // daemon turns a centre-key press into a click, so clicks mean little.)
    Input Poll();

private:
    void Redraw();
    void DrawTarget(const Target& target, int radius, bool current);
    void DrawText(const std::vector<std::string>& text);
    int TextTop(size_t lines) const;

public:
    // A calibration-screen point on this display, in its pixels.
    int DisplayX(double x) const;
    int DisplayY(double y) const;

private:

    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
    _XGC* gc_ = nullptr;
    void* font_ = nullptr;  // XFontStruct, when the larger font could be loaded
    int width_ = 0, height_ = 0;
    int calCols_ = 1, calRows_ = 1;
    unsigned long black_ = 0, white_ = 0, dim_ = 0, green_ = 0, red_ = 0;

    // What is shown, kept for redraws.
    std::vector<Target> targets_, fitted_;
    size_t current_ = 0;
    bool result_ = false;
    std::vector<std::string> text_;
};

}  // namespace tavro::calibration

#endif
