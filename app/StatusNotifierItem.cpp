#include "StatusNotifierItem.h"

#include "DBusMenuExporter.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <unistd.h>

namespace tavro::control {

class ItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(tavro::control::SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(tavro::control::SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(tavro::control::SniPixmaps AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(tavro::control::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
public:
    explicit ItemAdaptor(StatusNotifierItem* item) : QDBusAbstractAdaptor(item), item_(item) {
        setAutoRelaySignals(false);
        connect(item, &StatusNotifierItem::newTitle, this, &ItemAdaptor::NewTitle);
        connect(item, &StatusNotifierItem::newIcon, this, &ItemAdaptor::NewIcon);
        connect(item, &StatusNotifierItem::newAttentionIcon, this, &ItemAdaptor::NewAttentionIcon);
        connect(item, &StatusNotifierItem::newToolTip, this, &ItemAdaptor::NewToolTip);
        connect(item, &StatusNotifierItem::newStatus, this, &ItemAdaptor::NewStatus);
    }
    QString category() const { return QStringLiteral("Hardware"); }
    QString id() const { return item_->id(); }
    QString title() const { return item_->title(); }
    QString status() const { return item_->status(); }
    int windowId() const { return 0; }
    QString none() const { return QString(); }
    SniPixmaps iconPixmap() const { return item_->icon(); }
    SniPixmaps noPixmaps() const { return {}; }
    SniPixmaps attentionIconPixmap() const { return item_->attentionIcon(); }
    SniToolTip toolTip() const { return item_->toolTip(); }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(StatusNotifierItem::kMenuPath)); }

public slots:
    void ContextMenu(int x, int y) {
        if (QMenu* m = item_->menu()) m->popup(QPoint(x, y));
    }
    void Activate(int, int) { emit item_->activated(); }
    void SecondaryActivate(int, int) {}
    void Scroll(int, const QString&) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* item_;
};

StatusNotifierItem::StatusNotifierItem(const QString& id, QMenu* menu, QObject* parent)
    : QObject(parent), id_(id), menu_(menu), title_(id) {
    RegisterSniTypes();
    new ItemAdaptor(this);
    menuObject_ = new DBusMenuExporter(menu, this);
    itemObject_ = this;
}

StatusNotifierItem::~StatusNotifierItem() {
    if (service_.isEmpty()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(QString::fromLatin1(kItemPath));
    bus.unregisterObject(QString::fromLatin1(kMenuPath));
    bus.unregisterService(service_);
}

bool StatusNotifierItem::start(QString* error) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        *error = tr("there is no D-Bus session bus (%1); log in to a desktop session, or start one with "
                    "dbus-run-session")
                     .arg(bus.lastError().message().isEmpty() ? tr("DBUS_SESSION_BUS_ADDRESS is not set")
                                                              : bus.lastError().message());
        return false;
    }
    const QString watcherName = QString::fromLatin1(kWatcher);
    if (!bus.interface()->isServiceRegistered(watcherName)) {
        *error = tr("no tray host is running (nothing owns %1 on the session bus); turn the panel's tray on "
                    "(GNOME: the AppIndicator extension; KDE: the system tray; waybar: its tray module)")
                     .arg(watcherName);
        return false;
    }
    if (service_.isEmpty()) {
        const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(getpid());
        if (!bus.registerService(name) ||
            !bus.registerObject(QString::fromLatin1(kItemPath), itemObject_, QDBusConnection::ExportAdaptors) ||
            !bus.registerObject(QString::fromLatin1(kMenuPath), menuObject_, QDBusConnection::ExportAdaptors)) {
            *error = tr("the tray icon cannot be put on the session bus: %1").arg(bus.lastError().message());
            return false;
        }
        service_ = name;
        // A panel that restarts brings a new watcher, which must be told again.
        watcher_ = new QDBusServiceWatcher(watcherName, bus, QDBusServiceWatcher::WatchForRegistration, this);
        connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierItem::registerWithWatcher);
    }
    registerWithWatcher();
    return true;
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kWatcher),
                                                       QStringLiteral("/StatusNotifierWatcher"),
                                                       QString::fromLatin1(kWatcher),
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    // Asynchronous: the watcher may be slow, and the app must not wait on it.
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        if (done->isError())
            emit failed(tr("the tray host refused the icon: %1").arg(done->error().message()));
        else
            emit registered();
    });
}

QString StatusNotifierItem::status() const {
    switch (status_) {
        case Status::Passive: return QStringLiteral("Passive");
        case Status::NeedsAttention: return QStringLiteral("NeedsAttention");
        case Status::Active: break;
    }
    return QStringLiteral("Active");
}

void StatusNotifierItem::setTitle(const QString& title) {
    if (title == title_) return;
    title_ = title;
    emit newTitle();
}

void StatusNotifierItem::setStatus(Status status) {
    if (status == status_) return;
    status_ = status;
    emit newStatus(this->status());
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    icon_ = ToSniPixmaps(icon);
    emit newIcon();
}

void StatusNotifierItem::setAttentionIcon(const QIcon& icon) {
    attentionIcon_ = ToSniPixmaps(icon);
    emit newAttentionIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (title == toolTip_.title && text == toolTip_.text) return;
    toolTip_.title = title;
    toolTip_.text = text;
    emit newToolTip();
}

}  // namespace tavro::control

#include "StatusNotifierItem.moc"
