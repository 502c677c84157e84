// The uinput output: a virtual pointer with absolute axes, one with relative
// axes and the wheels, both with the three buttons, and a virtual keyboard, created with libevdev's uinput helpers;
// key symbols become key codes through the user's keymap (KeyboardMap).
#include "UinputOutput.h"

#include "TavroLinux.h"
#include "X11Output.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavro {

const char* const kUinputPointerName = "Tavro pointer";
const char* const kUinputRelativePointerName = "Tavro relative pointer";
const char* const kUinputKeyboardName = "Tavro keyboard";
const char* const kUinputRelativePointerIdentifier = "4617:31235:Tavro_relative_pointer";

namespace {

// The kit's own identity on the virtual bus (pid.codes test range).
constexpr int kVendor = 0x1209;
constexpr int kPointerProduct = 0x7a01;
constexpr int kKeyboardProduct = 0x7a02;
constexpr int kRelativePointerProduct = 0x7a03;  // 4617:31235 in decimal

// One wheel detent in the high-resolution axes' units.
constexpr int kHighResolutionDetent = 120;

// How long the first button or key of the daemon's new devices may wait
// for the desktop to open them.
constexpr auto kDaemonOpenWait = std::chrono::milliseconds(1000);

// A reader takes a key's events in one go or in quick reads one after the
// other: a read of a key counts once no further read came for this long.
constexpr auto kReadsSettle = std::chrono::milliseconds(10);

// A program that opened a device and still holds it after this long keeps
// it (udev and other probes close it again within milliseconds).
constexpr auto kHoldSettle = std::chrono::milliseconds(30);

// How long released keys and buttons stay readable before a device may go.
constexpr int kReleaseGraceMicroseconds = 20000;

// Positions are kept within what every desktop and X11 can carry.
constexpr int kMaxScreen = 32767;

std::string UinputError(const char* path, int error) {
    std::string text = std::string("cannot open ") + path + " for writing: " + std::strerror(error);
    if (error == EACCES || error == EPERM)
        return text + " (fix: enable the kit's udev rule 70-tavro-uinput.rules as the README's "
                      "\"Wayland desktops\" section says, then log in again)";
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return text + " (fix: load the kernel's uinput module: sudo modprobe uinput)";
    return text;
}

int ButtonCode(PointerButton button) {
    switch (button) {
        case PointerButton::Left: return BTN_LEFT;
        case PointerButton::Middle: return BTN_MIDDLE;
        case PointerButton::Right: return BTN_RIGHT;
    }
    return BTN_LEFT;
}

// udev keeps what it learnt of a device in /run/udev/data/c<major>:<minor>
// once it has handled it; a desktop opens the device only after that.
std::string UdevRecordName(const std::string& node) {
    struct stat status{};
    if (node.empty() || stat(node.c_str(), &status) != 0) return "";
    return "c" + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
}

bool UdevRunning() { return access("/run/udev/control", F_OK) == 0; }

}  // namespace

std::string UntypeableKeys::Note(unsigned long keysym, const std::string& layout, Clock::time_point now) {
    if (std::find(recent_.begin(), recent_.end(), keysym) != recent_.end()) return "";
    if (recent_.size() < kRemembered) {
        recent_.push_back(keysym);
    } else {
        recent_[next_] = keysym;
        next_ = (next_ + 1) % kRemembered;
    }
    if (logged_ && now - lastLine_ < kInterval) {
        ++unnamed_;
        return "";
    }
    char line[256];
    std::snprintf(line, sizeof line, "The keyboard map (%s) cannot type the key symbol 0x%lx: not sent",
                  layout.c_str(), keysym);
    std::string text = line;
    if (unnamed_ > 0)
        text += "; nor " + std::to_string(unnamed_) + " other symbol" + (unnamed_ == 1 ? "" : "s") +
                " since the last such line";
    unnamed_ = 0;
    logged_ = true;
    lastLine_ = now;
    return text;
}

