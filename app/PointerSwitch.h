// Turning the pointer on or off (the record's ActivateCursor), as the
// Pointing page's switch and the tray icon's menu do.
#ifndef TAVRO_CONTROL_POINTER_SWITCH_H
#define TAVRO_CONTROL_POINTER_SWITCH_H

#include <QString>

struct SharedDeviceState;

namespace tavro::control {

// Asks the running daemon to move the pointer with the handset (`on`) or to
// leave it put; the kit keeps the choice in the settings file.  Returns
// whether it was done, with the line to show in *message: the outcome, or
// the cause and the fix (no daemon, a settings file that cannot be
// rewritten, in which case the record keeps its old value).
bool SwitchPointer(SharedDeviceState* record, bool on, QString* message);

}  // namespace tavro::control

#endif
