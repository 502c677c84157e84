// What each keypad key does when no binding of the active profile names it:
// the kit's own key handling, in words, for listings (tavro bind, the
// desktop app's Keys page).
#ifndef TAVRO_CLI_BUILT_IN_KEYS_H
#define TAVRO_CLI_BUILT_IN_KEYS_H

namespace tavro::cli {

// The behaviour of key `key` (0..9, the button word's order); "" for others.
const char* BuiltInKeyBehaviour(int key);

}  // namespace tavro::cli

#endif