std::unique_ptr<UinputOutput> UinputOutput::Create(int width, int height, bool withPointer,
                                                   std::string* error, const char* path) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    auto output = std::unique_ptr<UinputOutput>(new UinputOutput);
    output->width_ = std::clamp(width, 1, kMaxScreen);
    output->height_ = std::clamp(height, 1, kMaxScreen);
    output->hasPointer_ = withPointer;
    output->confirmReads_ = !withPointer;

    std::string keymapError;
    output->keymap_ = KeyboardMap::Load(&keymapError);
    if (!output->keymap_) {
        *error = "cannot make the virtual keyboard: " + keymapError;
        return nullptr;
    }

    if (withPointer) {
        libevdev* device = libevdev_new();
        libevdev_set_name(device, kUinputPointerName);
        libevdev_set_id_bustype(device, BUS_VIRTUAL);
        libevdev_set_id_vendor(device, kVendor);
        libevdev_set_id_product(device, kPointerProduct);
        libevdev_set_id_version(device, 1);
        libevdev_enable_property(device, INPUT_PROP_POINTER);
        libevdev_enable_event_type(device, EV_ABS);
        // One axis unit per pixel: libinput maps [0, size - 1] onto the
        // desktop's width or height exactly.
        input_absinfo x{0, 0, output->width_ - 1, 0, 0, 0};
        input_absinfo y{0, 0, output->height_ - 1, 0, 0, 0};
        libevdev_enable_event_code(device, EV_ABS, ABS_X, &x);
        libevdev_enable_event_code(device, EV_ABS, ABS_Y, &y);
        libevdev_enable_event_type(device, EV_KEY);
        for (int code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
            libevdev_enable_event_code(device, EV_KEY, code, nullptr);
        bool made = output->Open(&output->pointer_, path, error, device);
        libevdev_free(device);
        if (!made) return nullptr;

        // A mouse as udev and libinput know one: relative axes with mouse
        // buttons (without buttons udev does not take it for a pointer).
        device = libevdev_new();
        libevdev_set_name(device, kUinputRelativePointerName);
        libevdev_set_id_bustype(device, BUS_VIRTUAL);
        libevdev_set_id_vendor(device, kVendor);
        libevdev_set_id_product(device, kRelativePointerProduct);
        libevdev_set_id_version(device, 1);
        libevdev_enable_property(device, INPUT_PROP_POINTER);
        libevdev_enable_event_type(device, EV_REL);
        for (int code : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
            libevdev_enable_event_code(device, EV_REL, code, nullptr);
        libevdev_enable_event_type(device, EV_KEY);
        for (int code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE})
            libevdev_enable_event_code(device, EV_KEY, code, nullptr);
        made = output->Open(&output->relative_, path, error, device);
        libevdev_free(device);
        if (!made) return nullptr;
    }

    libevdev* device = libevdev_new();
    libevdev_set_name(device, kUinputKeyboardName);
    libevdev_set_id_bustype(device, BUS_VIRTUAL);
    libevdev_set_id_vendor(device, kVendor);
    libevdev_set_id_product(device, kKeyboardProduct);
    libevdev_set_id_version(device, 1);
    libevdev_enable_event_type(device, EV_KEY);
    // The whole main block, so that udev and libinput take it for a
    // keyboard, and whatever else the keymap types.
    for (int code = KEY_ESC; code <= KEY_MICMUTE; ++code)
        libevdev_enable_event_code(device, EV_KEY, code, nullptr);
    for (int code : output->keymap_->Codes())
        if (code > 0 && code < KEY_MAX && !(code >= BTN_MISC && code < KEY_OK))
            libevdev_enable_event_code(device, EV_KEY, code, nullptr);
    const bool made = output->Open(&output->keyboard_, path, error, device);
    libevdev_free(device);
    if (!made) return nullptr;
    return output;
}

