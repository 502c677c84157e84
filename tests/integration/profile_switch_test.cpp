// Switching the key bindings' profile of a running daemon: from the command
// line, and on X11 by the active window's class, as a window manager
// announces it on the root window.
#include "DaemonStatus.h"
#include "Process.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"
#include "XServer.h"

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

class ProfileSwitch : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        TAVRO_REQUIRE_X(xvfb);
        WriteFile(home.path() + "/.config/tavro/bindings.conf",
                  "start = plain\n[plain]\n[slides]\napplications = impress\n[web]\napplications = Firefox\n");
    }
    void StartDaemon() {
        simulator = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, std::vector<std::string>{"--rate", "50"});
        std::string slave;
        ASSERT_TRUE(simulator->readLine(&slave));
        daemon = std::make_unique<ChildProcess>(TAVROD_PATH, std::vector<std::string>{"--device", slave, "--output", "x11"});
        ASSERT_TRUE(daemon->waitForOutput("running the receiver")) << daemon->output();
        std::string error;
        status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
        ASSERT_NE(status, nullptr) << error;
    }
    // A window of the test's own connection, with its WM_CLASS words.
    Window MakeWindow(const char* name, const char* className) {
        Window w = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 100, 100, 0, 0, 0);
        XClassHint hint{const_cast<char*>(name), const_cast<char*>(className)};
        XSetClassHint(x, w, &hint);
        return w;
    }
    // Announces `w` as the active window, as a window manager does.
    void Activate(Window w) {
        XChangeProperty(x, DefaultRootWindow(x), XInternAtom(x, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(&w), 1);
        XFlush(x);
    }
    void TearDown() override {
        if (x != nullptr) XCloseDisplay(x);
    }
    testing::AssertionResult ProfileBecomes(const std::string& name) {
        if (WaitFor([&] { return std::string(status->ActiveProfile) == name; }, 5000ms))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "the profile is " << status->ActiveProfile << ", not " << name
                                           << "; the daemon said:\n" << daemon->output();
    }
    static int Tavro(const std::vector<std::string>& args, std::string* output = nullptr) {
        ChildProcess tavro(TAVRO_PATH, args);
        const int result = tavro.wait(5000ms);
        if (output != nullptr) *output = tavro.output();
        return result;
    }

    XvfbServer xvfb;
    TempHome home;
    std::unique_ptr<ChildProcess> simulator, daemon;
    tavro::DaemonStatus* status = nullptr;
    Display* x = nullptr;
};

TEST_F(ProfileSwitch, FromTheCommandLineAndShownInStatus) {
    StartDaemon();
    ASSERT_TRUE(ProfileBecomes("plain"));
    EXPECT_EQ(Tavro({"profile", "web"}), 0);
    EXPECT_TRUE(ProfileBecomes("web"));
    EXPECT_EQ(Tavro({"profile", "next"}), 0);
    EXPECT_TRUE(ProfileBecomes("builtin"));
    std::string output;
    EXPECT_EQ(Tavro({"profile", "talks"}, &output), 2);
    EXPECT_NE(output.find("there is no profile \"talks\""), std::string::npos) << output;
    Tavro({"status"}, &output);
    EXPECT_NE(output.find("keys: profile builtin"), std::string::npos) << output;
}

// Switched back and forth while the pointer moves: the daemon's output
// talks to the same display from its own thread all the while.
TEST_F(ProfileSwitch, FollowsTheActiveWindowsClassAndComesBack) {
    x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    const Window impress = MakeWindow("soffice", "impress"), browser = MakeWindow("Navigator", "Firefox");
    StartDaemon();
    ASSERT_TRUE(ProfileBecomes("plain"));
    for (int round = 0; round < 5; ++round) {
        Activate(impress);
        ASSERT_TRUE(ProfileBecomes("slides")) << "round " << round;
        Activate(browser);
        ASSERT_TRUE(ProfileBecomes("web")) << "round " << round;
    }
    XDestroyWindow(x, impress);
    Activate(impress);  // gone: no class, and the daemon goes on
    EXPECT_TRUE(ProfileBecomes("plain"));
    EXPECT_TRUE(daemon->running());
}

TEST_F(ProfileSwitch, TheWindowActiveAtStartChoosesItsProfile) {
    x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    Activate(MakeWindow("soffice", "impress"));
    StartDaemon();
    EXPECT_TRUE(ProfileBecomes("slides"));
}

TEST(BindCommand, EditsTheLinkedFileInPlaceAndKeepsTheLink) {
    TempHome home;
    const std::string target = home.path() + "/dotfiles/bindings.conf";
    WriteFile(target, "# mine\n[p]   # talks\nright = key Page_Down   # next\n");
    mkdir((home.path() + "/.config").c_str(), 0755);
    mkdir((home.path() + "/.config/tavro").c_str(), 0755);
    const std::string link = home.path() + "/.config/tavro/bindings.conf";
    ASSERT_EQ(symlink("../../dotfiles/bindings.conf", link.c_str()), 0);
    ChildProcess bind(TAVRO_PATH, {"bind", "right", "key", "Next", "--profile", "p"});
    EXPECT_EQ(bind.wait(5000ms), 0) << bind.output();
    ChildProcess refused(TAVRO_PATH, {"bind", "left", "key", "Plux", "--profile", "p"});
    EXPECT_EQ(refused.wait(5000ms), 2);
    struct stat info {};
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link is kept";
    EXPECT_EQ(ReadFile(target), "# mine\n[p]   # talks\nright = key Next   # next\n");
}

}  // namespace
