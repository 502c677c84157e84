#include "ProfileRequest.h"

#include "BindingsFile.h"
#include "DaemonStatus.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <sys/shm.h>

namespace tavro::cli {

std::vector<std::string> ProfileNames(const Bindings& bindings) {
    std::vector<std::string> names{kBuiltinProfile};
    for (const Profile& p : bindings.profiles) names.push_back(p.name);
    return names;
}

std::string ProfileList(const Bindings& bindings) {
    std::string list;
    for (const std::string& name : ProfileNames(bindings)) list += (list.empty() ? "" : ", ") + name;
    return list;
}

bool RequestProfile(const Bindings& bindings, const std::string& name, const DaemonView& view,
                    std::string* wanted, std::string* error, bool* usage) {
    if (usage != nullptr) *usage = false;
    const std::string path = bindings.path.empty() ? DefaultBindingsPath() : bindings.path;
    if (name != "next" && name != kBuiltinProfile && bindings.Find(name) == nullptr) {
        if (usage != nullptr) *usage = true;
        *error = "there is no profile \"" + name + "\" in " + path + "; the profiles are " + ProfileList(bindings);
        return false;
    }
    if (!view.running) {
        *error = "no daemon runs: profiles switch a running daemon only; start tavrod (the \"start\" line of " +
                 path + " names the profile it starts with)";
        return false;
    }
    const std::string owner = OtherUsersProcess(view.pid);
    if (!owner.empty()) {
        *error = "the running tavrod (process " + std::to_string(view.pid) + ") is " + owner + "'s and reads " +
                 owner + "'s bindings; ask " + owner;
        return false;
    }
    DaemonStatus* status = AttachDaemonStatus(CTavroLinux::SharedMemoryKey, error);
    if (status == nullptr) return false;
    *wanted = name == "next" ? bindings.NextProfile(view.profile) : name;
    StoreText(status->ProfileWanted, *wanted);
    PublishField(status->ProfileWantedSerial, LoadField(status->ProfileWantedSerial) + 1);
    shmdt(status);
    return true;
}

}  // namespace tavro::cli