bool UinputOutput::Open(Device* device, const char* path, std::string* error, libevdev* model) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = UinputError(path, errno);
        return false;
    }
    const int result = libevdev_uinput_create_from_device(model, fd, &device->uinput);
    if (result != 0) {
        close(fd);
        *error = std::string("cannot create the virtual device \"") + libevdev_get_name(model) +
                 "\" on " + path + ": " + std::strerror(-result);
        return false;
    }
    device->fd = fd;
    const char* node = libevdev_uinput_get_devnode(device->uinput);
    device->node = node != nullptr ? node : "";
    device->openDeadline = std::chrono::steady_clock::now() + (confirmReads_ ? kOpenWait : kDaemonOpenWait);
    // One inotify queue for the node's opens and udev's record of it, so
    // that their order shows whether an open came after udev was done (udev
    // opens the device itself while it looks at it).  A device whose reads
    // are confirmed watches its closes and reads as well.
    const uint32_t mask = confirmReads_ ? IN_OPEN | IN_CLOSE | IN_ACCESS : IN_OPEN;
    device->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (device->watch >= 0 &&
        (device->node.empty() || inotify_add_watch(device->watch, device->node.c_str(), mask) < 0)) {
        close(device->watch);
        device->watch = -1;
    }
    device->udevDone = !UdevRunning();
    if (device->watch >= 0 && !device->udevDone) {
        device->udevRecord = UdevRecordName(device->node);
        device->udevWatch = inotify_add_watch(device->watch, "/run/udev/data", IN_MOVED_TO | IN_CREATE);
        if (device->udevWatch < 0) device->udevDone = true;
        if (access(("/run/udev/data/" + device->udevRecord).c_str(), F_OK) == 0) device->udevDone = true;
    }
    return true;
}

UinputOutput::~UinputOutput() {
    ReleaseAll();
    for (Device* device : {&pointer_, &relative_, &keyboard_}) {
        if (device->uinput != nullptr) libevdev_uinput_destroy(device->uinput);
        if (device->fd >= 0) close(device->fd);
        if (device->watch >= 0) close(device->watch);
    }
}

bool UinputOutput::Watch(Device* device, std::chrono::milliseconds wait) {
    pollfd ready{device->watch, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(std::max<long long>(wait.count(), 0))) <= 0) return false;
    alignas(inotify_event) char buffer[4096];
    ssize_t length;
    while ((length = read(device->watch, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW) {
                ++device->reads;  // reports were lost: taken as a read
            } else if (event->wd == device->udevWatch) {
                if (event->len > 0 && device->udevRecord == event->name) device->udevDone = true;
            } else if (event->mask & IN_OPEN) {
                ++device->holders;
                if (device->udevDone && !confirmReads_) device->opened = true;
            } else if (event->mask & IN_CLOSE) {
                // An open before the watch began is not counted.
                device->holders = std::max(device->holders - 1, 0);
                if (device->holders == 0 && confirmReads_) device->opened = false;
            } else if (event->mask & IN_ACCESS) {
                ++device->reads;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (device->udevDone && device->udevWatch >= 0) {
        inotify_rm_watch(device->watch, device->udevWatch);
        device->udevWatch = -1;
    }
    return true;
}

void UinputOutput::WaitUntilOpened(Device* device) {
    // A device whose reads are confirmed waits for a program that keeps it
    // open (opened then counts that one): a program that opens it only to
    // look at it closes it again at once.
    const auto held = [&] { return device->udevDone && device->holders > 0; };
    while (device->watch >= 0 && !device->opened) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            device->openDeadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (confirmReads_ && held()) {
            if (!Watch(device, std::min(left, kHoldSettle))) device->opened = held();
        } else if (!Watch(device, left)) {
            break;
        }
    }
    if (device->watch >= 0 && !confirmReads_) {
        close(device->watch);
        device->watch = -1;
    }
}

bool UinputOutput::ReadBack(Device* device, unsigned long readsBefore) {
    if (device->watch < 0) return true;  // cannot tell: taken as read
    const auto end = std::chrono::steady_clock::now() + kReadWait;
    Watch(device, std::chrono::milliseconds(0));
    // Nobody holds the node: what was sent is gone already.
    while (device->holders > 0 && device->reads == readsBefore) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        Watch(device, left);
    }
    if (device->reads == readsBefore) return false;
    // The read may have come while the events were still being written:
    // the rest follows at once.
    while (std::chrono::steady_clock::now() < end && Watch(device, kReadsSettle)) {
    }
    return true;
}

void UinputOutput::Write(Device* device, int type, int code, int value) {
    if (device->uinput != nullptr) libevdev_uinput_write_event(device->uinput, type, code, value);
}

