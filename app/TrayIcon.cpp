#include "TrayIcon.h"

#include "BindingsFile.h"
#include "MainWindow.h"
#include "PointerSwitch.h"
#include "ProfileRequest.h"
#include "StatusNotifierItem.h"

#include <QAction>
#include <QActionGroup>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>
#include <QPainter>
#include <QTimer>

#include <cstdio>

namespace tavro::control {

namespace {

// How long the daemon has to take up a profile switch (it looks every
// few hundred milliseconds).
constexpr int kProfilePickUpMs = 2000;

// The app's icon with a dot in its corner telling the state.
QIcon Badged(const QIcon& base, const QColor& dot) {
    QIcon icon;
    for (int side : {16, 22, 32, 48, 64}) {
        QPixmap pixmap = base.pixmap(side, side);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Qt::white, std::max(1.0, side / 24.0)));
        p.setBrush(dot);
        const double r = side * 0.22;
        p.drawEllipse(QPointF(side - r - 1, side - r - 1), r, r);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

enum IconKind { kNormal, kAttention, kIdle };

}  // namespace

TrayIcon::TrayIcon(RecordReader* reader, QObject* parent) : QObject(parent), reader_(reader), menu_(new QMenu) {
    menu_->setAccessibleName(tr("Tavro tray menu"));
    summary_ = menu_->addAction(QString());
    summary_->setEnabled(false);
    menu_->addSeparator();
    pointer_ = menu_->addAction(tr("&Pointer follows the handset"));
    pointer_->setObjectName(QStringLiteral("pointer"));
    pointer_->setCheckable(true);
    connect(pointer_, &QAction::triggered, this, &TrayIcon::switchPointer);
    profiles_ = menu_->addMenu(tr("Key &bindings profile"));
    profiles_->setObjectName(QStringLiteral("profiles"));
    profileGroup_ = new QActionGroup(this);
    profileGroup_->setExclusive(true);
    connect(profiles_, &QMenu::aboutToShow, this, &TrayIcon::readProfiles);
    outcome_ = menu_->addAction(QString());
    outcome_->setEnabled(false);
    outcome_->setVisible(false);
    menu_->addSeparator();
    QAction* open = menu_->addAction(tr("&Open Tavro Control"));
    open->setObjectName(QStringLiteral("open"));
    connect(open, &QAction::triggered, this, &TrayIcon::openRequested);
    QAction* quit = menu_->addAction(tr("&Quit"));
    quit->setObjectName(QStringLiteral("quit"));
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);

    normal_ = AppIcon();
    attention_ = Badged(normal_, QColor(0xc0, 0x39, 0x2b));
    idle_ = Badged(normal_, QColor(0x95, 0xa5, 0xa6));
    item_ = new StatusNotifierItem(QStringLiteral("tavro-control"), menu_, this);
    item_->setTitle(tr("Tavro Control"));
    item_->setAttentionIcon(attention_);
    connect(item_, &StatusNotifierItem::activated, this, &TrayIcon::openRequested);
    connect(item_, &StatusNotifierItem::failed, this, [](const QString& why) {
        std::fprintf(stderr, "tavro-control: %s\n", why.toLocal8Bit().constData());
    });
    connect(reader_, &RecordReader::updated, this, &TrayIcon::refresh);
    // A bindings file edited meanwhile brings new profiles.
    connect(&profilesFile_, &FileWatch::changed, this, &TrayIcon::readProfiles);
    readProfiles();
    refresh();
}

TrayIcon::~TrayIcon() {
    delete item_;  // off the bus before the menu it exports goes
    item_ = nullptr;
    delete menu_;
}

bool TrayIcon::show(QString* error, bool* another) {
    if (another != nullptr) *another = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString name = QString::fromLatin1(kBusName);
    if (bus.isConnected()) {
        const auto taken = bus.interface()->registerService(name, QDBusConnectionInterface::DontQueueService,
                                                            QDBusConnectionInterface::DontAllowReplacement);
        if (taken.isValid() && taken.value() != QDBusConnectionInterface::ServiceRegistered) {
            if (another != nullptr) *another = true;
            *error = tr("another tavro-control shows the tray icon already (it owns %1 on the session bus)").arg(name);
            return false;
        }
    }
    if (item_->start(error)) return true;
    if (bus.isConnected()) bus.unregisterService(name);
    return false;
}

