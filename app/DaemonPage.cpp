#include "DaemonPage.h"

#include "TrayAutostart.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace tavro::control {

namespace {

constexpr int kLogLines = 40;
// The log and the service's state are looked at every this many ticks.
constexpr int kSlowTicks = 60;

QLabel* Value(QWidget* parent, const QString& name) {
    auto* label = new QLabel(parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    label->setAccessibleName(name);
    label->setFocusPolicy(Qt::TabFocus);
    return label;
}

}  // namespace

bool DaemonPage::UserManagerRuns() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/systemd/private")) &&
           !QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty();
}

DaemonPage::DaemonPage(RecordReader* reader, QWidget* parent) : QWidget(parent), reader_(reader) {
    auto* facts = new QGroupBox(tr("Device daemon"), this);
    auto* form = new QFormLayout(facts);
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    state_ = Value(facts, tr("Daemon state"));
    receiver_ = Value(facts, tr("Receiver"));
    output_ = Value(facts, tr("Output"));
    reason_ = Value(facts, tr("Why this output"));
    screen_ = Value(facts, tr("Screen size"));
    settings_ = Value(facts, tr("Settings file in use"));
    filter_ = Value(facts, tr("Filter in use"));
    form->addRow(tr("State:"), state_);
    form->addRow(tr("Receiver:"), receiver_);
    form->addRow(tr("Output:"), output_);
    form->addRow(tr("Why:"), reason_);
    form->addRow(tr("Screen:"), screen_);
    form->addRow(tr("Settings file:"), settings_);
    form->addRow(tr("Filter:"), filter_);

    auto* service = new QGroupBox(tr("Service"), this);
    auto* serviceLayout = new QVBoxLayout(service);
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(tr("&Start"), service);
    start_->setAccessibleName(tr("Start the daemon"));
    stop_ = new QPushButton(tr("S&top"), service);
    stop_->setAccessibleName(tr("Stop the daemon"));
    enable_ = new QCheckBox(tr("Start at &login"), service);
    enable_->setAccessibleName(tr("Start the daemon at every login"));
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addWidget(enable_);
    trayAtLogin_ = new QCheckBox(tr("Start the t&ray icon at login"), service);
    trayAtLogin_->setObjectName(QStringLiteral("trayAtLogin"));
    trayAtLogin_->setAccessibleName(tr("Start the tray icon at login"));
    trayAtLogin_->setToolTip(TrayAutostartPath());
    trayAtLogin_->setChecked(TrayAutostartEnabled());
    buttons->addWidget(trayAtLogin_);
    buttons->addStretch();
    serviceLayout->addLayout(buttons);
    service_ = new QLabel(service);
    service_->setWordWrap(true);
    service_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    service_->setAccessibleName(tr("Service manager"));
    serviceLayout->addWidget(service_);
    connect(start_, &QPushButton::clicked, this,
            [this] { systemctl({QStringLiteral("start"), QStringLiteral("tavrod")}, tr("start")); });
    connect(stop_, &QPushButton::clicked, this,
            [this] { systemctl({QStringLiteral("stop"), QStringLiteral("tavrod")}, tr("stop")); });
    connect(enable_, &QCheckBox::clicked, this, [this](bool on) {
        systemctl({on ? QStringLiteral("enable") : QStringLiteral("disable"), QStringLiteral("tavrod")},
                  on ? tr("enable") : tr("disable"));
    });

    trayLine_ = new QLabel(service);
    trayLine_->setWordWrap(true);
    trayLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    trayLine_->setAccessibleName(tr("Tray icon at login"));
    trayLine_->hide();
    serviceLayout->addWidget(trayLine_);
    connect(trayAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
        QString error;
        const bool done = SetTrayAutostart(on, &error);
        if (!done) trayAtLogin_->setChecked(!on);
        trayLine_->setText(!done ? tr("The tray icon's autostart is not changed: %1").arg(error)
                           : on  ? tr("The tray icon starts at login (%1).").arg(TrayAutostartPath())
                                 : tr("The tray icon no longer starts at login."));
        trayLine_->show();
    });

    auto* logBox = new QGroupBox(tr("Last log lines"), this);
    auto* logLayout = new QVBoxLayout(logBox);
    log_ = new QPlainTextEdit(logBox);
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_->setAccessibleName(tr("The daemon's last log lines"));
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    logLayout->addWidget(log_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(facts);
    layout->addWidget(service);
    layout->addWidget(logBox, 1);

    connect(&journal_, &QProcess::finished, this, [this] {
        const QString text = QString::fromLocal8Bit(journal_.readAllStandardOutput()).trimmed();
        log_->setPlainText(text.isEmpty() ? tr("(no log lines of tavrod in the journal)") : text);
        log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
    });
    connect(&control_, &QProcess::finished, this, [this](int status) {
        const QString said = QString::fromLocal8Bit(control_.readAllStandardError()).trimmed().section(QLatin1Char('\n'), 0, 0);
        service_->setText(status == 0 ? tr("systemctl --user %1 tavrod: done.").arg(control_.property("what").toString())
                                      : tr("systemctl --user %1 tavrod failed: %2")
                                            .arg(control_.property("what").toString(),
                                                 said.isEmpty() ? tr("exit status %1").arg(status) : said));
        ticks_ = 0;
    });
    connect(reader_, &RecordReader::updated, this, &DaemonPage::refresh);
}