bool UinputOutput::ScreenSize(int* width, int* height) {
    *width = width_;
    *height = height_;
    return true;
}

void UinputOutput::MoveAbsolute(int x, int y) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!hasPointer_) return;
    Write(&pointer_, EV_ABS, ABS_X, std::clamp(x, 0, width_ - 1));
    Write(&pointer_, EV_ABS, ABS_Y, std::clamp(y, 0, height_ - 1));
    Write(&pointer_, EV_SYN, SYN_REPORT, 0);
    lastMotion_ = &pointer_;
}

void UinputOutput::MoveRelative(int dx, int dy) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!hasPointer_ || (dx == 0 && dy == 0)) return;
    // No move is wider than the screen: the desktop stops at its edge.
    if (dx != 0) Write(&relative_, EV_REL, REL_X, std::clamp(dx, -kMaxScreen, kMaxScreen));
    if (dy != 0) Write(&relative_, EV_REL, REL_Y, std::clamp(dy, -kMaxScreen, kMaxScreen));
    Write(&relative_, EV_SYN, SYN_REPORT, 0);
    lastMotion_ = &relative_;
}

bool UinputOutput::CursorPosition(int*, int*) { return false; }

void UinputOutput::Button(PointerButton button, bool down) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!hasPointer_) return;
    const int code = ButtonCode(button);
    Device* device = lastMotion_;
    if (down) {
        // Held down on the other pointer: let go there, so that no button
        // stays down on a device nothing releases it on.
        auto held = heldButtons_.find(code);
        if (held != heldButtons_.end() && held->second != device) {
            Write(held->second, EV_KEY, code, 0);
            Write(held->second, EV_SYN, SYN_REPORT, 0);
        }
        heldButtons_[code] = device;
    } else if (auto held = heldButtons_.find(code); held != heldButtons_.end()) {
        device = held->second;
        heldButtons_.erase(held);
    }
    WaitUntilOpened(device);
    Write(device, EV_KEY, code, down ? 1 : 0);
    Write(device, EV_SYN, SYN_REPORT, 0);
}

bool UinputOutput::Scroll(int dx, int dy) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!hasPointer_) return false;
    const auto detents = [](int count) {
        return static_cast<int>(std::min(std::llabs(count), static_cast<long long>(kMaxScrollDetents)));
    };
    int down = detents(dy), right = detents(dx);
    if (down == 0 && right == 0) return true;
    WaitUntilOpened(&relative_);
    // The kernel's wheel counts up for scrolling up, the horizontal wheel
    // right for scrolling right.
    const int wheel = dy > 0 ? -1 : 1, hwheel = dx > 0 ? 1 : -1;
    while (down > 0 || right > 0) {
        if (down-- > 0) {
            Write(&relative_, EV_REL, REL_WHEEL, wheel);
            Write(&relative_, EV_REL, REL_WHEEL_HI_RES, wheel * kHighResolutionDetent);
        }
        if (right-- > 0) {
            Write(&relative_, EV_REL, REL_HWHEEL, hwheel);
            Write(&relative_, EV_REL, REL_HWHEEL_HI_RES, hwheel * kHighResolutionDetent);
        }
        Write(&relative_, EV_SYN, SYN_REPORT, 0);
    }
    return true;
}

void UinputOutput::PressCode(int code) {
    if (heldKeys_[code]++ > 0) return;
    Write(&keyboard_, EV_KEY, code, 1);
    Write(&keyboard_, EV_SYN, SYN_REPORT, 0);
}

void UinputOutput::ReleaseCode(int code) {
    auto it = heldKeys_.find(code);
    if (it != heldKeys_.end() && --it->second > 0) return;
    if (it != heldKeys_.end()) heldKeys_.erase(it);
    Write(&keyboard_, EV_KEY, code, 0);
    Write(&keyboard_, EV_SYN, SYN_REPORT, 0);
}

