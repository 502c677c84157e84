// Changing one binding of a bindings file's text in place: the line that
// binds the same key, gesture and handset in the profile is rewritten (its
// comment kept), or a new line goes after the profile's last binding (a new
// profile at the end); every other line stays byte for byte.
#ifndef TAVRO_BINDINGS_EDITOR_H
#define TAVRO_BINDINGS_EDITOR_H

#include <string>

namespace tavro {

// `trigger` and `action` as a line of the file would have them ("up hold
// 600", "key Escape"); the action "builtin" removes the binding.  False with
// *error (one line) when the text has an error already, or the trigger or
// action is not valid.
bool EditBinding(const std::string& text, const std::string& path, const std::string& profile,
                 const std::string& trigger, const std::string& action, std::string* edited,
                 std::string* error);

}  // namespace tavro

#endif  // TAVRO_BINDINGS_EDITOR_H
