// The Handsets page against the simulator and the daemon: the aim point is
// drawn where the record says the handset points, and the page says so
// plainly when the packets stop.
#include "AppTest.h"
#include "HandsetWidgets.h"
#include "LivePage.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"

#include <signal.h>

#include <cmath>

using namespace tavro::test;
using tavro::control::HandsetColour;

namespace {

// The centre of the solid disk of `colour` in the image: the pixels whose
// whole 5 x 5 neighbourhood has that colour (the ring, the label and the
// trail are thinner or of other shades).  False when there is none.
bool DiskCentre(const QImage& image, const QColor& colour, QPointF* centre) {
    const QRgb want = colour.rgb();
    double sx = 0, sy = 0;
    int count = 0;
    for (int y = 2; y < image.height() - 2; ++y)
        for (int x = 2; x < image.width() - 2; ++x) {
            bool solid = true;
            for (int dy = -2; dy <= 2 && solid; ++dy)
                for (int dx = -2; dx <= 2 && solid; ++dx)
                    solid = (image.pixel(x + dx, y + dy) & 0xffffff) == (want & 0xffffff);
            if (solid) sx += x, sy += y, ++count;
        }
    if (count == 0) return false;
    *centre = QPointF(sx / count + 0.5, sy / count + 0.5);
    return true;
}

}  // namespace

class LivePageTest : public QObject {
    Q_OBJECT
private slots:
    void aimPointFollowsTheHandset() {
        // Ten aims, each held for 0.6 s.
        std::string script;
        for (int i = 0; i < 10; ++i) {
            const int x = 90 + (i * 37) % 170, y = 80 + (i * 53) % 120;
            script += "at " + std::to_string(i * 0.6) + " 0 x=" + std::to_string(x) + " y=" + std::to_string(y) + "\n";
            script += "at " + std::to_string(i * 0.6 + 0.55) + " 0 x=" + std::to_string(x) + " y=" + std::to_string(y) + "\n";
        }
        script += "end 6.5\n";
        SimulatedDevice device({"--script", Script("aims.script", script)});
        QVERIFY(device.running);
        AppWindow app;
        auto* canvas = app.window.livePage()->canvas();
        SharedDeviceState* record = app.reader.record();
        QVERIFY(record != nullptr);

        int samples = 0;
        double lastX = -1, lastY = -1;
        QElapsedTimer clock;
        clock.start();
        while (samples < 10 && clock.elapsed() < 15000) {
            // A new aim, held: the record has not changed for 150 ms.
            const double x = tavro::LoadField(record->X[0]), y = tavro::LoadField(record->Y[0]);
            QTest::qWait(150);
            if (x != tavro::LoadField(record->X[0]) || y != tavro::LoadField(record->Y[0])) continue;
            if (x == lastX && y == lastY) continue;
            if (x == 0 && y == 0) continue;
            QPointF drawn;
            QVERIFY2(DiskCentre(canvas->grab().toImage(), HandsetColour(0), &drawn),
                     qPrintable(QStringLiteral("no aim point drawn for %1, %2").arg(x).arg(y)));
            const QPointF expected = canvas->toCanvas(x, y);
            const double error = std::hypot(drawn.x() - expected.x(), drawn.y() - expected.y());
            QVERIFY2(error <= 2.0, qPrintable(QStringLiteral("sample %1: record %2, %3 is at %4, %5 on the canvas, "
                                                             "drawn at %6, %7")
                                                  .arg(samples).arg(x).arg(y).arg(expected.x()).arg(expected.y())
                                                  .arg(drawn.x()).arg(drawn.y())));
            lastX = x, lastY = y;
            ++samples;
        }
        QCOMPARE(samples, 10);
    }

    void keypadLightsTheHeldKeys() {
        SimulatedDevice device({"--script", Script("keys.script", "at 0 0 x=176 y=144 keys=up,center\n"
                                                                  "at 1 0 x=176 y=144 keys=up,center\n"
                                                                  "end 1\n"),
                                "--loop"});
        QVERIFY(device.running);
        AppWindow app;
        const tavro::control::KeypadView* keypad = app.window.livePage()->panel(0)->keypad();
        QTRY_VERIFY_WITH_TIMEOUT(keypad->lit(1) && keypad->lit(4), 5000);
        for (int bit : {0, 2, 3, 5, 6, 7, 8, 9}) QVERIFY2(!keypad->lit(bit), qPrintable(QString::number(bit)));
        QVERIFY2(!app.window.livePage()->panel(1)->keypad()->lit(4),
                 qPrintable(QStringLiteral("handset 1: seen %1, buttons %2")
                                .arg(app.reader.state().handsets[1].seen)
                                .arg(app.reader.state().handsets[1].buttons)));
    }

    void staleMarkerWhenPacketsStop() {
        SimulatedDevice device({"--pattern", "circle"});
        QVERIFY(device.running);
        AppWindow app;
        auto* canvas = app.window.livePage()->canvas();
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.state().handsets[0].fresh, 5000);
        QVERIFY(canvas->staleText().isEmpty());
        // The simulator stopped: its tty stays open, no packet comes.
        device.simulator->signal(SIGSTOP);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(!canvas->staleText().isEmpty(), 3000);
        const qint64 took = clock.elapsed();
        device.simulator->signal(SIGCONT);
        QVERIFY2(took <= 1500, qPrintable(QStringLiteral("the stale marker came after %1 ms").arg(took)));
        QVERIFY(app.window.problemLine().contains(QLatin1String("No packet for")));
    }
};

TAVRO_APP_TEST_MAIN(LivePageTest)
#include "live_page_test.moc"