bool UinputOutput::Key(unsigned long keysym, bool down) {
    std::lock_guard<std::mutex> hold(lock_);
    KeyStroke stroke;
    if (!keymap_->Find(keysym, &stroke)) {
        const std::string line = untypeable_.Note(keysym, keymap_->Layout(), UntypeableKeys::Clock::now());
        if (!line.empty()) CTavroLinux::LogMessage("%s", line.c_str());
        return false;
    }
    const bool held = heldKeys_.count(stroke.code) != 0;
    auto release = [&] {
        ReleaseCode(stroke.code);
        if (held || down)
            for (auto m = stroke.modifiers.rbegin(); m != stroke.modifiers.rend(); ++m) ReleaseCode(*m);
    };
    for (;;) {
        WaitUntilOpened(&keyboard_);
        unsigned long readsBefore = 0;
        if (confirmReads_ && keyboard_.watch >= 0) {
            Watch(&keyboard_, std::chrono::milliseconds(0));
            readsBefore = keyboard_.reads;
        }
        if (down) {
            for (int modifier : stroke.modifiers) PressCode(modifier);
            PressCode(stroke.code);
        } else {
            // A release of a key that is not held still goes out (the kernel
            // drops it), but leaves the modifiers alone: they may be another
            // key's.
            release();
        }
        if (!confirmReads_ || ReadBack(&keyboard_, readsBefore)) {
            unreadLogged_ = false;
            return true;
        }
        // Not read: nothing stays held, should a reader come later.  A press
        // that went while only a passing program had the device open is
        // sent again once one keeps it (a repeated release would be
        // dropped by the kernel: its key is up already).
        if (down) release();
        if (!down || keyboard_.holders > 0 || std::chrono::steady_clock::now() >= keyboard_.openDeadline) break;
    }
    // Not read: nothing stays held, should a reader come later.
    if (down) release();
    if (!unreadLogged_) {
        unreadLogged_ = true;
        const auto seconds = [](std::chrono::milliseconds wait) { return std::to_string(wait.count() / 1000); };
        const std::string why =
            keyboard_.holders == 0
                ? "nothing held its virtual keyboard " + keyboard_.node + " open " + seconds(kOpenWait) +
                      " s after its creation"
                : "its virtual keyboard " + keyboard_.node + " is open but was not read within " +
                      seconds(kReadWait) + " s";
        CTavroLinux::LogMessage("Key 0x%lx not typed: %s (fix: run tavrod --output uinput, whose keyboard the "
                                "desktop keeps open); later keys lost in a row are not logged",
                                keysym, why.c_str());
    }
    return false;
}

void UinputOutput::Pause(int microseconds) { SleepMicroseconds(microseconds); }

void UinputOutput::ReleaseAll() {
    std::lock_guard<std::mutex> hold(lock_);
    const bool released = !heldKeys_.empty() || !heldButtons_.empty();
    unsigned long readsBefore = 0;
    if (released && confirmReads_ && keyboard_.watch >= 0) {
        Watch(&keyboard_, std::chrono::milliseconds(0));
        readsBefore = keyboard_.reads;
    }
    if (!heldKeys_.empty()) {
        for (const auto& [code, count] : heldKeys_) Write(&keyboard_, EV_KEY, code, 0);
        Write(&keyboard_, EV_SYN, SYN_REPORT, 0);
        heldKeys_.clear();
    }
    if (!heldButtons_.empty()) {
        for (Device* device : {&pointer_, &relative_}) {
            bool any = false;
            for (const auto& [code, holder] : heldButtons_)
                if (holder == device) {
                    Write(device, EV_KEY, code, 0);
                    any = true;
                }
            if (any) Write(device, EV_SYN, SYN_REPORT, 0);
        }
        heldButtons_.clear();
    }
    // The desktop reads them before the devices may go (a device that is
    // gone cannot be read any more, even what it had sent).
    if (released && confirmReads_ && keyboard_.watch >= 0) {
        ReadBack(&keyboard_, readsBefore);
    } else if (released) {
        SleepMicroseconds(kReleaseGraceMicroseconds);
    }
}

std::string UinputOutput::PointerNode() const { return pointer_.node; }
std::string UinputOutput::RelativePointerNode() const { return relative_.node; }
std::string UinputOutput::KeyboardNode() const { return keyboard_.node; }

}  // namespace tavro
