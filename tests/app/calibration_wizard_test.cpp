// The calibration wizard against the simulator and the daemon: a simulated
// handset aims at the four targets and presses its centre key at each; the
// wizard must fit the calibration the aims were made from, and then write
// exactly the four calibration keys (Store), nothing (Discard, Escape), or
// say why it could not (a read-only settings file) and keep the old one.
#include "AppTest.h"
#include "CalibrationFit.h"
#include "CalibrationPage.h"
#include "CalibrationWizard.h"
#include "RecordAccess.h"
#include "SettingsKeys.h"
#include "SharedDeviceState.h"

#include <signal.h>
#include <sys/mount.h>
#include <sched.h>

#include <QPushButton>

#include <cmath>
#include <cstring>

using namespace tavro::test;
using tavro::control::CalibrationWizard;

namespace {

// The calibration the simulated aims are made from (the settings' defaults
// are 5, -250, 5, -340, so that every key must change).
constexpr double kMx = 4.2, kBx = -180, kMy = 3.8, kBy = -120;
// The handset holds the camera's centre this long, so that the wizard is
// open before the first aim.
constexpr double kLeadIn = 5.0;

std::string SettingsPath() { return std::string(getenv("HOME")) + "/.QuorVel/Tavro.xml"; }

#define FIELD(name) std::make_pair(offsetof(SharedDeviceState, name), sizeof(SharedDeviceState::name))

// Every settings key's bytes in the record, and the pointer's fields of the
// running daemon.
std::vector<uint8_t> SettingsInRecord(const SharedDeviceState* record) {
    std::vector<uint8_t> all(sizeof(SharedDeviceState)), settings;
    tavro::LoadBytes(record, all.data(), all.size());
    std::vector<std::pair<size_t, size_t>> fields = {FIELD(ActivateCursor), FIELD(DirectPoint), FIELD(SmartPoint),
                                                     FIELD(MoveAtBoundary)};
    for (const SettingKey& key : kSettingKeys) fields.emplace_back(key.offset, key.size);
    for (const auto& [offset, size] : fields)
        settings.insert(settings.end(), all.begin() + offset, all.begin() + offset + size);
    return settings;
}

// The element names of the lines that differ (files of the same length in lines).
QStringList ChangedKeys(const std::string& a, const std::string& b) {
    const QStringList la = QString::fromStdString(a).split(QLatin1Char('\n'));
    const QStringList lb = QString::fromStdString(b).split(QLatin1Char('\n'));
    if (la.size() != lb.size()) return {QStringLiteral("(line count)")};
    QStringList changed;
    for (int i = 0; i < la.size(); ++i)
        if (la[i] != lb[i]) changed << lb[i].trimmed().section(QLatin1Char('>'), 0, 0).mid(1);
    return changed;
}

bool MakeSettingsReadOnly() {
    const std::string file = SettingsPath();
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, file.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

}  // namespace

class CalibrationWizardTest : public QObject {
    Q_OBJECT
private slots:
    void aimedTargetsGiveTheirCalibration_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("store") << QStringLiteral("store");
        QTest::newRow("discard") << QStringLiteral("discard");
        QTest::newRow("read-only-file") << QStringLiteral("read-only");
    }
    void aimedTargetsGiveTheirCalibration() {
        QFETCH(QString, ending);
        SimulatedDevice device({"--script", Script("aims.script", CalibrationAimsScript(CalibrationWizard::kTargets, CalibrationWizard::kMarginPercent,
                                                                               kMx, kBx, kMy, kBy, kLeadIn))});
        QVERIFY(device.running);
        AppWindow app;
        QVERIFY(app.window.showPage(QStringLiteral("calibration")));
        SharedDeviceState* record = app.reader.record();
        QVERIFY(record != nullptr);
        if (ending == QLatin1String("read-only") && !MakeSettingsReadOnly()) QSKIP("no private mount namespace here");
        const std::string fileBefore = ReadFile(SettingsPath());
        const std::vector<uint8_t> settingsBefore = SettingsInRecord(record);

        QPointer<CalibrationWizard> wizard = app.window.calibrationPage()->openWizard();
        QVERIFY(wizard != nullptr);
        QVERIFY2(tavro::LoadField(record->RawX[0]) == 176.0, "the handset left the centre before the wizard opened");
        QTRY_VERIFY2_WITH_TIMEOUT(wizard->step() == CalibrationWizard::Step::Result, qPrintable(wizard->text()), 20000);
        // Aiming wrote nothing, to the record's settings or the file.
        QVERIFY(SettingsInRecord(record) == settingsBefore);
        QVERIFY(ReadFile(SettingsPath()) == fileBefore);
        const tavro::calibration::Calibration fit = wizard->fit().calibration;
        QVERIFY2(std::fabs(fit.mx - kMx) < 0.01 && std::fabs(fit.bx - kBx) < 1.0 && std::fabs(fit.my - kMy) < 0.01 &&
                     std::fabs(fit.by - kBy) < 1.0 && wizard->fit().rmsError < 1.0,
                 qPrintable(wizard->text()));

        auto* page = app.window.calibrationPage();
        if (ending == QLatin1String("store")) {
            wizard->storeButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(wizard == nullptr, 2000);  // closed and deleted
            QVERIFY2(page->message().contains(QLatin1String("stored in")), qPrintable(page->message()));
            QStringList changed = ChangedKeys(fileBefore, ReadFile(SettingsPath()));
            changed.sort();
            QCOMPARE(changed, (QStringList{QStringLiteral("Bx"), QStringLiteral("By"), QStringLiteral("Mx"),
                                           QStringLiteral("My")}));
            QCOMPARE(tavro::LoadField(record->Mx), fit.mx);
            QCOMPARE(tavro::LoadField(record->By), fit.by);
            QVERIFY2(page->valuesText().startsWith(QStringLiteral("Mx = %1").arg(fit.mx, 0, 'f', 4)),
                     qPrintable(page->valuesText()));
        } else if (ending == QLatin1String("discard")) {
            wizard->discardButton()->click();
            QTRY_VERIFY_WITH_TIMEOUT(wizard == nullptr, 2000);  // closed and deleted
            QVERIFY2(page->message().contains(QLatin1String("discarded")), qPrintable(page->message()));
            QVERIFY(ReadFile(SettingsPath()) == fileBefore);
            QVERIFY(SettingsInRecord(record) == settingsBefore);
        } else {
            wizard->storeButton()->click();
            QCOMPARE(wizard->step(), CalibrationWizard::Step::Result);
            QVERIFY2(wizard->text().contains(QLatin1String("Read-only file system")), qPrintable(wizard->text()));
            // The previous calibration stays in use, as the file still has it.
            QVERIFY(SettingsInRecord(record) == settingsBefore);
            QVERIFY(ReadFile(SettingsPath()) == fileBefore);
            // Again starts over at the first target.
            wizard->againButton()->click();
            QCOMPARE(wizard->step(), CalibrationWizard::Step::Aiming);
            QCOMPARE(wizard->currentTarget(), 0);
        }
    }

