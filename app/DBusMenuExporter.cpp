#include "DBusMenuExporter.h"

#include <QActionEvent>
#include <QActionGroup>
#include <QApplication>
#include <QDBusAbstractAdaptor>
#include <QEvent>
#include <QTimer>

namespace tavro::control {

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

DBusMenuExporter::DBusMenuExporter(QMenu* menu, QObject* parent) : QObject(parent), root_(menu) {
    RegisterSniTypes();
    new MenuAdaptor(this);
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

#include "DBusMenuExporter.moc"
