// The stabiliser choice from the daemon's configuration, and the watch that
// lets a running daemon follow a change of it.
#include "FilterChoice.h"

#include "DaemonConfig.h"
#include "DaemonStatus.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <sys/stat.h>

#include <cstring>
#include <map>

namespace tavro {

namespace {

void Publish(CTavroLinux* kit, int choice) {
    DaemonStatus* status = kit->RunOptions.Status;
    if (status == nullptr) return;
    // Bytes another process reads at any time: the name fits with its NUL.
    StoreText(status->Filter, StabiliserName(choice));
}

using Stamp = FilterConfigWatch::Stamp;

Stamp StampOf(const std::string& path) {
    Stamp s;
    struct stat info {};
    if (!path.empty() && stat(path.c_str(), &info) == 0) {
        s.exists = true;
        s.inode = info.st_ino;
        s.size = info.st_size;
        s.modified = info.st_mtim;
    }
    return s;
}

}  // namespace

const char* StabiliserName(int choice) {
    return choice == CTavroCore::kStabiliserAdaptive ? "adaptive" : "builtin";
}

bool ParseStabiliser(const std::string& text, int* choice) {
    if (text == "builtin") *choice = CTavroCore::kStabiliserBuiltin;
    else if (text == "adaptive") *choice = CTavroCore::kStabiliserAdaptive;
    else return false;
    return true;
}

bool ApplyFilterConfig(CTavroLinux* kit, std::string* error) {
    std::map<std::string, std::string> values;
    std::string problem;
    if (!ReadDaemonConfig(&values, &problem)) {
        if (error != nullptr) *error = problem + "; the stabiliser stays " +
                                       StabiliserName(kit->StabiliserChoice.load());
        return false;
    }
    int choice = kDefaultStabiliser;
    const auto found = values.find("filter");
    if (found != values.end() && !ParseStabiliser(found->second, &choice)) {
        if (error != nullptr)
            *error = DaemonConfigPath() + ": filter \"" + found->second +
                     "\" is neither builtin nor adaptive (set it with: tavro filter builtin|adaptive)";
        return false;
    }
    kit->StabiliserChoice.store(choice);
    Publish(kit, choice);
    return true;
}

bool FilterConfigWatch::Stamp::operator==(const Stamp& o) const {
    return exists == o.exists && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
}

FilterConfigWatch::FilterConfigWatch(CTavroLinux* kit) : kit_(kit) {
    if (kit_ == nullptr) return;
    // Stamped before reading, so a change while it is read is seen next time.
    last_ = StampOf(DaemonConfigPath());
    kit_->StabiliserChoice.store(kDefaultStabiliser);
    Apply();
    Publish(kit_, kit_->StabiliserChoice.load());
}

void FilterConfigWatch::Apply() {
    std::string error;
    if (!ApplyFilterConfig(kit_, &error)) CTavroLinux::LogMessage("%s", error.c_str());
}

void FilterConfigWatch::Check() {
    if (kit_ == nullptr) return;
    const Stamp now = StampOf(DaemonConfigPath());
    if (now == last_) return;
    last_ = now;
    Apply();
}

}  // namespace tavro
