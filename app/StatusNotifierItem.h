// A status notifier item: the icon a panel's tray shows for the app
// (org.kde.StatusNotifierItem on the session bus, shown by KDE, GNOME with
// the AppIndicator extension and waybar), with its menu exported as
// com.canonical.dbusmenu so that the panel draws it.  It registers with the
// panel's org.kde.StatusNotifierWatcher, and again when a panel restarts.
// Qt's QSystemTrayIcon makes such an item only with some platform plugins
// and themes (not offscreen), falls back to the X11 tray without a word and
// tells nothing of the registration; this item is the same everywhere and
// says what the panel answered.
#ifndef TAVRO_CONTROL_STATUS_NOTIFIER_ITEM_H
#define TAVRO_CONTROL_STATUS_NOTIFIER_ITEM_H

#include "StatusNotifierTypes.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>

class QDBusServiceWatcher;

namespace tavro::control {

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

}  // namespace tavro::control

#endif
