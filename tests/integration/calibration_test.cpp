// tavro-calibrate against the simulated receiver through the daemon: the
// simulator's script aims the handset at each target (raw points made from a
// known calibration) and presses the centre key; the tool must fit that
// calibration, show its window over the whole screen, store the result, and
// refuse aims that cannot give one.
#include "Process.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

#if defined(TAVRO_CALIBRATE_PATH) && defined(TAVRO_SIM_PATH) && defined(TAVROD_PATH)

struct Calibration {
    double mx, bx, my, by;
};

// The tool's targets on the default 1280 x 768 calibration screen, 10 % in
// from the edges, in the order it shows them.
const std::vector<std::pair<double, double>> kNineTargets = {
    {128, 77}, {640, 77}, {1152, 77}, {128, 384}, {640, 384}, {1152, 384},
    {128, 691}, {640, 691}, {1152, 691}};
const std::vector<std::pair<double, double>> kFiveTargets = {
    {128, 77}, {1152, 77}, {1152, 691}, {128, 691}, {640, 384}};

// Aims at each raw point in turn (steady for a moment), pressing the centre
// key once per point, after a lead-in that lets the daemon and the tool start
// (the script's clock runs from the simulator's start).
std::string AimScript(const std::vector<std::pair<double, double>>& aims, int extraPresses = 0) {
    std::ostringstream script;
    script << "rate 60\nat 0 0 x=176 y=144 keys=none\n";
    double t = 2.0 * kSanitizerSlowdown;
    auto press = [&](double x, double y) {
        script << "at " << t << " 0 x=" << x << " y=" << y << " keys=none\n"
               << "at " << t + 0.3 << " 0 x=" << x << " y=" << y << " keys=center\n"
               << "at " << t + 0.45 << " 0 x=" << x << " y=" << y << " keys=none\n";
        t += 0.6;
    };
    for (const auto& aim : aims) press(aim.first, aim.second);
    for (int i = 0; i < extraPresses; ++i) press(176, 144);
    script << "end 600\n";
    return script.str();
}

std::vector<std::pair<double, double>> RawAims(const Calibration& c,
                                               const std::vector<std::pair<double, double>>& targets) {
    std::vector<std::pair<double, double>> aims;
    for (const auto& t : targets) aims.push_back({(t.first - c.bx) / c.mx, (t.second - c.by) / c.my});
    return aims;
}

class Calibrate : public ::testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }
    void TearDown() override {
        daemon_.reset();
        simulator_.reset();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }

    // The simulated receiver playing the script, and the daemon owning it.
    bool StartDevice(const std::string& script) {
        std::string path = home_.path() + "/aims.script";
        WriteFile(path, script);
        simulator_ = std::make_unique<ChildProcess>(
            TAVRO_SIM_PATH, std::vector<std::string>{"--script", path, "--command-log",
                                                     home_.path() + "/commands.log"});
        std::string slave;
        if (!simulator_->readLine(&slave) || slave.rfind("/dev/", 0) != 0) return false;
        daemon_ = std::make_unique<ChildProcess>(TAVROD_PATH, std::vector<std::string>{"--device", slave});
        return daemon_->waitForOutput("running the receiver");
    }

    // The value of a key in the settings file, or NaN.
    double Saved(const std::string& key) {
        std::string text = ReadFile(home_.settingsFile());
        size_t at = text.find("<" + key + ">");
        return at == std::string::npos ? std::nan("") : std::stod(text.substr(at + key.size() + 2));
    }

    TempHome home_;
    std::unique_ptr<ChildProcess> simulator_;
    std::unique_ptr<ChildProcess> daemon_;
};

// The fit the tool printed ("Mx = ...  Bx = ...", "My = ...  By = ...").
bool PrintedFit(const std::string& output, Calibration* c, double* rms) {
    bool x = false, y = false, error = false;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        x = x || std::sscanf(line.c_str(), " Mx = %lf Bx = %lf", &c->mx, &c->bx) == 2;
        y = y || std::sscanf(line.c_str(), " My = %lf By = %lf", &c->my, &c->by) == 2;
        error = error || std::sscanf(line.c_str(), "residual error: rms %lf", rms) == 1;
    }
    return x && y && error;
}

