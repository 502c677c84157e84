// The device daemon's own configuration: what the settings file does not
// hold (where pointer and keys go, the desktop's size, the stabiliser).  A
// small text file of "key = value" lines, '#' starting a comment:
//
//   # tavrod configuration
//   output = auto
//   screen = 1920x1080
//   filter = adaptive
//
// It lives at $XDG_CONFIG_HOME/tavro/tavrod.conf, or ~/.config/tavro/tavrod.conf.
// Programs that change one value rewrite the file whole through a synced
// temporary file and a rename, keeping the user's other lines and comments;
// through a symbolic link the file it points to is replaced, the link kept.
#ifndef TAVRO_DAEMON_CONFIG_H
#define TAVRO_DAEMON_CONFIG_H

#include <map>
#include <string>

namespace tavro {

// The configuration file's path; empty when no home directory is known.
std::string DaemonConfigPath();

// Reads every "key = value" line of the file.  A missing file is an empty
// configuration, not an error.  On a malformed line returns false with
// *error set to one line "PATH:LINE: what is wrong" (quoted text cut at 80
// characters); the values read so far are kept.  A file that cannot be read,
// is no regular file (a directory, a FIFO: never waited on) or is larger
// than 64 KiB returns false with one line "PATH: what is wrong; the fix".
bool ReadDaemonConfig(std::map<std::string, std::string>* values, std::string* error);

// One line "PATH: N unknown keys ignored: ..." naming the first few of the
// keys in `values` that the daemon does not read (output, screen, filter),
// each cut short; empty when every key is known.
std::string UnknownDaemonConfigKeys(const std::map<std::string, std::string>& values);

// Sets one key (adding it when absent) and rewrites the file, creating its
// directory when needed.  Returns false with *error (one line naming the
// path and the system's reason) when it cannot; the old file is then intact.
bool WriteDaemonConfigValue(const std::string& key, const std::string& value, std::string* error);

}  // namespace tavro

#endif  // TAVRO_DAEMON_CONFIG_H
