// The user's own text files of the kit (the daemon's configuration, the key
// bindings): where they live, reading them without ever blocking on what is
// put there, and rewriting them whole through a synced temporary file and a
// rename, so that a rewrite is all or nothing; through a symbolic link the
// file it points to is replaced and the link kept.
#ifndef TAVRO_CONFIG_FILES_H
#define TAVRO_CONFIG_FILES_H

#include <string>

namespace tavro {

// $XDG_CONFIG_HOME/tavro, or ~/.config/tavro; empty without a home.
std::string ConfigDirectory();

// The whole text of the file at `path`: empty for a missing file; false with
// *error set to one line "PATH: what is wrong; the fix" for one that cannot
// be read, is no regular file (`whatItHolds` names what belongs there) or is
// larger than 64 KiB.  Opened without blocking, so that a FIFO put there
// cannot stall the caller.
bool ReadUserFile(const std::string& path, const char* whatItHolds, std::string* text, std::string* error);

// Makes the directories a file at `path` needs; false with *error (one line)
// when it cannot.
bool MakeDirectoryFor(const std::string& path, std::string* error);

// Replaces the file at `path` (the target of a link there) with `text`,
// creating the directories it needs.  False with *error (one line naming
// the path and the system's reason) when it cannot; the old file is then
// intact.
bool ReplaceFileThroughLinks(const std::string& path, const std::string& text, std::string* error);

}  // namespace tavro

#endif  // TAVRO_CONFIG_FILES_H