    void keyboardConfirmsGoesBackAndCancels() {
        SimulatedDevice device({"--pattern", "still"});
        QVERIFY(device.running);
        AppWindow app;
        SharedDeviceState* record = app.reader.record();
        QVERIFY(record != nullptr);
        const std::string fileBefore = ReadFile(SettingsPath());
        const std::vector<uint8_t> settingsBefore = SettingsInRecord(record);
        QPointer<CalibrationWizard> wizard = app.window.calibrationPage()->openWizard();
        QVERIFY(wizard != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(wizard->text().contains(QLatin1String("Handset seen.")), 5000);
        // The offscreen screen is not the daemon's 1920 x 1080 desktop: the targets would be off.
        QVERIFY2(wizard->isFullScreen() && wizard->text().contains(QLatin1String("desktop of 1920 x 1080")),
                 qPrintable(wizard->text()));
        QTest::qWait(200);  // a few aims to average
        QTest::keyClick(wizard, Qt::Key_Return);
        QCOMPARE(wizard->currentTarget(), 1);
        QTest::keyClick(wizard, Qt::Key_Space);
        QCOMPARE(wizard->currentTarget(), 2);
        QTest::keyClick(wizard, Qt::Key_Backspace);
        QCOMPARE(wizard->currentTarget(), 1);
        QTest::keyClick(wizard, Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(wizard == nullptr, 2000);  // closed and deleted
        QVERIFY2(app.window.calibrationPage()->message().contains(QLatin1String("cancelled")),
                 qPrintable(app.window.calibrationPage()->message()));
        QVERIFY(ReadFile(SettingsPath()) == fileBefore);
        QVERIFY(SettingsInRecord(record) == settingsBefore);

        // Packets stop mid-way: the wizard says so and takes no stale aim.
        wizard = app.window.calibrationPage()->openWizard();
        QVERIFY(wizard != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(wizard->text().contains(QLatin1String("Handset seen.")), 5000);
        device.simulator->signal(SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(wizard->text().contains(QLatin1String("No packet for")), 5000);
        QTest::keyClick(wizard, Qt::Key_Return);
        QCOMPARE(wizard->currentTarget(), 0);
        QVERIFY2(wizard->text().contains(QLatin1String("The aim was not taken")), qPrintable(wizard->text()));
        device.simulator->signal(SIGCONT);
    }

    void noDaemonSaysSo() {
        AppWindow app;
        auto* page = app.window.calibrationPage();
        // The record is attached, but no daemon fills it.
        QPointer<CalibrationWizard> wizard = page->openWizard();
        QVERIFY2(wizard != nullptr, qPrintable(page->message()));
        QTRY_VERIFY_WITH_TIMEOUT(wizard->text().contains(QLatin1String("No device daemon is running")), 5000);
        QTest::keyClick(wizard, Qt::Key_Space);
        QCOMPARE(wizard->currentTarget(), 0);
    }
};

TAVRO_APP_TEST_MAIN(CalibrationWizardTest)
#include "calibration_wizard_test.moc"
