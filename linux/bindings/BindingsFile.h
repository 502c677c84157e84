// The bindings file: profiles of key bindings as plain text that people edit
// and keep with their dotfiles (tavro-bindings(5) describes it).
//
//   # comments run from '#' to the end of the line
//   start = slides               # the profile active at start
//   [slides]                     # a profile
//   applications = libreoffice-impress evince
//   every-handset = yes          # keys of handsets without the pointer act too
//   right = key Right
//   up hold 600 = key Escape
//   down double = key End
//   left+right = key ctrl+q
//   handset 2 menu = profile next
#ifndef TAVRO_BINDINGS_FILE_H
#define TAVRO_BINDINGS_FILE_H

#include "Bindings.h"

#include <string>
#include <vector>

namespace tavro {

// $XDG_CONFIG_HOME/tavro/bindings.conf, or ~/.config/tavro/bindings.conf.
std::string DefaultBindingsPath();

// The keypad key of a name ("up", "down-left", "centre", or the compass
// names "north", "south-west", ...; case and
// hyphens do not matter), or -1.  KeypadKeyName gives the file's own name.
int KeypadKeyFromName(const std::string& name);
const char* KeypadKeyName(int key);

// Parses the text of a bindings file named `path` (used in the messages).
// On any error returns false, leaving *out alone, with one line per error in
// *problems: "path:line:column: what is wrong; what would be valid".
bool ParseBindings(const std::string& text, const std::string& path, Bindings* out,
                   std::vector<std::string>* problems);

// Reads and parses the file (through a symbolic link to its target).  A file
// that does not exist gives no bindings (*missing true) and returns true.
bool ReadBindingsFile(const std::string& path, Bindings* out, std::vector<std::string>* problems,
                      bool* missing = nullptr);

}  // namespace tavro

#endif  // TAVRO_BINDINGS_FILE_H
