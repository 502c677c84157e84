// Isolation for tests: a private IPC namespace (so the kit's segment with key
// 1103 is the test's own), a temporary HOME, and waiting on conditions.
#ifndef TAVRO_TEST_ENVIRONMENT_H
#define TAVRO_TEST_ENVIRONMENT_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tavro::test {

// The number of threads of this process and its resident memory in KiB
// (/proc/self/status), -1 if unknown.
int ThreadCount();
long ResidentKiB();

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

// How many times slower the kit's programs run in an instrumented build
// (ThreadSanitizer slows code 5 to 15 times): fixed lead-ins and pauses
// that a program's start-up must fit into are multiplied by it.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 3;
#else
constexpr int kSanitizerSlowdown = 1;
#endif

// Threads an instrumented build adds to a process once it has started one
// (ThreadSanitizer's own background thread), for tests that count threads.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerThreads = 1;
#else
constexpr int kSanitizerThreads = 0;
#endif

// Polls the condition every few milliseconds until it holds or the time-out
// passes; returns whether it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace tavro::test

#endif
