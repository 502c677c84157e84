#include "DemoSession.h"

#include "BindingsFile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavro::control {

namespace {

bool WriteProcFile(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// How long the simulator and the daemon may take to start.
constexpr int kStartTimeoutMs = 8000;

}  // namespace

bool DemoSession::EnterPrivateIpcNamespace(QString* why) {
    if (unshare(CLONE_NEWIPC) == 0) return true;
    // Not privileged: as root of a user namespace of one's own.
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    WriteProcFile("/proc/self/setgroups", "deny");
    WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    return true;
}

DemoSession::DemoSession() = default;

DemoSession::~DemoSession() { stop(); }

QString DemoSession::program(const QString& name) const {
    // Installed side by side with the app, or in the build tree's tools/.
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {here + QLatin1Char('/') + name,
                                     here + QStringLiteral("/../tools/") + name + QLatin1Char('/') + name}) {
        if (QFileInfo(candidate).isExecutable()) return QFileInfo(candidate).canonicalFilePath();
    }
    return QStandardPaths::findExecutable(name);
}

QString DemoSession::logFile() const { return home_ ? home_->filePath(QStringLiteral("tavrod.log")) : QString(); }

qint64 DemoSession::daemonPid() const { return daemon_.processId(); }

bool DemoSession::start(bool privateIpc, int width, int height, QString* error) {
    const QString simulator = !simulatorProgram_.isEmpty() ? simulatorProgram_ : program(QStringLiteral("tavro-sim"));
    const QString daemon = !daemonProgram_.isEmpty() ? daemonProgram_ : program(QStringLiteral("tavrod"));
    if (simulator.isEmpty() || daemon.isEmpty()) {
        *error = QCoreApplication::translate("DemoSession",
                                             "the demo needs tavro-sim and tavrod beside tavro-control or on "
                                             "the PATH; install the kit's programs");
        return false;
    }
    home_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tavro-control-demo-XXXXXX"));
    if (!home_->isValid()) {
        *error = QCoreApplication::translate("DemoSession", "cannot make a temporary directory in %1: %2")
                     .arg(QDir::tempPath(), home_->errorString());
        return false;
    }
    // The user's settings, so that the demo starts from them.
    const QString own = QDir::homePath() + QStringLiteral("/.QuorVel/Tavro.xml");
    QDir(home_->path()).mkpath(QStringLiteral(".QuorVel"));
    if (QFile::exists(own)) QFile::copy(own, home_->filePath(QStringLiteral(".QuorVel/Tavro.xml")));
    // And the key bindings, which the Keys page then edits in the copy.
    const QString bindings = QString::fromStdString(tavro::DefaultBindingsPath());
    QDir(home_->path()).mkpath(QStringLiteral(".config/tavro"));
    if (QFile::exists(bindings)) QFile::copy(bindings, home_->filePath(QStringLiteral(".config/tavro/bindings.conf")));
    qputenv("HOME", home_->path().toLocal8Bit());
    qunsetenv("XDG_CONFIG_HOME");

    // The simulator and the daemon end with the app, however it ends.
    for (QProcess* process : {&simulator_, &daemon_})
        process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    simulator_.setProgram(simulator);
    simulator_.setArguments({QStringLiteral("--pattern"), QStringLiteral("circle"), QStringLiteral("--handsets"),
                             QStringLiteral("2"), QStringLiteral("--command-log"),
                             home_->filePath(QStringLiteral("commands.log"))});
    simulator_.setStandardErrorFile(home_->filePath(QStringLiteral("tavro-sim.log")));
    simulator_.start();
    QString tty;
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!simulator_.canReadLine() && simulator_.state() != QProcess::NotRunning && !deadline.hasExpired())
        simulator_.waitForReadyRead(100);
    if (simulator_.canReadLine()) tty = QString::fromLocal8Bit(simulator_.readLine()).trimmed();
    if (!tty.startsWith(QLatin1String("/dev/"))) {
        *error = QCoreApplication::translate("DemoSession", "the receiver simulator %1 did not start (see %2)")
                     .arg(simulator, home_->filePath(QStringLiteral("tavro-sim.log")));
        home_->setAutoRemove(false);
        return false;
    }

    // Positions are computed for this desktop's size; the pointer and keys go
    // nowhere, so that the demo does not take the user's pointer away.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("XDG_SESSION_TYPE"));
    daemon_.setProcessEnvironment(environment);
    daemon_.setProgram(daemon);
    daemon_.setArguments({QStringLiteral("--device"), tty, QStringLiteral("--output"), QStringLiteral("x11"),
                          QStringLiteral("--screen"), QStringLiteral("%1x%2").arg(width).arg(height)});
    daemon_.setStandardErrorFile(logFile());
    daemon_.start();
    bool running = false;
    while (!deadline.hasExpired() && daemon_.state() != QProcess::NotRunning) {
        QFile log(logFile());
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains("running the receiver")) {
            running = true;
            break;
        }
        daemon_.waitForFinished(50);
    }
    if (!running) {
        QFile log(logFile());
        QString last;
        if (log.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
            if (!lines.isEmpty()) last = QString::fromLocal8Bit(lines.last());
        }
        *error = QCoreApplication::translate("DemoSession", "the demo's device daemon did not start: %1")
                     .arg(last.isEmpty() ? QCoreApplication::translate("DemoSession", "it said nothing") : last);
        stop();
        return false;
    }
    banner_ = privateIpc
                  ? QCoreApplication::translate(
                        "DemoSession",
                        "Demo: a simulated receiver with two handsets and a device daemon of this window's own, "
                        "apart from the rest of the system; changes go to a temporary copy of your settings "
                        "and the desktop's pointer is left alone.")
                  : QCoreApplication::translate(
                        "DemoSession",
                        "Demo on the system's shared record (no private IPC namespace here): other programs "
                        "see the simulated handsets; changes go to a temporary copy of your settings.");
    return true;
}

void DemoSession::stop() {
    // The daemon first, so that it does not see its receiver vanish.
    for (QProcess* process : {&daemon_, &simulator_}) {
        if (process->state() == QProcess::NotRunning) continue;
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(1000);
        }
    }
}

}  // namespace tavro::control
