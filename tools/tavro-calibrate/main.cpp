// tavro-calibrate: fits the kit's calibration (Mx, Bx, My, By) to targets
// the user aims at with the handset, and stores it.
#include "AimCollector.h"
#include "CalibrationFit.h"
#include "Commands.h"
#include "Kit.h"
#include "KitCalibration.h"
#include "TargetWindow.h"
#include "tavrodev.h"

#include <time.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

using namespace tavro::calibration;
using tavro::cli::Fail;
using tavro::cli::kExitFailure;
using tavro::cli::kExitNoAnswer;
using tavro::cli::kExitOk;
using tavro::cli::kExitUsage;

const char kHelp[] =
    "Usage: tavro-calibrate [--no-window] [--targets 4|5|9] [--margin PERCENT]\n"
    "                       [--user N] [--timeout S] [--average MS]\n"
    "                       [--max-error PIXELS] [--dry-run]\n"
    "       tavro-calibrate --help | --version\n"
    "\n"
    "Calibrates the pointer: shows targets one after the other in a window that\n"
    "covers the screen; aim the handset at each and press its centre key.  The\n"
    "aims (raw camera points, averaged over the moment before the press) are\n"
    "fitted to the targets by least squares, giving Mx, Bx, My and By of the\n"
    "settings; the result and the residual error (in pixels of the calibration\n"
    "screen, XcalScreen x YcalScreen) are shown, and the calibration is stored\n"
    "through the kit's setters, which also save it in the settings file.\n"
    "Escape cancels; BackSpace goes back one target.  The window shows whether\n"
    "the handset is seen and, with --timeout, the seconds left.  The result\n"
    "shows each target with a red dot where the new calibration puts the aim\n"
    "taken at it: the closer the dots sit to the targets' centres, the better.\n"
    "Standard output gives each target in calibration-screen pixels and, with\n"
    "the window, in pixels of this display.  The device daemon tavrod must be\n"
    "running.\n"
    "\n"
    "  --no-window        no window: the targets are announced on standard output\n"
    "                     (for scripts, and for a handset driven by a simulator)\n"
    "  --targets N        4 (corners), 5 (corners and centre) or 9 (3 x 3 grid, the\n"
    "                     default)\n"
    "  --margin PERCENT   distance of the outer targets from the screen's edges, in\n"
    "                     percent of its size (default 10, at most 45); targets sit\n"
    "                     on whole calibration-screen pixels\n"
    "  --user N           only handset N's centre key counts (default: the handset\n"
    "                     that presses first is the one calibrated)\n"
    "  --timeout S        give up when a target gets no press within S seconds\n"
    "                     (exit status 3; default: wait until cancelled)\n"
    "  --average MS       aims averaged: those of the last MS milliseconds before the\n"
    "                     press (default 150)\n"
    "  --max-error PIXELS refuse to store a fit whose RMS residual is larger\n"
    "                     (default 40)\n"
    "  --dry-run          show the fit, store nothing\n"
    "  --help             this text\n"
    "  --version          the kit's version\n"
    "\n"
    "The aims are taken as the kit uses them: turned by the handset's roll when\n"
    "RotationCompensation is on, and spread by the distance factor when\n"
    "DistanceScaling is on, so the fit holds for the running settings.\n"
    "\n"
    "Exit status: 0 stored (or shown, with --dry-run), 1 failure or cancelled,\n"
    "2 wrong option, 3 no tracking data or no press in time.\n";

struct Options {
    bool window = true;
    long targets = 9;
    double margin = 10.0;
    long user = -1;
    long timeout = 0;
    long average = 150;
    double maxError = kDefaultMaxError;
    bool dryRun = false;
};

