// The key bindings of a device-running process: the bindings file as last
// read without error, the active profile, the gestures in progress, and what
// follows the file (inotify), profile requests from other programs and the
// gestures' time-outs: Serve, called by a thread of its own or, in a program
// with a loop of its own (the daemon), by that loop when Descriptor() is
// readable.
#ifndef TAVRO_KEY_BINDINGS_H
#define TAVRO_KEY_BINDINGS_H

#include "BindingActions.h"
#include "GestureEngine.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CTavroLinux;

namespace tavro {

class KeyBindings {
public:
    // Reads `path` (a missing file is the built-in profile alone) and starts
    // following it, on a thread of its own unless `servedByOwner`.
    KeyBindings(CTavroLinux& kit, std::string path, bool servedByOwner = false);
    // Ends the thread, then what is held.
    ~KeyBindings();
    KeyBindings(const KeyBindings&) = delete;
    KeyBindings& operator=(const KeyBindings&) = delete;

    // One packet of `handset` with its button word (active-low); returns the
    // keys whose built-in handlers must not act on it.
    unsigned Packet(int handset, unsigned buttonWord, int activeHandset);

    // Switches to the profile `name` ("next": the following one, "builtin":
    // the kit's own).  False with *error when there is no such profile.
    bool Switch(const std::string& name, std::string* error);
    std::string ActiveProfile() const;
    std::shared_ptr<const Bindings> Current() const;
    const std::string& path() const { return path_; }
    // The desktop's active window has these WM_CLASS words: the first
    // profile made for one of them is chosen; when none is, the profile
    // chosen before the first such switch comes back.
    void ApplicationChanged(const std::vector<std::string>& classes);
    // Rereads the file now (the thread does so when it changes).  False,
    // keeping the running bindings, when it has an error.
    bool Reload();
    // Ends every binding in progress (the device stopped); the keys act
    // again once released.
    void ReleaseHeld();

    // Readable when Serve has something to do; Serve never blocks.
    int Descriptor() const { return epoll_; }
    void Serve();

private:
    void Perform(const std::vector<GestureEffect>& effects);  // with mutex_ held
    void SwitchLocked(const std::string& name);
    void Publish();  // the active profile into the daemon's status
    void TakeRequest();
    void Watch();
    void Arm(int milliseconds);  // the gesture and request timer, 0 stops it; with mutex_ held
    int TimerPeriod() const;

    CTavroLinux& kit_;
    const std::string path_;
    BindingActions actions_;
    mutable std::mutex mutex_;
    std::shared_ptr<const Bindings> bindings_;
    std::string active_;
    GestureEngine engine_;
    uint32_t requestSeen_ = 0;
    std::string chosenByUser_;  // set while an application's profile is active
    std::vector<std::string> classes_;

    int inotify_ = -1, timer_ = -1, stopFd_ = -1, epoll_ = -1;
    int watches_[2] = {-1, -1};
    std::string watchedName_[2];
    std::chrono::steady_clock::time_point lastWatch_;
    int armed_ = 0;
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

}  // namespace tavro

#endif  // TAVRO_KEY_BINDINGS_H
