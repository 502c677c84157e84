#include "BuiltInKeys.h"

#include "Bindings.h"

namespace tavro::cli {

const char* BuiltInKeyBehaviour(int key) {
    static const char* const kBuiltIn[kKeypadKeys] = {
        "nothing",
        "Up, repeated while held",
        "Alt+Left (Back); Escape, repeated, when held",
        "Right, repeated while held",
        "left button: click, drag while held; the pointer holds still around each",
        "Left, repeated while held",
        "Return; a middle click when held",
        "Down, repeated while held",
        "zoom: Ctrl+plus or Ctrl+minus as the handset moves nearer or away",
        "nothing"};
    return key >= 0 && key < kKeypadKeys ? kBuiltIn[key] : "";
}

}  // namespace tavro::cli
