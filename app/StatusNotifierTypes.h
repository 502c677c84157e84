// The types of the tray protocols on the session bus: icons and tooltips of
// org.kde.StatusNotifierItem, and the menu entries of com.canonical.dbusmenu,
// with their marshalling for QtDBus.
#ifndef TAVRO_CONTROL_STATUS_NOTIFIER_TYPES_H
#define TAVRO_CONTROL_STATUS_NOTIFIER_TYPES_H

#include <QDBusArgument>
#include <QDBusVariant>
#include <QIcon>
#include <QList>
#include <QString>
#include <QVariantMap>

namespace tavro::control {

// An icon as the protocol carries it: ARGB32 in network byte order.
struct SniPixmap {
    int width = 0, height = 0;
    QByteArray argb;
};
using SniPixmaps = QList<SniPixmap>;
SniPixmaps ToSniPixmaps(const QIcon& icon);

struct SniToolTip {
    QString iconName;
    SniPixmaps icon;
    QString title, text;
};

// One entry of an exported menu and, to the depth asked, its children.
struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};
struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& tip);
QDBusArgument& operator<<(QDBusArgument& out, const MenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& in, MenuLayout& layout);
// An event a panel sends in a group: entry, what happened, data, time.
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

QDBusArgument& operator<<(QDBusArgument& out, const MenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& in, MenuItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& out, const MenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& in, MenuEvent& event);

// Registers the types above with QtDBus (done by the item and the menu; a
// test that reads the item's properties calls it too).
void RegisterSniTypes();

}  // namespace tavro::control

Q_DECLARE_METATYPE(tavro::control::SniPixmap)
Q_DECLARE_METATYPE(tavro::control::SniToolTip)
Q_DECLARE_METATYPE(tavro::control::MenuLayout)
Q_DECLARE_METATYPE(tavro::control::MenuItemProperties)
Q_DECLARE_METATYPE(tavro::control::MenuEvent)

#endif