TEST_F(Calibrate, FitsScriptedAimsAndStoresTheCalibration) {
    const Calibration truth{4.0, -100.0, 3.0, -50.0};
    ASSERT_TRUE(StartDevice(AimScript(RawAims(truth, kNineTargets))));
    std::string output;
    int status = RunProgram(TAVRO_CALIBRATE_PATH, {"--no-window", "--timeout", "20"}, &output, 40000ms);
    ASSERT_EQ(status, 0) << output;
    // The space of the coordinates is named (no window: no display pixels).
    EXPECT_NE(output.find("target 9/9 at (1152, 691) calibration-screen pixels: aim at it"), std::string::npos)
        << output;

    Calibration fit{};
    double rms = -1;
    ASSERT_TRUE(PrintedFit(output, &fit, &rms)) << output;
    // Spots sit on hundredths of a camera pixel, so the aims are that exact.
    EXPECT_NEAR(fit.mx, truth.mx, 0.01);
    EXPECT_NEAR(fit.bx, truth.bx, 1.5);
    EXPECT_NEAR(fit.my, truth.my, 0.01);
    EXPECT_NEAR(fit.by, truth.by, 1.5);
    EXPECT_GE(rms, 0.0);
    EXPECT_LT(rms, 0.5);

    // Stored through the setters: the settings file holds the printed fit.
    EXPECT_NEAR(Saved("Mx"), fit.mx, 1e-6);
    EXPECT_NEAR(Saved("Bx"), fit.bx, 1e-6);
    EXPECT_NEAR(Saved("My"), fit.my, 1e-6);
    EXPECT_NEAR(Saved("By"), fit.by, 1e-6);
}

// The Xlib name of a window, or "".
std::string WindowName(Display* display, Window window) {
    char* name = nullptr;
    std::string result;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
        result = name;
        XFree(name);
    }
    return result;
}

TEST_F(Calibrate, ShowsItsTargetsInAWindowOverTheWholeScreen) {
    XvfbServer server(1920, 1080);
    TAVRO_REQUIRE_X(server);
    const Calibration truth{4.5, -200.0, 3.5, -100.0};
    // Five targets, then one more press to close the result.
    ASSERT_TRUE(StartDevice(AimScript(RawAims(truth, kFiveTargets), 1)));
    ChildProcess tool(TAVRO_CALIBRATE_PATH, {"--targets", "5", "--timeout", "20"});

    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    // The tool's window, once mapped.
    Window found = 0;
    XWindowAttributes attributes{};
    ASSERT_TRUE(WaitFor(
        [&] {
            Window root = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0)
                return false;
            for (unsigned i = 0; i < count; ++i)
                if (WindowName(display, children[i]) == "Tavro calibration") found = children[i];
            if (children != nullptr) XFree(children);
            return found != 0 && XGetWindowAttributes(display, found, &attributes) != 0 &&
                   attributes.map_state == IsViewable;
        },
        5000ms))
        << tool.output();
    EXPECT_EQ(attributes.x, 0);
    EXPECT_EQ(attributes.y, 0);
    EXPECT_EQ(attributes.width, 1920);
    EXPECT_EQ(attributes.height, 1080);
    XCloseDisplay(display);

    ASSERT_EQ(tool.wait(30000ms), 0) << tool.output();
    EXPECT_NE(tool.output().find("stored in"), std::string::npos) << tool.output();
    EXPECT_NEAR(Saved("Mx"), truth.mx, 0.01);
    EXPECT_NEAR(Saved("By"), truth.by, 1.5);
}

TEST_F(Calibrate, RefusesAimsThatCannotGiveACalibration) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> aims;
        const char* says;
    } cases[] = {
        // The handset stays put while the targets move.
        {"no movement", {{176, 144}, {176, 144}, {176, 144}, {176, 144}}, "hardly differ in x"},
        // One aim far from where the others put its target.
        {"one wild aim", {{57, 42}, {313, 42}, {313, 247}, {120, 60}}, "not stored: the residual error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
        ASSERT_TRUE(StartDevice(AimScript(c.aims)));
        std::string output;
        int status = RunProgram(TAVRO_CALIBRATE_PATH,
                                {"--no-window", "--targets", "4", "--timeout", "20"}, &output, 40000ms);
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        // The default calibration is still the one in force and in the file.
        EXPECT_EQ(Saved("Mx"), 5.0);
        EXPECT_EQ(Saved("By"), -340.0);
        daemon_.reset();
        simulator_.reset();
    }
}

TEST_F(Calibrate, GivesUpWhenNoTrackingDataComes) {
    std::string output;
    int status = RunProgram(TAVRO_CALIBRATE_PATH, {"--no-window", "--timeout", "1"}, &output);
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find("no tracking data from the receiver within 1 s"), std::string::npos) << output;
}

TEST_F(Calibrate, NeedsADisplayUnlessToldNotToUseOne) {
    std::string output;
    int status = RunProgram(TAVRO_CALIBRATE_PATH, {"--timeout", "1"}, &output);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("cannot open the X display"), std::string::npos) << output;
    EXPECT_NE(output.find("--no-window"), std::string::npos) << output;
}

#else
TEST(Calibrate, NeedsTheToolTheSimulatorAndTheDaemon) {
    GTEST_SKIP() << "tavro-calibrate, tavro-sim or tavrod is not built";
}
#endif

}  // namespace
