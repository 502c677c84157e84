// A picture of each page at 1280 x 800 with two simulated handsets, into
// build/screenshots/, for the README and for looking at by eye.
#include "AppTest.h"

#include <QDir>

using namespace tavro::test;

class ScreenshotsTest : public QObject {
    Q_OBJECT
private slots:
    void everyPageAt1280x800() {
        SimulatedDevice device({"--pattern", "circle", "--handsets", "2"});
        QVERIFY(device.running);
        AppWindow app;
        QVERIFY(QDir().mkpath(QStringLiteral(SCREENSHOT_DIR)));
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.state().handsets[1].fresh, 5000);
        for (const QString& page : tavro::control::MainWindow::PageNames()) {
            app.window.showPage(page);
            QTest::qWait(1200);
            const QImage image = app.window.grab().toImage();
            QCOMPARE(image.size(), QSize(1280, 800));
            // Something is drawn: more than a handful of colours.
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); y += 7)
                for (int x = 0; x < image.width(); x += 7) colours.insert(image.pixel(x, y));
            QVERIFY2(colours.size() > 8, qPrintable(page));
            const QString path = QStringLiteral(SCREENSHOT_DIR "/%1.png").arg(page);
            QVERIFY2(image.save(path), qPrintable(path));
        }
    }
};

TAVRO_APP_TEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
