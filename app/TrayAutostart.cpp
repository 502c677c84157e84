#include "TrayAutostart.h"

#include "ConfigFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavro::control {

namespace {

// What the session starts at login; the names are not translated here
// because the file is read by every desktop in whatever language.
const char kEntry[] =
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Name=Tavro Control tray icon\n"
    "Comment=The Tavro receiver's state and the active handset in the panel's tray\n"
    "Exec=tavro-control --tray\n"
    "Icon=com.quorvel.TavroControl\n"
    "Terminal=false\n"
    "NoDisplay=true\n"
    "X-GNOME-Autostart-enabled=true\n";

}  // namespace

QString TrayAutostartPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/com.quorvel.TavroControl-tray.desktop");
}

bool TrayAutostartEnabled() { return QFileInfo(TrayAutostartPath()).isFile(); }

bool SetTrayAutostart(bool on, QString* error) {
    const QString path = TrayAutostartPath();
    const std::string file = path.toLocal8Bit().toStdString();
    if (on) {
        std::string why;
        if (ReplaceFileThroughLinks(file, kEntry, &why)) return true;
        *error = QString::fromLocal8Bit(why.c_str());
        return false;
    }
    if (std::remove(file.c_str()) == 0 || errno == ENOENT) return true;
    *error = QCoreApplication::translate("TrayAutostart", "%1 cannot be removed: %2")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

}  // namespace tavro::control
