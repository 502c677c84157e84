#include "KeyBindings.h"

#include "BindingsFile.h"
#include "DaemonStatus.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstring>

namespace tavro {

namespace {

GestureEngine::Ns Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// How often the thread looks while a gesture waits for time, and for
// another program's profile request when the daemon publishes its status.
constexpr int kGestureTickMs = 10;
constexpr int kRequestCheckMs = 250;
constexpr int kWatchRetryMs = 1000;

}  // namespace

KeyBindings::KeyBindings(CTavroLinux& kit, std::string path, bool servedByOwner)
    : kit_(kit), path_(std::move(path)), actions_(kit) {
    bindings_ = std::make_shared<const Bindings>();
    active_ = kBuiltinProfile;
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : {inotify_, timer_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        if (fd >= 0 && epoll_ >= 0) epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    Watch();
    Reload();
    if (DaemonStatus* status = kit_.RunOptions.Status) requestSeen_ = LoadPublished(status->ProfileWantedSerial);
    Arm(TimerPeriod());
    if (!servedByOwner) {
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] {
            pollfd fds[2] = {{stopFd_, POLLIN, 0}, {epoll_, POLLIN, 0}};
            while (poll(fds, 2, -1) >= 0 || errno == EINTR) {
                if ((fds[0].revents & POLLIN) != 0) break;
                if ((fds[1].revents & POLLIN) != 0) Serve();
            }
        });
    }
}

KeyBindings::~KeyBindings() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
        }
        thread_.join();
    }
    ReleaseHeld();
    for (int fd : {inotify_, timer_, stopFd_, epoll_})
        if (fd >= 0) close(fd);
}

// Every 10 ms while a gesture waits for time; else every 250 ms where other
// programs may ask for a profile (the daemon), or every second while the
// file's directory is not there to be watched yet.
int KeyBindings::TimerPeriod() const {
    if (busy_.load()) return kGestureTickMs;
    if (kit_.RunOptions.Status != nullptr) return kRequestCheckMs;
    if (inotify_ >= 0 && watches_[0] < 0) return kWatchRetryMs;
    return 0;
}

void KeyBindings::Arm(int milliseconds) {
    if (timer_ < 0 || milliseconds == armed_) return;
    armed_ = milliseconds;
    itimerspec period{};
    period.it_interval.tv_sec = milliseconds / 1000;
    period.it_interval.tv_nsec = (milliseconds % 1000) * 1'000'000L;
    period.it_value = period.it_interval;
    timerfd_settime(timer_, 0, &period, nullptr);
}

// The file's directory, and its target's where it is a link, so that
// editors that write a new file and rename it over the old are seen too.
void KeyBindings::Watch() {
    if (inotify_ < 0) return;
    char resolved[PATH_MAX];
    const std::string target = realpath(path_.c_str(), resolved) != nullptr ? std::string(resolved) : path_;
    const std::string files[2] = {path_, target};
    constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
    for (int i = 0; i < 2; ++i) {
        if (watches_[i] >= 0) inotify_rm_watch(inotify_, watches_[i]);
        watches_[i] = -1;
        if (i == 1 && target == path_) break;
        watches_[i] = inotify_add_watch(inotify_, DirectoryOf(files[i]).c_str(), kEvents);
        watchedName_[i] = NameOf(files[i]);
    }
}

bool KeyBindings::Reload() {
    Bindings next;
    std::vector<std::string> problems;
    bool missing = false;
    if (!ReadBindingsFile(path_, &next, &problems, &missing)) {
        for (const std::string& line : problems) CTavroLinux::LogMessage("bindings: %s", line.c_str());
        CTavroLinux::LogMessage("bindings: %s has %zu error(s); the keys keep the bindings they had",
                                path_.c_str(), problems.size());
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<GestureEffect> effects;
    engine_.ReleaseAll(&effects);  // nothing pressed under the old file stays down
    Perform(effects);
    const bool hadFile = !bindings_->path.empty();
    auto fresh = std::make_shared<const Bindings>(std::move(next));
    bindings_ = fresh;
    const std::string keep = hadFile && fresh->Find(active_) != nullptr ? active_ : fresh->StartProfile();
    SwitchLocked(keep);
    if (missing && hadFile)
        CTavroLinux::LogMessage("bindings: %s is gone; the keys do what they do built in", path_.c_str());
    else if (!missing)
        CTavroLinux::LogMessage("bindings: read %s (%zu profile(s)); profile %s", path_.c_str(),
                                fresh->profiles.size(), active_.c_str());
    return true;
}

void KeyBindings::ReleaseHeld() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<GestureEffect> effects;
    engine_.ReleaseAll(&effects);
    Perform(effects);
}

void KeyBindings::SwitchLocked(const std::string& name) {
    const std::string wanted = name == "next" ? bindings_->NextProfile(active_) : name;
    const Profile* profile = bindings_->Find(wanted);
    engine_.SetProfile(bindings_, profile);
    active_ = profile != nullptr ? wanted : kBuiltinProfile;
    Publish();
}