int ParseOptions(int argc, char** argv, Options* options) {
    tavro::cli::Args args(argv + 1, argv + argc);
    tavro::cli::CommandLine line;
    if (!line.Parse(args, {"targets", "margin", "user", "timeout", "average", "max-error"},
                    {"no-window", "dry-run", "help", "version"}))
        return kExitUsage;
    if (line.Has("help")) {
        std::fputs(kHelp, stdout);
        std::exit(kExitOk);
    }
    if (line.Has("version")) {
        std::printf("tavro-calibrate %s\n", TAVRO_VERSION);
        std::exit(kExitOk);
    }
    if (!line.Positional().empty())
        return Fail(kExitUsage, "unexpected argument \"%s\" (see --help)", line.Positional()[0].c_str());
    options->window = !line.Has("no-window");
    options->dryRun = line.Has("dry-run");
    if (line.Has("targets")) {
        const std::string& text = line.Option("targets");
        if (!tavro::cli::ParseInt(text, &options->targets) ||
            (options->targets != 4 && options->targets != 5 && options->targets != 9))
            return Fail(kExitUsage, "--targets takes 4, 5 or 9, not \"%s\"", text.c_str());
    }
    if (line.Has("margin") &&
        (!tavro::cli::ParseDouble(line.Option("margin"), &options->margin) ||
         options->margin < 0 || options->margin > 45))
        return Fail(kExitUsage, "--margin takes a percentage from 0 to 45, not \"%s\"",
                    line.Option("margin").c_str());
    if (line.Has("user") && !line.IntOption("user", 0, TAVRO_HANDSETS - 1, &options->user))
        return kExitUsage;
    if (line.Has("timeout") && !line.IntOption("timeout", 1, 86400, &options->timeout))
        return kExitUsage;
    if (line.Has("average") && !line.IntOption("average", 1, 5000, &options->average))
        return kExitUsage;
    if (line.Has("max-error") &&
        (!tavro::cli::ParseDouble(line.Option("max-error"), &options->maxError) ||
         options->maxError <= 0))
        return Fail(kExitUsage, "--max-error takes a number of pixels > 0, not \"%s\"",
                    line.Option("max-error").c_str());
    return kExitOk;
}

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Text(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Pause() {
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// Collects one aim per target.  Returns an exit status; kExitOk with every
// target aimed at.
int CollectAims(const Options& options, const std::vector<Target>& targets,
                AimCollector* collector, TargetWindow* window, std::vector<AimedPoint>* points) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    bool notedNoData = false;
    std::string note;
    size_t shown = targets.size();  // the target on screen, to redraw on change
    Clock::time_point targetStart = start;
    std::string liveShown;  // the seen mark and countdown on screen
    const bool countdownOnTerminal = options.timeout > 0 && isatty(STDERR_FILENO) == 1;
    while (points->size() < targets.size()) {
        const size_t index = points->size();
        const Target& target = targets[index];
        if (shown != index) {
            if (shown == targets.size() || shown != index) targetStart = Clock::now();
            shown = index;
            std::string where = Text("target %zu/%zu at (%.0f, %.0f) calibration-screen pixels", index + 1,
                                     targets.size(), target.x, target.y);
            if (window != nullptr)
                where += Text(", (%d, %d) on this display", window->DisplayX(target.x),
                              window->DisplayY(target.y));
            Say(where + ": aim at it and press the centre key");
            liveShown.clear();
        }
        // A live line: is the handset seen, and the time left.
        std::string live = collector->SeenRecently() ? "Handset seen." : "Handset not seen: point it at the screen.";
        if (options.timeout > 0) {
            long left = options.timeout -
                        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - targetStart).count());
            live += Text("  %ld s left.", std::max(0L, left));
        }
        if (live != liveShown) {
            liveShown = live;
            if (window != nullptr)
                window->ShowTargets(targets, index,
                                    {Text("Target %zu of %zu: aim at the cross and press the centre key.",
                                          index + 1, targets.size()),
                                     live, "Escape cancels, BackSpace goes back.", note});
            if (countdownOnTerminal) {
                std::fprintf(stderr, "\r%s\033[K", live.c_str());
                std::fflush(stderr);
            }
        }
        if (tavro::cli::g_interrupted) return Fail(kExitFailure, "interrupted; the calibration was not changed");

        if (window != nullptr) {
            TargetWindow::Input input = window->Poll();
            if (input == TargetWindow::Input::Cancel)
                return Fail(kExitFailure, "cancelled; the calibration was not changed");
            if (input == TargetWindow::Input::Back && !points->empty()) {
                points->pop_back();
                Say("back one target");
                continue;
            }
        }

        Aim aim;
        std::string message;
        AimCollector::Event event = collector->Poll(&aim, &message);
        if (event == AimCollector::Event::Aimed) {
            points->push_back({aim.x, aim.y, target});
            if (countdownOnTerminal) std::fputs("\r\033[K", stderr);
            Say(Text("  aim (%.3f, %.3f) camera pixels, handset %d, %d samples", aim.rawX, aim.rawY,
                     aim.handset, aim.samples));
            note.clear();
            continue;
        }
        if (event == AimCollector::Event::Refused) {
            Say("  " + message);
            note = message;
            shown = targets.size();  // redraw with the note
        }

        const Clock::time_point now = Clock::now();
        if (!notedNoData && !collector->SeenData() && now - start > std::chrono::seconds(3)) {
            notedNoData = true;
            note = "No tracking data from the receiver yet: is the device daemon tavrod running?";
            Say(note);
            shown = targets.size();
        }
        if (options.timeout > 0 && now - targetStart > std::chrono::seconds(options.timeout)) {
            if (!collector->SeenData())
                return Fail(kExitNoAnswer,
                            "no tracking data from the receiver within %ld s "
                            "(is the device daemon tavrod running and the handset on?)",
                            options.timeout);
            return Fail(kExitNoAnswer, "no centre-key press at target %zu within %ld s", index + 1,
                        options.timeout);
        }
        Pause();
    }
    return kExitOk;
}

