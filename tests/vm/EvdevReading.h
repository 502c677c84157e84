// Reading the kit's virtual devices back in the virtual machine: each
// device's node once udev has handled it, its key and axis events through
// libevdev, and the wheel steps in libinput debug-events' output.
#ifndef TAVRO_TEST_VM_EVDEV_READING_H
#define TAVRO_TEST_VM_EVDEV_READING_H

#include "TestEnvironment.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tavro::vmtest {

using namespace std::chrono_literals;
using tavro::test::WaitFor;

struct Event {
    int type, code, value;
    bool operator==(const Event& o) const { return type == o.type && code == o.code && value == o.value; }
};
inline std::ostream& operator<<(std::ostream& out, const Event& e) {
    const char* name = libevdev_event_code_get_name(static_cast<unsigned>(e.type), static_cast<unsigned>(e.code));
    return out << (name ? name : "?") << " " << e.value;
}
inline Event Press(int code) { return {EV_KEY, code, 1}; }
inline Event Release(int code) { return {EV_KEY, code, 0}; }
inline std::vector<Event> Tap(int code) { return {Press(code), Release(code)}; }
inline std::vector<Event> operator+(std::vector<Event> a, const std::vector<Event>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bool HaveUinput() { return access("/dev/uinput", W_OK) == 0; }

inline std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// /dev/input/eventN of the device called `name`, once udev has handled it.
inline std::string FindNode(const std::string& name, std::chrono::milliseconds timeout = 30000ms) {
    std::string found;
    WaitFor([&] {
        for (int n = 0; n < 64; ++n) {
            const std::string sys = "/sys/class/input/event" + std::to_string(n);
            if (Slurp(sys + "/device/name") != name) continue;
            const std::string node = "/dev/input/event" + std::to_string(n);
            struct stat status{};
            if (stat(node.c_str(), &status) != 0) return false;
            const std::string record = "/run/udev/data/c" + std::to_string(major(status.st_rdev)) + ":" +
                                       std::to_string(minor(status.st_rdev));
            if (access("/run/udev/control", F_OK) == 0 && access(record.c_str(), F_OK) != 0) return false;
            found = node;
            return true;
        }
        return false;
    }, timeout);
    return found;
}

// A device read back with libevdev: key and axis events, in order.
class Reader {
public:
    explicit Reader(const std::string& node) {
        fd_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0 && libevdev_new_from_fd(fd_, &device_) != 0) device_ = nullptr;
    }
    ~Reader() {
        if (device_) libevdev_free(device_);
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return device_ != nullptr; }
    libevdev* device() const { return device_; }
    // Everything that arrived so far.
    std::vector<Event> Drain() {
        Pump(0ms);
        std::vector<Event> out;
        out.swap(events_);
        return out;
    }
    // Waits until `count` key events arrived (or the time-out); returns them all.
    std::vector<Event> Keys(size_t count, std::chrono::milliseconds timeout = 10000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (KeyCount() < count && std::chrono::steady_clock::now() < end) Pump(20ms);
        std::vector<Event> keys;
        for (const Event& e : Drain())
            if (e.type == EV_KEY) keys.push_back(e);
        return keys;
    }
    // True once the device has gone (the kernel removed it).
    bool gone() const { return gone_; }
    void Pump(std::chrono::milliseconds wait) {
        pollfd ready{fd_, POLLIN, 0};
        if (wait.count() > 0) poll(&ready, 1, static_cast<int>(wait.count()));
        input_event ev;
        int rc;
        unsigned flag = LIBEVDEV_READ_FLAG_NORMAL;
        while ((rc = libevdev_next_event(device_, flag, &ev)) != -EAGAIN || flag == LIBEVDEV_READ_FLAG_SYNC) {
            // After a buffer overrun the kernel dropped events: take the
            // device's state as libevdev resynchronises it, then go on.
            if (rc == -EAGAIN) {
                flag = LIBEVDEV_READ_FLAG_NORMAL;
                continue;
            }
            if (rc < 0) break;
            if (rc == LIBEVDEV_READ_STATUS_SYNC) flag = LIBEVDEV_READ_FLAG_SYNC;
            if (ev.type == EV_KEY || ev.type == EV_ABS || ev.type == EV_REL)
                events_.push_back({ev.type, ev.code, ev.value});
            if (ev.type == EV_ABS) moved = true;
            if (ev.type == EV_REL && ev.code == REL_X) dx += ev.value;
            if (ev.type == EV_REL && ev.code == REL_Y) dy += ev.value;
        }
        if (rc == -ENODEV) gone_ = true;
        if (libevdev_has_event_code(device_, EV_ABS, ABS_X)) {
            x = libevdev_get_event_value(device_, EV_ABS, ABS_X);
            y = libevdev_get_event_value(device_, EV_ABS, ABS_Y);
        }
    }
    int x = -1, y = -1;  // the position the device last reported
    bool moved = false;  // an absolute position came (cleared by the caller)
    int dx = 0, dy = 0;  // relative motion that came (cleared by the caller)

private:
    size_t KeyCount() const {
        size_t n = 0;
        for (const Event& e : events_) n += e.type == EV_KEY;
        return n;
    }
    int fd_ = -1;
    libevdev* device_ = nullptr;
    std::vector<Event> events_;
    bool gone_ = false;
};

// Each POINTER_SCROLL_WHEEL line of libinput debug-events as its wheel
// steps (v120 units): {vertical, horizontal}, down and right positive.
inline std::vector<std::pair<int, int>> WheelSteps(const std::string& out) {
    std::vector<std::pair<int, int>> steps;
    std::istringstream lines(out);
    std::string line;
    auto after = [&](const char* word) {
        const size_t at = line.find(word);
        if (at == std::string::npos) return 0;
        const size_t slash = line.find('/', at);
        return slash == std::string::npos ? 0 : static_cast<int>(std::lround(std::atof(line.c_str() + slash + 1)));
    };
    while (std::getline(lines, line))
        if (line.find("POINTER_SCROLL_WHEEL") != std::string::npos) steps.push_back({after("vert "), after("horiz ")});
    return steps;
}

}  // namespace tavro::vmtest

#endif  // TAVRO_TEST_VM_EVDEV_READING_H
