#include "StatusNotifierItem.h"

#include <QAction>
#include <QActionEvent>
#include <QActionGroup>
#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QTimer>
#include <QtEndian>

#include <unistd.h>

namespace tavro::control {

// ---- the protocol's types ----

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& pixmap) {
    out.beginStructure();
    out << pixmap.width << pixmap.height << pixmap.argb;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& pixmap) {
    in.beginStructure();
    in >> pixmap.width >> pixmap.height >> pixmap.argb;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& tip) {
    out.beginStructure();
    out << tip.iconName << tip.icon << tip.title << tip.text;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& tip) {
    in.beginStructure();
    in >> tip.iconName >> tip.icon >> tip.title >> tip.text;
    in.endStructure();
    return in;
}

// Children go as variants, which is how the menu protocol nests entries.
QDBusArgument& operator<<(QDBusArgument& out, const MenuLayout& layout) {
    out.beginStructure();
    out << layout.id << layout.properties;
    out.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : layout.children) out << QDBusVariant(QVariant::fromValue(child));
    out.endArray();
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuLayout& layout) {
    in.beginStructure();
    in >> layout.id >> layout.properties;
    layout.children.clear();
    in.beginArray();
    while (!in.atEnd()) {
        QDBusVariant child;
        in >> child;
        MenuLayout entry;
        child.variant().value<QDBusArgument>() >> entry;
        layout.children << entry;
    }
    in.endArray();
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const MenuItemProperties& item) {
    out.beginStructure();
    out << item.id << item.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuItemProperties& item) {
    in.beginStructure();
    in >> item.id >> item.properties;
    in.endStructure();
    return in;
}

namespace {

// An event a panel sends in a group: entry, what happened, data, time.
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

}  // namespace
}  // namespace tavro::control

Q_DECLARE_METATYPE(tavro::control::MenuEvent)

namespace tavro::control {
namespace {

QDBusArgument& operator<<(QDBusArgument& out, const MenuEvent& event) {
    out.beginStructure();
    out << event.id << event.eventId << event.data << event.timestamp;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, MenuEvent& event) {
    in.beginStructure();
    in >> event.id >> event.eventId >> event.data >> event.timestamp;
    in.endStructure();
    return in;
}

}  // namespace

void RegisterSniTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmaps>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<MenuLayout>();
        qDBusRegisterMetaType<MenuItemProperties>();
        qDBusRegisterMetaType<MenuItemPropertiesList>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<QList<MenuEvent>>();
        return true;
    }();
    (void)done;
}

SniPixmaps ToSniPixmaps(const QIcon& icon) {
    SniPixmaps pixmaps;
    for (int side : {16, 22, 32, 48, 64}) {
        QImage image = icon.pixmap(side, side).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        SniPixmap p;
        p.width = image.width();
        p.height = image.height();
        p.argb.resize(p.width * p.height * 4);
        auto* out = reinterpret_cast<uchar*>(p.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4) qToBigEndian<quint32>(line[x], out);
        }
        pixmaps << p;
    }
    return pixmaps;
}

// ---- the item on the bus ----

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

class MenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    explicit MenuAdaptor(DBusMenuExporter* menu) : QDBusAbstractAdaptor(menu), menu_(menu) {
        setAutoRelaySignals(false);
        connect(menu, &DBusMenuExporter::layoutUpdated, this, &MenuAdaptor::LayoutUpdated);
    }
    uint version() const { return 3; }
    QString textDirection() const {
        return QApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr");
    }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   tavro::control::MenuLayout& layout) {
        layout = menu_->layout(parentId, recursionDepth, propertyNames);
        return menu_->revision();
    }
    tavro::control::MenuItemPropertiesList GetGroupProperties(const QList<int>& ids, const QStringList& names) {
        return menu_->properties(ids, names);
    }
    QDBusVariant GetProperty(int id, const QString& name) { return QDBusVariant(menu_->propertiesOf(id).value(name)); }
    void Event(int id, const QString& eventId, const QDBusVariant&, uint) { menu_->handleEvent(id, eventId); }
    QList<int> EventGroup(const QList<tavro::control::MenuEvent>& events) {
        QList<int> errors;
        for (const MenuEvent& e : events)
            if (!menu_->handleEvent(e.id, e.eventId)) errors << e.id;
        return errors;
    }
    bool AboutToShow(int id) { return menu_->aboutToShow(id); }
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        QList<int> updates;
        for (int id : ids) {
            if (menu_->propertiesOf(id).isEmpty()) idErrors << id;
            else if (menu_->aboutToShow(id)) updates << id;
        }
        return updates;
    }

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    DBusMenuExporter* menu_;
};