// Shows the result in the window until a key or a fresh press of the centre
// key (at most 30 s).  Clicks do not count: the last target's centre press
// arrives as one.
void WaitForDismissal(TargetWindow* window, AimCollector* collector) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!tavro::cli::g_interrupted && std::chrono::steady_clock::now() < deadline) {
        TargetWindow::Input input = window->Poll();
        if (input != TargetWindow::Input::Idle && input != TargetWindow::Input::Click) return;
        Aim aim;
        std::string message;
        if (collector->Poll(&aim, &message) != AimCollector::Event::None) return;
        Pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    tavro::cli::SetProgramName("tavro-calibrate");
    Options options;
    if (int status = ParseOptions(argc, argv, &options); status != kExitOk) return status;
    tavro::cli::CatchInterrupts();

    SharedDeviceState* record = tavro::cli::AttachKit();
    if (record == nullptr) return kExitFailure;
    int calCols = 0, calRows = 0;
    std::vector<Target> targets =
        KitTargets(static_cast<int>(options.targets), options.margin, &calCols, &calRows);
    if (targets.empty())
        return Fail(kExitFailure, "the calibration screen size %d x %d is not usable", calCols, calRows);

    AimOptions aimOptions;
    aimOptions.onlyHandset = static_cast<int>(options.user);
    aimOptions.averaging = std::chrono::milliseconds(options.average);
    if (std::string error; !AimOptionsOfKit(record, &aimOptions, &error))
        return Fail(kExitFailure, "%s", error.c_str());
    AimCollector collector(record, aimOptions);

    std::unique_ptr<TargetWindow> window;
    if (options.window) {
        window = std::make_unique<TargetWindow>();
        std::string error;
        if (!window->Open(calCols, calRows, &error)) return Fail(kExitFailure, "%s", error.c_str());
    }

    Say(Text("calibrating on a %d x %d calibration screen with %zu targets", calCols, calRows,
             targets.size()));
    const Calibration previous = CalibrationInUse();
    Say(Text("current calibration: Mx = %f  Bx = %f  My = %f  By = %f", previous.mx, previous.bx,
             previous.my, previous.by));
    std::vector<AimedPoint> points;
    if (int status = CollectAims(options, targets, &collector, window.get(), &points);
        status != kExitOk)
        return status;

    FitResult fit;
    std::string error;
    if (!FitCalibration(points, &fit, &error))
        return Fail(kExitFailure, "no calibration: %s; nothing was changed", error.c_str());
    const Calibration& c = fit.calibration;
    std::vector<std::string> report = {
        Text("calibration from %zu targets (handset %d):", points.size(), collector.Handset()),
        Text("  Mx = %f  Bx = %f", c.mx, c.bx),
        Text("  My = %f  By = %f", c.my, c.by),
        Text("residual error: rms %.2f, max %.2f calibration-screen pixels", fit.rmsError,
             fit.maxError),
    };
    for (const std::string& line : report) Say(line);
    const std::vector<Target> fitted = FittedTargets(points, c);
    for (size_t i = 0; i < points.size(); ++i)
        Say(Text("  target %zu (%.0f, %.0f): off by %.2f", i + 1, targets[i].x, targets[i].y,
                 fit.residuals[i]));

    int status = kExitOk;
    std::string outcome;
    if (fit.rmsError > options.maxError) {
        outcome = Text("not stored: the residual error %.2f is above %.2f pixels; aim more carefully",
                       fit.rmsError, options.maxError);
        status = Fail(kExitFailure, "%s", outcome.c_str());
    } else if (options.dryRun) {
        outcome = "not stored (--dry-run)";
        Say(outcome);
    } else {
        // A calibration that cannot be saved stays in use for this session.
        std::string file;
        if (!StoreCalibration(record, c, previous, true, &file, &error)) {
            outcome = "in use, but " + error;
            status = Fail(kExitFailure, "%s", outcome.c_str());
        } else {
            outcome = "stored in " + file;
            Say(outcome);
        }
    }

    if (window != nullptr) {
        report.push_back(outcome);
        report.push_back("Red dots: where the new calibration puts the aim taken at each target.");
        report.push_back("Press a key or the centre key to close.");
        window->ShowResult(targets, fitted, report);
        WaitForDismissal(window.get(), &collector);
    }
    return status;
}
