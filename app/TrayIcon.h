// The app's icon in the panel's tray: the receiver's state and the active
// handset at a glance (icon, status and tooltip), and a menu with the
// pointer on or off, the key bindings' profile, Open and Quit.
#ifndef TAVRO_CONTROL_TRAY_ICON_H
#define TAVRO_CONTROL_TRAY_ICON_H

#include "FileWatch.h"
#include "RecordReader.h"

#include <QIcon>
#include <QObject>
#include <QString>

class QAction;
class QActionGroup;
class QMenu;

namespace tavro::control {

class StatusNotifierItem;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(RecordReader* reader, QObject* parent = nullptr);
    ~TrayIcon() override;

    // Puts the icon in the panel's tray; false with one line naming the
    // cause and the fix when no tray host runs, or when another
    // tavro-control shows its icon already (*another then true): one icon
    // of the kit is enough, whichever started first.
    bool show(QString* error, bool* another = nullptr);
    // The name on the session bus of the tavro-control that shows the icon.
    static constexpr const char* kBusName = "com.quorvel.TavroControl.TrayIcon";

    StatusNotifierItem* item() const { return item_; }
    QMenu* menu() const { return menu_; }
    // The line of the last change the menu made (or why it failed).
    QString message() const { return message_; }

signals:
    void openRequested();
    void quitRequested();

private:
    void refresh();
    void readProfiles();
    void switchPointer(bool on);
    void switchProfile(const QString& name);
    void say(const QString& text, bool failure);

    RecordReader* reader_;
    QMenu* menu_;
    QAction* summary_;
    QAction* pointer_;
    QMenu* profiles_;
    QActionGroup* profileGroup_;
    QAction* outcome_;
    StatusNotifierItem* item_;
    QIcon normal_, attention_, idle_;
    QString message_;
    QString shownProfile_;
    int iconKind_ = -1;
    QStringList profileNames_;
    QString profilesProblem_;
    FileWatch profilesFile_;  // the bindings file, for its profiles
    QString pendingProfile_;
};

}  // namespace tavro::control

#endif
