// The key bindings' profiles and the switch of the running daemon between
// them, shared by `tavro profile` and the desktop app's tray icon.
#ifndef TAVRO_CLI_PROFILE_SWITCH_H
#define TAVRO_CLI_PROFILE_SWITCH_H

#include "Bindings.h"

#include <string>
#include <vector>

namespace tavro::cli {

// The profiles a switch can go to: the built-in one first, then the
// bindings file's in file order.
std::vector<std::string> ProfileNames(const Bindings& bindings);
// The same names joined by ", ", for messages.
std::string ProfileList(const Bindings& bindings);

// Asks the running daemon to use profile `name` ("next" for the one after
// the daemon's, "builtin" for the kit's own keys), which must be one of the
// bindings read from `path`.  Returns the profile asked for, or empty with
// one line naming the cause and the fix in *error (no such profile, which
// also sets *noSuchProfile; no daemon, another user's daemon, no status segment).  The daemon takes the
// request up within a second; its status then names the new profile.
std::string RequestProfile(const Bindings& bindings, const std::string& path, const std::string& name,
                           std::string* error, bool* noSuchProfile = nullptr);

}  // namespace tavro::cli

#endif
