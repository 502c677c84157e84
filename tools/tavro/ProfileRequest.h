// Asking the running device daemon to switch its key bindings' profile, as
// tavro profile and the desktop app's Keys page and tray icon do: the name goes into the
// daemon's status segment, then its serial number is raised; the daemon
// takes it up within a few tens of milliseconds and publishes the profile
// it then uses (DaemonView::profile).
#ifndef TAVRO_CLI_PROFILE_REQUEST_H
#define TAVRO_CLI_PROFILE_REQUEST_H

#include "Bindings.h"
#include "Kit.h"

#include <string>
#include <vector>

namespace tavro::cli {

// The profiles a switch can go to: the built-in one first, then the
// bindings file's in file order.
std::vector<std::string> ProfileNames(const Bindings& bindings);
// The same names joined by ", ", for messages.
std::string ProfileList(const Bindings& bindings);

// Asks the daemon `view` describes for profile `name` of `bindings` ("next":
// the one after the daemon's; "builtin": the kit's own keys) and sets
// *wanted to the profile asked for.  Does not wait for the switch.  False
// with *error (one line naming the cause and the fix) when there is no such
// profile, no daemon runs, it is another user's, or the status segment
// cannot be had; *usage tells the first case from the others.
bool RequestProfile(const Bindings& bindings, const std::string& name, const DaemonView& view,
                    std::string* wanted, std::string* error, bool* usage = nullptr);

}  // namespace tavro::cli

#endif
