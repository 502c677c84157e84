// What the app's tests share: the simulated receiver and the real daemon
// as child processes, the window over the record, and main() with the
// test's own IPC namespace, temporary HOME and the offscreen platform.
#ifndef TAVRO_APP_TEST_H
#define TAVRO_APP_TEST_H

#include "CalibrationFit.h"
#include "MainWindow.h"
#include "Process.h"
#include "RecordReader.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QtTest>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace tavro::test {

// tavro-sim with the arguments, and tavrod on its tty, whose pointer and
// keys go nowhere (no display) on a 1920 x 1080 desktop.
class SimulatedDevice {
public:
    explicit SimulatedDevice(const std::vector<std::string>& simulatorArgs) {
        std::vector<std::string> args = simulatorArgs;
        args.insert(args.end(), {"--command-log", std::string(getenv("HOME")) + "/commands.log"});
        simulator = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, args);
        std::string tty;
        if (!simulator->readLine(&tty) || tty.rfind("/dev/", 0) != 0) return;
        // The receiver given for this run only: a settings write of the
        // app's must not save this path as the settings' DeviceName.
        daemon = std::make_unique<ChildProcess>(
            TAVROD_PATH, std::vector<std::string>{"--device", tty, "--output", "x11", "--screen", "1920x1080"});
        running = daemon->waitForOutput("running the receiver", std::chrono::milliseconds(8000));
    }
    std::unique_ptr<ChildProcess> simulator;
    std::unique_ptr<ChildProcess> daemon;
    bool running = false;
};

// A motion script file in HOME.
inline std::string Script(const std::string& name, const std::string& text) {
    const std::string path = std::string(getenv("HOME")) + "/" + name;
    WriteFile(path, text);
    return path;
}

// A motion script of handset 0 that holds the camera's centre for `leadIn`
// seconds, then aims at each of the `count` targets (default calibration
// screen, `margin` percent) through the calibration (mx, bx, my, by) and
// presses the centre key there, one target a second.
inline std::string CalibrationAimsScript(int count, double margin, double mx, double bx, double my, double by,
                                         double leadIn) {
    std::string script = "rate 60\nat 0 0 x=176 y=144 keys=none\n";
    script += "at " + std::to_string(leadIn - 0.5) + " 0 x=176 y=144 keys=none\n";
    double t = leadIn;
    for (const calibration::Target& target : calibration::GridTargets(count, 1280, 768, margin)) {
        const std::string aim =
            " 0 x=" + std::to_string((target.x - bx) / mx) + " y=" + std::to_string((target.y - by) / my);
        script += "at " + std::to_string(t) + aim + " keys=none\n";
        script += "at " + std::to_string(t + 0.3) + aim + " keys=center\n";
        script += "at " + std::to_string(t + 0.45) + aim + " keys=none\n";
        t += 1.0;
    }
    return script + "end 600\n";
}

// The window as the app makes it, at the size of the screenshots.
struct AppWindow {
    AppWindow() : window(&reader) {
        window.resize(1280, 800);
        window.show();
        reader.start(16);
    }
    control::RecordReader reader;
    control::MainWindow window;
};

}  // namespace tavro::test

// main() of an app test: isolated like every test of the kit.
#define TAVRO_APP_TEST_MAIN(TestClass)                                                 \
    int main(int argc, char** argv) {                                                  \
        if (!tavro::test::EnterPrivateIpcNamespace()) {                                \
            std::fprintf(stderr, "no private IPC namespace: not touching the real segment\n"); \
            return 77;                                                                 \
        }                                                                              \
        unsetenv("DISPLAY");                                                           \
        unsetenv("WAYLAND_DISPLAY");                                                   \
        unsetenv("XDG_SESSION_TYPE");                                                  \
        unsetenv("XDG_CONFIG_HOME");                                                   \
        setenv("QT_QPA_PLATFORM", "offscreen", 1);                                     \
        tavro::test::TempHome home;                                                    \
        QApplication app(argc, argv);                                                  \
        TestClass test;                                                                \
        return QTest::qExec(&test, argc, argv);                                        \
    }

#endif