void KeyBindings::ApplicationChanged(const std::vector<std::string>& classes) {
    std::lock_guard<std::mutex> lock(mutex_);
    classes_ = classes;
    auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const Profile* made = nullptr;
    for (const Profile& p : bindings_->profiles)
        for (const std::string& application : p.applications)
            for (const std::string& c : classes)
                if (made == nullptr && lower(application) == lower(c)) made = &p;
    if (made != nullptr && made->name != active_) {
        if (chosenByUser_.empty()) chosenByUser_ = active_;
        SwitchLocked(made->name);
        CTavroLinux::LogMessage("bindings: profile %s, for the active window (%s)", active_.c_str(),
                                classes.empty() ? "" : classes.back().c_str());
    } else if (made == nullptr && !chosenByUser_.empty()) {
        const std::string back = chosenByUser_;
        chosenByUser_.clear();
        SwitchLocked(back);
        CTavroLinux::LogMessage("bindings: profile %s again, no profile is for the active window",
                                active_.c_str());
    }
}

bool KeyBindings::Switch(const std::string& name, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name != "next" && name != kBuiltinProfile && bindings_->Find(name) == nullptr) {
        if (error != nullptr) *error = "there is no profile \"" + name + "\" in " + path_;
        return false;
    }
    chosenByUser_.clear();
    SwitchLocked(name);
    return true;
}

std::string KeyBindings::ActiveProfile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}

std::shared_ptr<const Bindings> KeyBindings::Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bindings_;
}

void KeyBindings::Publish() {
    if (DaemonStatus* status = kit_.RunOptions.Status) StoreText(status->ActiveProfile, active_);
}

// Another program (tavro profile) names the profile it wants and then
// raises the serial number.
void KeyBindings::TakeRequest() {
    DaemonStatus* status = kit_.RunOptions.Status;
    if (status == nullptr) return;
    const uint32_t serial = LoadPublished(status->ProfileWantedSerial);
    if (serial == requestSeen_) return;
    requestSeen_ = serial;
    const std::string name = LoadText(status->ProfileWanted);
    if (name == "next" || name == kBuiltinProfile || bindings_->Find(name) != nullptr) {
        chosenByUser_.clear();
        SwitchLocked(name);
        CTavroLinux::LogMessage("bindings: profile %s, as another program asked", active_.c_str());
    } else {
        CTavroLinux::LogMessage("bindings: another program asked for profile %s, which %s does not have",
                                name.c_str(), path_.c_str());
    }
}

void KeyBindings::Perform(const std::vector<GestureEffect>& effects) {
    for (const GestureEffect& e : effects) {
        const Action& action = e.binding->action;
        switch (e.kind) {
            case GestureEffect::Begin:
                if (action.kind == ActionKind::Profile) {
                    chosenByUser_.clear();  // the user's choice outlasts the window's
                    SwitchLocked(action.text);
                } else {
                    actions_.Begin(action);
                }
                break;
            case GestureEffect::Repeat: actions_.Repeat(action, e.count); break;
            case GestureEffect::End: actions_.End(action); break;
        }
    }
}

unsigned KeyBindings::Packet(int handset, unsigned buttonWord, int activeHandset) {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeRequest();
    const Profile* profile = engine_.profile();
    const bool acts = handset == activeHandset || (profile != nullptr && profile->everyHandset);
    std::vector<GestureEffect> effects;
    // The word is active-low; the keypad's keys are its low ten lines.
    engine_.Packet(handset, ~buttonWord & ((1u << kKeypadKeys) - 1), acts, Now(), &effects);
    Perform(effects);
    if (engine_.Busy() && !busy_.exchange(true)) Arm(kGestureTickMs);
    return engine_.Taken(handset);
}

void KeyBindings::Serve() {
    uint64_t expirations = 0;
    if (timer_ >= 0 && read(timer_, &expirations, sizeof expirations) < 0) {
        // Not expired yet: the descriptor woke for the file.
    }
    bool changed = false;
    if (inotify_ >= 0) {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(inotify_, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                const std::string name = event->len > 0 ? event->name : "";
                for (int i = 0; i < 2; ++i)
                    if (event->wd == watches_[i] && name == watchedName_[i]) changed = true;
                at += sizeof(inotify_event) + event->len;
            }
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (inotify_ >= 0 && watches_[0] < 0 && now - lastWatch_ >= std::chrono::milliseconds(kWatchRetryMs)) {
        lastWatch_ = now;
        Watch();
        if (watches_[0] >= 0) changed = true;  // the directory came: the file may have too
    }
    if (changed) {
        Watch();  // a link may point elsewhere now
        Reload();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TakeRequest();
        std::vector<GestureEffect> effects;
        engine_.Tick(Now(), &effects);
        Perform(effects);
        busy_.store(engine_.Busy());
        Arm(TimerPeriod());
    }
}

}  // namespace tavro
