// Isolation for tests: a private IPC namespace (so the kit's segment with key
// 1103 is the test's own), a temporary HOME, and waiting on conditions.
#ifndef TAVRO_TEST_ENVIRONMENT_H
#define TAVRO_TEST_ENVIRONMENT_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tavro::test {

// Moves the calling process into a new IPC namespace (as root directly,
// otherwise through a user namespace).  Returns false when neither works;
// tests that need the shared segment then skip instead of touching the
// machine's real one.  Called once by the test binaries' main().
bool EnterPrivateIpcNamespace();
bool InPrivateIpcNamespace();

// Skips the current test unless the process has its own IPC namespace.
#define TAVRO_REQUIRE_PRIVATE_IPC()                                           \
    do {                                                                      \
        if (!::tavro::test::InPrivateIpcNamespace())                          \
            GTEST_SKIP() << "no private IPC namespace: not touching the real segment"; \
    } while (0)

// A fresh temporary directory set as HOME for the object's lifetime.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    const std::string& path() const { return path_; }
    std::string settingsFile() const { return path_ + "/.QuorVel/Tavro.xml"; }

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Removes the segment with the given key, if any (between tests).
void RemoveSegment(int key);

// Polls the condition every few milliseconds until it holds or the time-out
// passes; returns whether it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace tavro::test

#endif
