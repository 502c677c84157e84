// What the app says when something is missing or broken: no daemon, an old
// segment in the record's way, a settings file that cannot be written.
// Each case runs in a process of its own (ctest names the function).
#include "AppTest.h"
#include "DaemonPage.h"
#include "PointingPage.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"

#include <QAbstractButton>
#include <QDoubleSpinBox>

#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/shm.h>

using namespace tavro::test;

class ProblemsTest : public QObject {
    Q_OBJECT
private slots:
    void noDaemon() {
        unsetenv("XDG_RUNTIME_DIR");
        AppWindow app;
        QTRY_VERIFY_WITH_TIMEOUT(app.window.problemLine().contains(QLatin1String("No device daemon is running")), 3000);
        app.window.showPage(QStringLiteral("pointing"));
        auto* page = app.window.pointingPage();
        QTRY_VERIFY_WITH_TIMEOUT(page->daemonLine().contains(QLatin1String("No device daemon runs")), 3000);
        QVERIFY(!page->findChild<QAbstractButton*>(QStringLiteral("mode-smart"))->isEnabled());
        app.window.showPage(QStringLiteral("daemon"));
        auto* daemon = app.window.daemonPage();
        QTRY_COMPARE_WITH_TIMEOUT(daemon->stateText(), QStringLiteral("not running"), 3000);
        // The test has no user manager (no XDG_RUNTIME_DIR): the page says so.
        QVERIFY2(daemon->serviceLine().contains(QLatin1String("No systemd user manager runs")),
                 qPrintable(daemon->serviceLine()));
    }

    void staleSegment() {
        // A segment of another size under the record's key.
        const int id = shmget(TAVRO_SHARED_MEMORY_KEY, 100, IPC_CREAT | 0666);
        QVERIFY(id >= 0);
        AppWindow app;
        QTRY_VERIFY_WITH_TIMEOUT(app.window.problemLine().contains(QLatin1String("ipcrm -M 1103")), 3000);
        QVERIFY(app.reader.record() == nullptr);
        for (const QString& page : tavro::control::MainWindow::PageNames()) {
            app.window.showPage(page);
            QTest::qWait(100);
        }
        shmctl(id, IPC_RMID, nullptr);
    }

    void readOnlySettingsFile() {
        SimulatedDevice device({"--pattern", "still", "--rate", "0"});
        QVERIFY(device.running);
        AppWindow app;
        app.window.showPage(QStringLiteral("pointing"));
        SharedDeviceState* record = app.reader.record();
        QVERIFY(record != nullptr);
        // The settings file made read-only for this process alone (root
        // would write a file of mode 0444 all the same).
        const std::string file = std::string(getenv("HOME")) + "/.QuorVel/Tavro.xml";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, file.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            QSKIP("no private mount namespace here");
        const std::string before = ReadFile(file);
        const double old = tavro::LoadField(record->StabThresh);
        auto* spin = app.window.pointingPage()->findChild<QDoubleSpinBox*>(QStringLiteral("StabThresh"));
        QVERIFY(spin != nullptr);
        QTest::qWait(300);
        spin->setValue(old + 1.5);
        const QString message = app.window.pointingPage()->message();
        QVERIFY2(message.contains(QLatin1String("StabThresh is not changed")) &&
                     message.contains(QLatin1String("Read-only file system")),
                 qPrintable(message));
        QCOMPARE(spin->value(), old);
        QCOMPARE(tavro::LoadField(record->StabThresh), old);
        QCOMPARE(ReadFile(file), before);
    }
};

TAVRO_APP_TEST_MAIN(ProblemsTest)
#include "problems_test.moc"
