#include "ProfileSwitch.h"

#include "DaemonStatus.h"
#include "Kit.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <cstdarg>
#include <cstdio>

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

namespace {

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

std::string RequestProfile(const Bindings& bindings, const std::string& path, const std::string& name,
                           std::string* error, bool* noSuchProfile) {
    if (noSuchProfile != nullptr) *noSuchProfile = false;
    if (name != "next" && name != kBuiltinProfile && bindings.Find(name) == nullptr) {
        if (noSuchProfile != nullptr) *noSuchProfile = true;
        *error = Line("there is no profile \"%s\" in %s; the profiles are %s", name.c_str(), path.c_str(),
                      ProfileList(bindings).c_str());
        return {};
    }
    const DaemonView view = ReadDaemonView();
    if (!view.running) {
        *error = Line("no daemon runs: profiles switch a running daemon only; start tavrod (the \"start\" line "
                      "of %s names the profile it starts with)",
                      path.c_str());
        return {};
    }
    const std::string owner = OtherUsersProcess(view.pid);
    if (!owner.empty()) {
        *error = Line("the running tavrod (process %d) is %s's and reads %s's bindings; ask %s", view.pid,
                      owner.c_str(), owner.c_str(), owner.c_str());
        return {};
    }
    DaemonStatus* status = AttachDaemonStatus(CTavroLinux::SharedMemoryKey, error);
    if (status == nullptr) return {};
    const std::string wanted = name == "next" ? bindings.NextProfile(view.profile) : name;
    StoreText(status->ProfileWanted, wanted);
    PublishField(status->ProfileWantedSerial, LoadField(status->ProfileWantedSerial) + 1);
    return wanted;
}

}  // namespace tavro::cli