void TrayIcon::refresh() {
    const KitState& s = reader_->state();
    using Problem = KitState::Problem;
    const QString profile = s.profile.isEmpty() ? QString::fromLatin1(kBuiltinProfile) : s.profile;
    QString summary;
    int kind = kNormal;
    StatusNotifierItem::Status status = StatusNotifierItem::Status::Active;
    switch (s.problem) {
        case Problem::None:
            summary = tr("Receiver connected; handset %1 active").arg(s.activeHandset);
            break;
        case Problem::NoPackets:
        case Problem::Stale:
            // The handsets are off or away: the usual state when nobody points.
            summary = tr("Receiver connected; no handset is sending");
            kind = kIdle;
            status = StatusNotifierItem::Status::Passive;
            break;
        case Problem::NoReceiver:
            summary = tr("No receiver");
            kind = kAttention;
            status = StatusNotifierItem::Status::NeedsAttention;
            break;
        case Problem::NoDaemon:
        case Problem::NoRecord:
        case Problem::StaleRecord:
            summary = tr("No device daemon");
            kind = kAttention;
            status = StatusNotifierItem::Status::NeedsAttention;
            break;
    }
    QStringList lines{summary};
    if (s.daemonRunning)
        lines << (s.pointerOn ? tr("Pointer on, %1 mode").arg(s.pointingMode) : tr("Pointer off"))
              << tr("Profile: %1").arg(profile);
    // The cause and the fix where something is wrong; not the idle line,
    // whose count of seconds would tell the panel of a new tooltip each tick.
    if (kind == kAttention && !s.problemText.isEmpty()) lines << s.problemText;
    item_->setToolTip(tr("Tavro Control"), lines.join(QLatin1Char('\n')));
    item_->setStatus(status);
    if (kind != iconKind_) {
        iconKind_ = kind;
        item_->setIcon(kind == kNormal ? normal_ : kind == kAttention ? attention_ : idle_);
    }

    if (summary_->text() != summary) summary_->setText(summary);
    if (pointer_->isEnabled() != s.daemonRunning) pointer_->setEnabled(s.daemonRunning);
    if (pointer_->isChecked() != s.pointerOn) pointer_->setChecked(s.pointerOn);
    if (profiles_->menuAction()->isEnabled() != s.daemonRunning) profiles_->menuAction()->setEnabled(s.daemonRunning);

    if (!pendingProfile_.isEmpty() && s.profile == pendingProfile_) {
        say(tr("Profile: %1.").arg(pendingProfile_), false);
        pendingProfile_.clear();
    }
    if (profile != shownProfile_) {
        shownProfile_ = profile;
        for (QAction* a : profileGroup_->actions())
            if (a->data().toString() == profile) a->setChecked(true);
    }
    // The demo moves HOME to a copy of its own, and its bindings file with it.
    if (QString::fromStdString(DefaultBindingsPath()) != profilesFile_.path()) readProfiles();
}

void TrayIcon::readProfiles() {
    const std::string path = DefaultBindingsPath();
    if (profilesFile_.path() != QString::fromStdString(path)) profilesFile_.setPath(QString::fromStdString(path));
    profilesFile_.markSeen();
    Bindings bindings;
    std::vector<std::string> problems;
    QStringList names;
    QString problem;
    if (ReadBindingsFile(path, &bindings, &problems)) {
        for (const std::string& name : cli::ProfileNames(bindings)) names << QString::fromStdString(name);
    } else {
        // path:line:column: what is wrong, so that the line can be found.
        problem = QString::fromStdString(problems.front());
        names << QString::fromLatin1(kBuiltinProfile);
    }
    if (names == profileNames_ && problem == profilesProblem_) return;
    profileNames_ = names;
    profilesProblem_ = problem;
    profiles_->clear();
    for (QAction* a : profileGroup_->actions()) profileGroup_->removeAction(a);
    for (const QString& name : names) {
        QAction* a = profiles_->addAction(name);
        a->setObjectName(QStringLiteral("profile-%1").arg(name));
        a->setData(name);
        a->setCheckable(true);
        a->setChecked(name == shownProfile_);
        profileGroup_->addAction(a);
        connect(a, &QAction::triggered, this, [this, name] { switchProfile(name); });
    }
    if (!problem.isEmpty()) {
        QAction* line = profiles_->addAction(tr("The bindings file has an error: %1").arg(problem));
        line->setEnabled(false);
    }
}

void TrayIcon::switchPointer(bool on) {
    QString text;
    const bool done = SwitchPointer(reader_->record(), on, &text);
    if (!done) pointer_->setChecked(!on);
    say(text, !done);
}

void TrayIcon::switchProfile(const QString& name) {
    const std::string path = DefaultBindingsPath();
    Bindings bindings;
    std::vector<std::string> problems;
    std::string error;
    std::string wanted;
    if (!ReadBindingsFile(path, &bindings, &problems)) error = problems.front();
    else if (!cli::RequestProfile(bindings, name.toStdString(), cli::ReadDaemonView(), &wanted, &error)) wanted.clear();
    if (wanted.empty()) {
        // The check stays on the profile the daemon uses.
        for (QAction* a : profileGroup_->actions()) a->setChecked(a->data().toString() == shownProfile_);
        return say(tr("The profile is not changed: %1").arg(QString::fromStdString(error)), true);
    }
    pendingProfile_ = QString::fromStdString(wanted);
    QTimer::singleShot(kProfilePickUpMs, this, [this, asked = pendingProfile_] {
        if (pendingProfile_ != asked) return;
        pendingProfile_.clear();
        for (QAction* a : profileGroup_->actions()) a->setChecked(a->data().toString() == shownProfile_);
        say(tr("The profile is not changed: the running tavrod did not switch to %1; see journalctl -t Tavro")
                .arg(asked),
            true);
    });
}

void TrayIcon::say(const QString& text, bool failure) {
    message_ = text;
    outcome_->setText(text);
    outcome_->setVisible(!text.isEmpty());
    if (failure) std::fprintf(stderr, "tavro-control: %s\n", text.toLocal8Bit().constData());
}

}  // namespace tavro::control
