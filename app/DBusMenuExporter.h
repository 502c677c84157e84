// A QMenu on the session bus as com.canonical.dbusmenu, so that a panel
// draws the tray icon's menu itself, in its own style and place.
#ifndef TAVRO_CONTROL_DBUS_MENU_EXPORTER_H
#define TAVRO_CONTROL_DBUS_MENU_EXPORTER_H

#include "StatusNotifierTypes.h"

#include <QAction>
#include <QHash>
#include <QMenu>
#include <QObject>
#include <QPointer>

namespace tavro::control {

// The menu on the bus: each action is an entry with a number, its
// children those of its submenu; changes are announced as a new layout.
class DBusMenuExporter : public QObject {
    Q_OBJECT
public:
    explicit DBusMenuExporter(QMenu* menu, QObject* parent = nullptr);
    MenuLayout layout(int parentId, int depth, const QStringList& names);
    MenuItemPropertiesList properties(const QList<int>& ids, const QStringList& names);
    QVariantMap propertiesOf(int id);
    // The panel clicked, hovered, opened or closed entry `id`; false for
    // an entry that is not there.
    bool handleEvent(int id, const QString& eventId);
    bool aboutToShow(int id);
    uint revision() const { return revision_; }
    QAction* action(int id) const { return actions_.value(id); }
    int idOf(QAction* action);

signals:
    void layoutUpdated(uint revision, int parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watch(QMenu* menu);
    void changed();
    QMenu* menuOf(int id) const;
    QPointer<QMenu> root_;
    QHash<int, QPointer<QAction>> actions_;
    QHash<QAction*, int> ids_;
    int nextId_ = 1;
    uint revision_ = 1;
    bool announcing_ = false;
};


}  // namespace tavro::control

#endif