StatusNotifierItem::StatusNotifierItem(const QString& id, QMenu* menu, QObject* parent)
    : QObject(parent), id_(id), menu_(menu), title_(id) {
    RegisterSniTypes();
    new ItemAdaptor(this);
    auto* exporter = new DBusMenuExporter(menu, this);
    new MenuAdaptor(exporter);
    menuObject_ = exporter;
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

// ---- the menu on the bus ----

DBusMenuExporter::DBusMenuExporter(QMenu* menu, QObject* parent) : QObject(parent), root_(menu) {
    RegisterSniTypes();
    if (menu != nullptr) watch(menu);
}

void DBusMenuExporter::watch(QMenu* menu) {
    menu->installEventFilter(this);
    for (QAction* a : menu->actions())
        if (a->menu() != nullptr) watch(a->menu());
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::ActionAdded:
            if (auto* added = static_cast<QActionEvent*>(event)->action(); added != nullptr && added->menu() != nullptr)
                watch(added->menu());
            changed();
            break;
        case QEvent::ActionChanged:
        case QEvent::ActionRemoved:
            changed();
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

// Many changes in one pass of the event loop make one new layout.
void DBusMenuExporter::changed() {
    if (announcing_) return;
    announcing_ = true;
    QTimer::singleShot(0, this, [this] {
        announcing_ = false;
        ++revision_;
        emit layoutUpdated(revision_, 0);
    });
}

int DBusMenuExporter::idOf(QAction* action) {
    auto found = ids_.find(action);
    if (found != ids_.end()) return found.value();
    const int id = nextId_++;
    ids_.insert(action, id);
    actions_.insert(id, action);
    connect(action, &QObject::destroyed, this, [this, action, id] {
        ids_.remove(action);
        actions_.remove(id);
    });
    return id;
}

QMenu* DBusMenuExporter::menuOf(int id) const {
    if (id == 0) return root_;
    QAction* a = action(id);
    return a != nullptr ? a->menu() : nullptr;
}

QVariantMap DBusMenuExporter::propertiesOf(int id) {
    QVariantMap p;
    if (id == 0) {
        if (root_ != nullptr) p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        return p;
    }
    QAction* a = action(id);
    if (a == nullptr) return p;
    if (a->isSeparator()) {
        p.insert(QStringLiteral("type"), QStringLiteral("separator"));
        p.insert(QStringLiteral("visible"), a->isVisible());
        return p;
    }
    // The menu protocol marks mnemonics with '_' where Qt uses '&'.
    QString label = a->text();
    label.replace(QLatin1Char('_'), QStringLiteral("__"));
    label.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    label.replace(QLatin1Char('&'), QLatin1Char('_'));
    label.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    p.insert(QStringLiteral("label"), label);
    p.insert(QStringLiteral("enabled"), a->isEnabled());
    p.insert(QStringLiteral("visible"), a->isVisible());
    if (a->isCheckable()) {
        const bool radio = a->actionGroup() != nullptr && a->actionGroup()->isExclusive();
        p.insert(QStringLiteral("toggle-type"), radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
        p.insert(QStringLiteral("toggle-state"), a->isChecked() ? 1 : 0);
    }
    if (a->menu() != nullptr) p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    return p;
}

namespace {

QVariantMap Only(const QVariantMap& all, const QStringList& names) {
    if (names.isEmpty()) return all;
    QVariantMap some;
    for (const QString& n : names)
        if (all.contains(n)) some.insert(n, all.value(n));
    return some;
}

}  // namespace

MenuLayout DBusMenuExporter::layout(int parentId, int depth, const QStringList& names) {
    MenuLayout entry;
    entry.id = parentId;
    entry.properties = Only(propertiesOf(parentId), names);
    QMenu* menu = menuOf(parentId);
    if (menu == nullptr || depth == 0) return entry;
    for (QAction* a : menu->actions()) entry.children << layout(idOf(a), depth < 0 ? -1 : depth - 1, names);
    return entry;
}

MenuItemPropertiesList DBusMenuExporter::properties(const QList<int>& ids, const QStringList& names) {
    MenuItemPropertiesList list;
    for (int id : ids) {
        if (id != 0 && action(id) == nullptr) continue;
        list << MenuItemProperties{id, Only(propertiesOf(id), names)};
    }
    return list;
}

bool DBusMenuExporter::handleEvent(int id, const QString& eventId) {
    QAction* a = action(id);
    if (id != 0 && a == nullptr) return false;
    if (eventId == QLatin1String("clicked") && a != nullptr && a->isEnabled() && a->menu() == nullptr) a->trigger();
    else if (eventId == QLatin1String("opened")) aboutToShow(id);
    return true;
}

bool DBusMenuExporter::aboutToShow(int id) {
    QMenu* menu = menuOf(id);
    if (menu == nullptr) return false;
    // The menu's owner refreshes its entries (the profiles) as it would
    // before showing the menu itself.
    const uint before = revision_;
    const bool pending = announcing_;
    emit menu->aboutToShow();
    return pending || announcing_ || revision_ != before;
}

}  // namespace tavro::control

#include "StatusNotifierItem.moc"
