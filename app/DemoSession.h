// tavro-control --demo: a simulated receiver and a device daemon of the
// app's own, so that every page works without hardware.  They run in a
// private IPC namespace where the system allows one (so that the machine's
// record and a running tavrod are left alone), with a temporary home that
// starts as a copy of the user's settings (so that the demo's changes are
// not saved over them), and the daemon moves no pointer of the desktop.
#ifndef TAVRO_CONTROL_DEMO_SESSION_H
#define TAVRO_CONTROL_DEMO_SESSION_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace tavro::control {

class DemoSession {
public:
    // Moves the process into a private IPC namespace.  Must run before any
    // thread starts (before QApplication).  False with *why the system's
    // reason when it cannot.
    static bool EnterPrivateIpcNamespace(QString* why);

    DemoSession();
    ~DemoSession();  // stops the daemon, then the simulator

    // Makes the temporary home (HOME for this process and its children),
    // starts the simulator and the daemon on it; false with *error one line.
    // `width` x `height` is the desktop the daemon maps positions to.
    bool start(bool privateIpc, int width, int height, QString* error);
    void stop();
    // The simulator and the daemon to run (by default tavro-sim and tavrod
    // beside the app, else in the build tree's tools/, else on the PATH).
    void setPrograms(const QString& simulator, const QString& daemon) {
        simulatorProgram_ = simulator;
        daemonProgram_ = daemon;
    }

    // The line the app shows while the demo runs.
    QString banner() const { return banner_; }
    // The daemon's standard error, its log.
    QString logFile() const;
    qint64 daemonPid() const;

private:
    QString program(const QString& name) const;
    std::unique_ptr<QTemporaryDir> home_;
    QProcess simulator_;
    QProcess daemon_;
    QString banner_;
    QString simulatorProgram_, daemonProgram_;
};

}  // namespace tavro::control

#endif