QString DaemonPage::trayLine() const { return trayLine_->text(); }

void DaemonPage::setDemo(const QString& logFile) { demoLog_ = logFile; }

QString DaemonPage::serviceLine() const { return service_->text(); }
QString DaemonPage::stateText() const { return state_->text(); }

void DaemonPage::systemctl(const QStringList& arguments, const QString& what) {
    if (control_.state() != QProcess::NotRunning) return;
    control_.setProperty("what", what);
    service_->setText(tr("systemctl --user %1 tavrod ...").arg(what));
    control_.start(QStringLiteral("systemctl"), QStringList{QStringLiteral("--user")} + arguments);
}

void DaemonPage::readLog() {
    if (!demoLog_.isEmpty()) {
        QFile file(demoLog_);
        if (!file.open(QIODevice::ReadOnly)) return;
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        QStringList last;
        for (qsizetype i = std::max<qsizetype>(0, lines.size() - kLogLines); i < lines.size(); ++i)
            last << QString::fromLocal8Bit(lines[i]);
        log_->setPlainText(last.join(QLatin1Char('\n')));
        return;
    }
    if (journal_.state() != QProcess::NotRunning) return;
    if (QStandardPaths::findExecutable(QStringLiteral("journalctl")).isEmpty()) {
        log_->setPlainText(tr("journalctl is not installed: tavrod's lines are in the system log "
                              "(identity Tavro) and on its standard error."));
        return;
    }
    // The unit's lines where the user's manager runs it; else every line the
    // kit logged (identity Tavro).
    QStringList arguments{QStringLiteral("--no-pager"), QStringLiteral("-q"), QStringLiteral("-n"),
                          QString::number(kLogLines), QStringLiteral("-o"), QStringLiteral("short")};
    if (UserManagerRuns()) arguments << QStringLiteral("--user") << QStringLiteral("-u") << QStringLiteral("tavrod");
    else arguments << QStringLiteral("-t") << QStringLiteral("Tavro");
    journal_.start(QStringLiteral("journalctl"), arguments);
}

void DaemonPage::refresh() {
    if (!isVisible() && ticks_ > 0) return;
    const KitState& s = reader_->state();
    state_->setText(s.daemonRunning ? tr("running (process %1)").arg(s.daemonPid) : tr("not running"));
    receiver_->setText(!s.daemonRunning ? tr("-")
                       : s.receiverConnected
                           ? tr("%1, connected").arg(s.receiverPath)
                           : tr("%1, not connected (the daemon waits for it)").arg(s.receiverPath));
    output_->setText(s.daemonRunning && !s.output.isEmpty() ? s.output : tr("-"));
    reason_->setText(s.daemonRunning && !s.outputReason.isEmpty() ? s.outputReason : tr("-"));
    screen_->setText(s.daemonRunning && s.screenWidth > 0
                         ? tr("%1 x %2 pixels").arg(s.screenWidth).arg(s.screenHeight)
                         : tr("-"));
    settings_->setText(s.settingsFile.isEmpty() ? tr("-") : s.settingsFile);
    filter_->setText(s.daemonRunning ? s.filter : tr("-"));

    if (ticks_++ % kSlowTicks != 0) return;
    const bool manager = demoLog_.isEmpty() && UserManagerRuns();
    start_->setEnabled(manager && !s.daemonRunning);
    stop_->setEnabled(manager && s.daemonRunning);
    enable_->setEnabled(manager);
    // The demo runs on a copy of HOME: an entry there would start nothing.
    trayAtLogin_->setEnabled(demoLog_.isEmpty());
    trayAtLogin_->setChecked(TrayAutostartEnabled());
    if (!demoLog_.isEmpty())
        service_->setText(tr("The demo's own daemon runs on a simulated receiver and ends with this window; "
                             "the service controls and the tray icon's autostart are off."));
    else if (!manager)
        service_->setText(tr("No systemd user manager runs for you here ($XDG_RUNTIME_DIR/systemd/private is "
                             "missing), so tavrod cannot be started as a service: run \"tavrod\" in a terminal "
                             "of your session instead."));
    else if (control_.state() == QProcess::NotRunning && service_->text().isEmpty())
        service_->setText(tr("tavrod runs as the user service tavrod.service."));
    if (manager && control_.state() == QProcess::NotRunning) {
        QProcess query;
        query.start(QStringLiteral("systemctl"),
                    {QStringLiteral("--user"), QStringLiteral("is-enabled"), QStringLiteral("tavrod")});
        if (query.waitForFinished(1000)) enable_->setChecked(query.readAllStandardOutput().trimmed() == "enabled");
    }
    readLog();
}

}  // namespace tavro::control
