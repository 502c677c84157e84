// The tray icon at login: an autostart entry (the XDG autostart
// directory's desktop file running tavro-control --tray), written only
// when the user asks for it.
#ifndef TAVRO_CONTROL_TRAY_AUTOSTART_H
#define TAVRO_CONTROL_TRAY_AUTOSTART_H

#include <QString>

namespace tavro::control {

// $XDG_CONFIG_HOME/autostart/com.quorvel.TavroControl-tray.desktop
// (~/.config/autostart/... without XDG_CONFIG_HOME).
QString TrayAutostartPath();
bool TrayAutostartEnabled();
// Writes or removes the entry.  False with one line naming the file and
// the system's reason in *error, the entry then as it was.
bool SetTrayAutostart(bool on, QString* error);

}  // namespace tavro::control

#endif
