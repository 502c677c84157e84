// Pointer, buttons and keys through the kernel's virtual input devices
// (uinput), which every desktop reads: Wayland compositors and X.Org through
// libinput, and the text console.
#ifndef TAVRO_UINPUT_OUTPUT_H
#define TAVRO_UINPUT_OUTPUT_H

#include "KeyboardMap.h"
#include "Output.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct libevdev;
struct libevdev_uinput;

namespace tavro {

// The names the virtual devices carry (libinput list-devices shows them).
extern const char* const kUinputPointerName;
extern const char* const kUinputRelativePointerName;
extern const char* const kUinputKeyboardName;
// The relative pointer's identity as compositors name it in their input
// settings, "<vendor>:<product>:<name, spaces as _>" (sway's identifier).
extern const char* const kUinputRelativePointerIdentifier;

// The key symbols a keymap cannot type, each logged once, within fixed
// bounds whatever a client sends: the latest kRemembered symbols are kept
// (an older one may be logged again), and at most one line goes out per
// kInterval; that line also counts the symbols refused since the previous
// one without a line of their own.
class UntypeableKeys {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kRemembered = 64;
    static constexpr std::chrono::seconds kInterval{10};

    // The line to log for a symbol the keymap `layout` just could not type,
    // or empty when none is due.
    std::string Note(unsigned long keysym, const std::string& layout, Clock::time_point now);
    size_t Remembered() const { return recent_.size(); }

private:
    std::vector<unsigned long> recent_;  // a ring of the latest symbols
    size_t next_ = 0;
    bool logged_ = false;
    Clock::time_point lastLine_{};
    unsigned long unnamed_ = 0;
};

class UinputOutput : public Output {
public:
    // Three devices: a pointer with absolute ABS_X and ABS_Y over
    // width x height, a relative pointer with REL_X, REL_Y and the wheels
    // (REL_WHEEL, REL_HWHEEL and their high-resolution twins), both with
    // the buttons left, middle and right, and a keyboard with every key of
    // the user's keymap.  withPointer false makes the keyboard only.  Null with *error set to a one-line message naming
    // the device, the system's error text and the fix when /dev/uinput
    // cannot be used.
    //
    // A keyboard-only output is a client program's own, made for its key
    // calls when no daemon serves it; the program may exit, and its device
    // go, right after a key.  So each key there returns only once the
    // desktop has read it: it waits for a program to open the device and
    // keep it open (at most kOpenWait from its creation), then at most
    // kReadWait for the key's events to be read.  A key nobody read returns false, is released
    // again, and is logged (one line per run of such keys).  The daemon's
    // output (with the pointer) sends without waiting.
    static std::unique_ptr<UinputOutput> Create(int width, int height, bool withPointer,
                                                std::string* error,
                                                const char* path = "/dev/uinput");
    static constexpr std::chrono::milliseconds kOpenWait{3000};
    static constexpr std::chrono::milliseconds kReadWait{1000};
    ~UinputOutput() override;  // releases what is held, then removes the devices

    const char* Name() const override { return "uinput"; }
    bool ScreenSize(int* width, int* height) override;
    // Absolute positions (clamped to the screen) go out on the absolute
    // pointer, relative moves as REL_X and REL_Y on the relative one, so
    // that the desktop moves its pointer on from wherever it is, also after
    // the user's own mouse moved it.  One REL unit is one pixel where the
    // desktop gives the relative pointer libinput's flat profile at speed 0
    // (the README's "Wayland desktops" section names the setting).
    void MoveAbsolute(int x, int y) override;
    void MoveRelative(int dx, int dy) override;
    // False: a Wayland desktop does not tell where its pointer is.
    bool CursorPosition(int* x, int* y) override;
    // On the device of the latest motion (the absolute pointer before any),
    // so that a click lands where that device's pointer is also where a
    // compositor gives each device a pointer of its own (seats); a release
    // goes to the device that got the press.
    void Button(PointerButton button, bool down) override;
    // On the relative pointer, which scrolls like a mouse wheel: one frame
    // of REL_WHEEL (-1 per detent down) and REL_WHEEL_HI_RES (-120), and of
    // REL_HWHEEL (+1 per detent right) and REL_HWHEEL_HI_RES (+120), per
    // detent.  False for a keyboard-only output.
    bool Scroll(int dx, int dy) override;
    // Presses the needed modifiers, then the key; a release lets go of the
    // key, then of the modifiers.  A symbol the keymap cannot type sends
    // nothing and is logged once (UntypeableKeys).
    bool Key(unsigned long keysym, bool down) override;
    void Pause(int microseconds) override;
    void Flush() override {}
    void ReleaseAll() override;

    // The device nodes (/dev/input/eventN), empty when unknown.
    std::string PointerNode() const;
    std::string RelativePointerNode() const;
    std::string KeyboardNode() const;

private:
    UinputOutput() = default;
    // A device that was just created loses what it is sent until the
    // desktop has opened it: before the first button or key of a device,
    // waits (once, at most until the deadline) for an open of its node
    // after udev has handled it.  A device whose reads are confirmed keeps
    // watching its node: who holds it open, and each read of it.
    struct Device {
        libevdev_uinput* uinput = nullptr;
        int fd = -1;
        int watch = -1;      // inotify on the node, until opened (always when reads are confirmed)
        int udevWatch = -1;  // its watch on udev's records, until udev is done
        std::string node;
        std::chrono::steady_clock::time_point openDeadline;
        bool udevDone = false;   // udev has handled the device (or does not run)
        std::string udevRecord;  // udev's record of it: "c<major>:<minor>"
        bool opened = false;     // opened after udev was done (and kept open)
        int holders = 0;         // opens less closes of the node seen
        unsigned long reads = 0;  // reads of the node seen
    };
    bool Open(Device* device, const char* path, std::string* error, struct libevdev* model);
    // Takes what the node's watch reports, waiting at most `wait` for the
    // first report; false when none came.
    bool Watch(Device* device, std::chrono::milliseconds wait);
    void WaitUntilOpened(Device* device);
    // After a key's events went out: true once a reader has read them.
    bool ReadBack(Device* device, unsigned long readsBefore);
    void Write(Device* device, int type, int code, int value);
    void PressCode(int code);
    void ReleaseCode(int code);

    std::mutex lock_;
    Device pointer_, relative_, keyboard_;
    Device* lastMotion_ = &pointer_;  // where buttons go
    bool hasPointer_ = false;
    bool confirmReads_ = false;  // keyboard only: keys wait until read
    bool unreadLogged_ = false;  // the current run of unread keys is logged
    int width_ = 0, height_ = 0;
    std::shared_ptr<const KeyboardMap> keymap_;
    std::map<int, int> heldKeys_;     // kernel key code -> presses outstanding
    std::map<int, Device*> heldButtons_;  // BTN_ codes held, and on which device
    UntypeableKeys untypeable_;
};

}  // namespace tavro

#endif  // TAVRO_UINPUT_OUTPUT_H
