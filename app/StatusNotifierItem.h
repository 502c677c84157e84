// A status notifier item: the icon a panel's tray shows for the app
// (org.kde.StatusNotifierItem on the session bus, shown by KDE, GNOME with
// the AppIndicator extension and waybar), with its menu exported as
// com.canonical.dbusmenu so that the panel draws it.  It registers with the
// panel's org.kde.StatusNotifierWatcher, and again when a panel restarts.
#ifndef TAVRO_CONTROL_STATUS_NOTIFIER_ITEM_H
#define TAVRO_CONTROL_STATUS_NOTIFIER_ITEM_H

#include <QAction>
#include <QDBusArgument>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class QDBusServiceWatcher;

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
QDBusArgument& operator<<(QDBusArgument& out, const MenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& in, MenuItemProperties& item);

// Registers the types above with QtDBus (done by the item; a test that
// reads the item's properties calls it too).
void RegisterSniTypes();

class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    enum class Status { Passive, Active, NeedsAttention };
    static constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kItemPath = "/StatusNotifierItem";
    static constexpr const char* kMenuPath = "/MenuBar";

    // The menu is the app's; the item exports it and shows it itself when
    // a panel asks for a context menu at a point.
    StatusNotifierItem(const QString& id, QMenu* menu, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Takes a name on the session bus and registers with the watcher.
    // False, with one line naming the cause and the fix, when there is no
    // session bus or no panel's watcher on it; the outcome of the
    // registration itself comes later as registered() or failed().
    bool start(QString* error);
    QString serviceName() const { return service_; }

    void setTitle(const QString& title);
    void setStatus(Status status);
    void setIcon(const QIcon& icon);
    void setAttentionIcon(const QIcon& icon);
    void setToolTip(const QString& title, const QString& text);

    // What the panel reads.
    QString title() const { return title_; }
    QString status() const;
    const SniPixmaps& icon() const { return icon_; }
    const SniPixmaps& attentionIcon() const { return attentionIcon_; }
    SniToolTip toolTip() const { return toolTip_; }
    QString id() const { return id_; }
    QMenu* menu() const { return menu_; }

signals:
    void registered();
    void failed(const QString& why);
    // The panel's primary click.
    void activated();
    void newTitle();
    void newIcon();
    void newAttentionIcon();
    void newToolTip();
    void newStatus(const QString& status);

private:
    void registerWithWatcher();
    QString id_;
    QPointer<QMenu> menu_;
    QString service_;
    QString title_;
    Status status_ = Status::Active;
    SniPixmaps icon_, attentionIcon_;
    SniToolTip toolTip_;
    QDBusServiceWatcher* watcher_ = nullptr;
    QObject* itemObject_ = nullptr;
    QObject* menuObject_ = nullptr;
};

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

Q_DECLARE_METATYPE(tavro::control::SniPixmap)
Q_DECLARE_METATYPE(tavro::control::SniToolTip)
Q_DECLARE_METATYPE(tavro::control::MenuLayout)
Q_DECLARE_METATYPE(tavro::control::MenuItemProperties)

#endif
