// tavro-control --demo as main() makes it (the demo's simulator with two
// handsets and its own daemon), and a picture of each page at 1280 x 800
// into build/screenshots/, at the normal density and twice it; and the
// calibration wizard at a target and with its fit, a simulated handset
// aiming at the targets.
#include "AppTest.h"
#include "CalibrationPage.h"
#include "CalibrationWizard.h"
#include "DaemonPage.h"
#include "DemoSession.h"
#include "ReceiverPage.h"

#include <QAbstractButton>
#include <QDir>
#include <QPlainTextEdit>

using namespace tavro::test;

class ScreenshotsTest : public QObject {
    Q_OBJECT
private slots:
    void everyPageAt1280x800() {
        // Bindings for the Keys page to show.
        WriteFile(std::string(getenv("HOME")) + "/.config/tavro/bindings.conf",
                  "# slides with the handset\nstart = slides\n[slides]\napplications = libreoffice-impress evince\n"
                  "right = key Page_Down\n"
                  "left = key Page_Up\nup hold 600 = key Escape\nleft+right = key F5\n"
                  "handset 2 menu = profile next\n[browser]\nright = key alt+Right\n");
        tavro::control::DemoSession demo;
        demo.setPrograms(QStringLiteral(TAVRO_SIM_PATH), QStringLiteral(TAVROD_PATH));
        QString error;
        QVERIFY2(demo.start(true, 1920, 1080, &error), qPrintable(error));
        AppWindow app;
        app.window.setNote(demo.banner());
        app.window.daemonPage()->setDemo(demo.logFile());
        QVERIFY(QDir().mkpath(QStringLiteral(SCREENSHOT_DIR)));
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.state().handsets[1].fresh, 5000);
        QVERIFY(app.window.problemLine().isEmpty());
        for (const QString& page : tavro::control::MainWindow::PageNames()) {
            app.window.showPage(page);
            if (page == QLatin1String("receiver")) {
                // The receiver's information as a reviewer would have asked for it.
                auto* receiver = app.window.receiverPage();
                receiver->findChild<QAbstractButton*>(QStringLiteral("read-info"))->click();
                QTRY_VERIFY_WITH_TIMEOUT(receiver->pending() == 0, 15000);
            }
            QTest::qWait(1200);
            const QImage image = app.window.grab().toImage();
            QCOMPARE(image.deviceIndependentSize().toSize(), QSize(1280, 800));
            // Something is drawn: more than a handful of colours.
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); y += 7)
                for (int x = 0; x < image.width(); x += 7) colours.insert(image.pixel(x, y));
            QVERIFY2(colours.size() > 8, qPrintable(page));
            const QString path = QStringLiteral(SCREENSHOT_DIR "/%1%2.png")
                                     .arg(page, image.devicePixelRatio() > 1 ? QStringLiteral("@2x") : QString());
            QVERIFY2(image.save(path), qPrintable(path));
        }
        // The demo's daemon log is on the Daemon page.
        QVERIFY(app.window.daemonPage()->findChild<QPlainTextEdit*>()->toPlainText().contains(
            QLatin1String("running the receiver")));
    }

    void calibrationWizardAt1280x800() {
        using tavro::control::CalibrationWizard;
        SimulatedDevice device({"--script", Script("aims.script", CalibrationAimsScript(
                                                                      CalibrationWizard::kTargets,
                                                                      CalibrationWizard::kMarginPercent, 4.4,
                                                                      -210, 3.6, -110, 4.0))});
        QVERIFY(device.running);
        AppWindow app;
        QVERIFY(QDir().mkpath(QStringLiteral(SCREENSHOT_DIR)));
        QPointer<CalibrationWizard> wizard = app.window.calibrationPage()->openWizard();
        QVERIFY(wizard != nullptr);
        wizard->showNormal();
        wizard->resize(1280, 800);
        const QString suffix = wizard->devicePixelRatioF() > 1 ? QStringLiteral("@2x") : QString();
        QTRY_VERIFY_WITH_TIMEOUT(wizard->text().contains(QLatin1String("Handset seen.")), 5000);
        const struct {
            CalibrationWizard::Step step;
            const char* name;
        } shots[] = {{CalibrationWizard::Step::Aiming, "calibration-wizard-target"},
                     {CalibrationWizard::Step::Result, "calibration-wizard-fit"}};
        for (const auto& shot : shots) {
            QTRY_VERIFY_WITH_TIMEOUT(wizard->step() == shot.step, 20000);
            QTest::qWait(100);
            const QImage image = wizard->grab().toImage();
            QCOMPARE(image.deviceIndependentSize().toSize(), QSize(1280, 800));
            const QString path = QStringLiteral(SCREENSHOT_DIR "/%1%2.png").arg(QLatin1String(shot.name), suffix);
            QVERIFY2(image.save(path), qPrintable(path));
        }
    }
};

TAVRO_APP_TEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
