// Helpers for tests that run the device on a pseudo-terminal: the kit's log
// through its observer hook, a kit object with its own initialised record
// (which the test reads and writes through its own attachment, as a client
// process does), and StartDevice running on a thread of the test.
#ifndef TAVRO_TEST_DEVICE_HARNESS_H
#define TAVRO_TEST_DEVICE_HARNESS_H

#include "DeviceRunTty.h"
#include "Pty.h"
#include "RecordView.h"
#include "TavroLinux.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavro::test {

// Collects the kit's log messages while it exists.
class LogCapture {
public:
    LogCapture() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        CTavroLinux::MessageLogObserver = [](const char* text) {
            std::lock_guard<std::mutex> lock(mutex());
            lines().emplace_back(text);
        };
    }
    ~LogCapture() { CTavroLinux::MessageLogObserver = nullptr; }
    // Messages that contain `text`.
    static int Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex());
        int n = 0;
        for (const auto& line : lines()) n += line.find(text) != std::string::npos;
        return n;
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
};

inline void SetDeviceName(SharedDeviceState& record, const std::string& path) {
    std::memset(record.DeviceName, 0, sizeof record.DeviceName);
    std::strncpy(record.DeviceName, path.c_str(), sizeof record.DeviceName - 1);
}

// Until no calculation pass runs, so the object may go.
inline bool WaitForPasses(CTavroLinux& kit, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor([&] { return kit.Counts.RunningPasses.load() == 0; }, timeout);
}

// A kit object with its own record (the test has its own IPC namespace),
// whose receiver is `path`.
template <typename Kit = CTavroLinux>
struct KitOn {
    explicit KitOn(const std::string& path) {
        initialized = kit.Initialize() == 0 && kit.SharedData != nullptr;
        if (initialized) view = std::make_unique<RecordView>(kit);
        initialized = initialized && view->attached();
        if (initialized) SetDeviceName(record(), path);
    }
    ~KitOn() {
        WaitForPasses(kit);
        kit.CloseDevice();
    }
    // The record as a client process sees it, through the test's own
    // attachment; kit.SharedData is the device's.
    SharedDeviceState& record() { return **view; }
    Kit kit;
    std::unique_ptr<RecordView> view;
    bool initialized = false;
};

// kit.StartDevice() on a thread, until Stop().
class RunningDevice {
public:
    explicit RunningDevice(CTavroLinux& kit) : kit_(kit), record_(kit) {
        result_ = std::async(std::launch::async, [this] { return kit_.StartDevice(); });
        started_ = WaitFor([this] { return kit_.ReaderRunning() || ended(std::chrono::milliseconds(0)); });
    }
    ~RunningDevice() { Stop(); }
    bool started() const { return started_; }
    bool ended(std::chrono::milliseconds timeout) { return result_.wait_for(timeout) == std::future_status::ready; }
    // Raises StopRequest, as another process would; StartDevice's result, or
    // -1 when it did not return.
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
        if (!result_.valid()) return result;
        (record_.attached() ? *record_ : *kit_.SharedData).StopRequest = 1;
        if (!ended(timeout)) {
            ADD_FAILURE() << "StartDevice did not return after the stop";
            return -1;
        }
        result = result_.get();
        WaitForPasses(kit_);
        return result;
    }
    int result = -1;

private:
    CTavroLinux& kit_;
    RecordView record_;
    std::future<int> result_;
    bool started_ = false;
};

}  // namespace tavro::test

#endif
