// main() of every test binary: each test process gets its own IPC namespace
// (so the kit's segment is the test's own) and a temporary HOME.
#include "TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!tavro::test::EnterPrivateIpcNamespace())
        std::fprintf(stderr, "warning: no private IPC namespace; shared-memory tests will skip\n");
    // Nothing in a test reaches the desktop unless it starts its own X server.
    unsetenv("DISPLAY");
    // Nor the Wayland session's virtual devices (the kit types through
    // uinput there).
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    // The user's own configuration and key bindings stay theirs: every
    // test's are under its temporary home.
    unsetenv("XDG_CONFIG_HOME");
    tavro::test::TempHome home;
    return RUN_ALL_TESTS();
}
