// The Receiver page against the real simulator and daemon: each control
// sends exactly the receiver command it names (the simulator logs every
// command it gets), the information shown is the simulator's, infrared codes
// are learned into their files, listed, sent and deleted one by one, and a
// missing daemon or receiver is named without a hang.
#include "AppTest.h"
#include "IrCodeFile.h"
#include "ReceiverPage.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>

#include <functional>

using namespace tavro::test;
using tavro::control::ReceiverPage;

namespace {

std::string Home() { return getenv("HOME"); }

// The names the simulator gave the commands it received ("rx HEX  NAME").
QStringList Commands() {
    QStringList names;
    for (const QString& line : QString::fromStdString(ReadFile(Home() + "/commands.log")).split(QLatin1Char('\n'))) {
        const int gap = line.indexOf(QLatin1String("  "));
        if (line.startsWith(QLatin1String("rx ")) && gap > 0) names << line.mid(gap + 2);
    }
    return names;
}

// The hex bytes of the last command of that name.
QString BytesOf(const QString& name) {
    QString bytes;
    for (const QString& line : QString::fromStdString(ReadFile(Home() + "/commands.log")).split(QLatin1Char('\n')))
        if (line.endsWith(QLatin1String("  ") + name)) bytes = line.mid(3, line.indexOf(QLatin1String("  ")) - 3);
    return bytes;
}

template <typename T>
T* Find(ReceiverPage* page, const char* name) {
    auto* widget = page->findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr) qFatal("no control %s", name);
    return widget;
}

// Waits (bounded) until the page has no request queued or running.
bool Settled(ReceiverPage* page) {
    return QTest::qWaitFor([page] { return page->pending() == 0; }, 15000);
}

QStringList Names(QListWidget* list) {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    return names;
}

void Select(QListWidget* list, const QString& name) {
    list->setCurrentItem(list->findItems(name, Qt::MatchExactly).value(0));
}

}  // namespace

class ReceiverPageTest : public QObject {
    Q_OBJECT
private slots:
    void everyControlSendsOnlyTheCommandItNames() {
        SimulatedDevice device({"--pattern", "still"});
        QVERIFY(device.running);
        AppWindow app;
        app.window.showPage(QStringLiteral("receiver"));
        auto* page = app.window.receiverPage();
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.record() != nullptr && page->daemonLine().isEmpty(), 5000);
        QTest::qWait(300);
        const QStringList atStart = Commands();

        struct Case {
            const char* what;
            std::function<void()> act;
            QStringList sent;
        };
        const std::vector<Case> cases = {
            {"showing the page", [] { QTest::qWait(500); }, {}},
            {"read information", [&] { Find<QAbstractButton>(page, "read-info")->click(); },
             {QStringLiteral("get-info 0"), QStringLiteral("get-info 1"), QStringLiteral("get-info 2"),
              QStringLiteral("get-info 3"), QStringLiteral("get-info 4"), QStringLiteral("get-info 5"),
              QStringLiteral("get-info 6"), QStringLiteral("get-info 7"), QStringLiteral("get-info 8")}},
            {"picking a channel only", [&] { Find<QSpinBox>(page, "channel")->setValue(9); }, {}},
            {"switch channel", [&] { Find<QAbstractButton>(page, "set-channel")->click(); },
             {QStringLiteral("set-channel 9")}},
            {"threshold", [&] { Find<QSpinBox>(page, "threshold")->setValue(40); }, {QStringLiteral("set-threshold 40")}},
            {"gain", [&] { Find<QSpinBox>(page, "gain")->setValue(21); }, {QStringLiteral("set-gain 21")}},
            {"exposure", [&] { Find<QSpinBox>(page, "exposure")->setValue(130); }, {QStringLiteral("set-exposure 130")}},
            {"motor settings only",
             [&] {
                 Find<QComboBox>(page, "motor-mode")->setCurrentIndex(1);
                 Find<QSpinBox>(page, "motor-level")->setValue(360);
                 Find<QSpinBox>(page, "motor-value")->setValue(7);
             },
             {}},
            // Mode 50 is 0x40, level 360 is step 10: setting 74.
            {"motor start", [&] { Find<QAbstractButton>(page, "motor-start")->click(); },
             {QStringLiteral("start-motor value 7 setting 74")}},
            {"motor stop", [&] { Find<QAbstractButton>(page, "motor-stop")->click(); }, {QStringLiteral("stop-motor")}},
            {"blast", [&] { Find<QAbstractButton>(page, "ir-blast")->click(); }, {QStringLiteral("ir-blast")}},
        };
        int sent = 0;
        for (const Case& c : cases) {
            sent += c.sent.size();
            const int before = Commands().size();
            c.act();
            QVERIFY(Settled(page));
            QVERIFY2(!page->message().contains(QLatin1String("failed")), qPrintable(page->message()));
            QCOMPARE(Commands().mid(before), c.sent);
        }
        // Nothing went out between the cases either.
        QCOMPARE(Commands().size(), atStart.size() + sent);
    }

    void informationIsTheReceiversOwn() {
        SimulatedDevice device({"--pattern", "still"});
        QVERIFY(device.running);
        AppWindow app;
        auto* page = app.window.receiverPage();
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.record() != nullptr && page->daemonLine().isEmpty(), 5000);
        Find<QAbstractButton>(page, "read-info")->click();
        QVERIFY(Settled(page));
        const QStringList shown = {page->infoValue(0), page->infoValue(1), page->infoValue(2),
                                   page->infoValue(3), page->infoValue(4), page->infoValue(5)};
        QCOMPARE(shown, (QStringList{QStringLiteral("Tavro handheld (c) QuorVel"), QStringLiteral("handheld 2.1.0"),
                                     QStringLiteral("2024-03-18"), QStringLiteral("Tavro POD (c) QuorVel"),
                                     QStringLiteral("POD 1.4.2"), QStringLiteral("2024-02-02")}));
        // The channel read is the one the page then offers.
        QCOMPARE(Find<QSpinBox>(page, "channel")->value(), 3);
    }

    void infraredCodesAreLearnedListedSentAndDeletedOneByOne() {
        SimulatedDevice device({"--pattern", "still", "--learn-delay", "100"});
        QVERIFY(device.running);
        AppWindow app;
        auto* page = app.window.receiverPage();
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.record() != nullptr && page->daemonLine().isEmpty(), 5000);
        auto* list = Find<QListWidget>(page, "ir-codes");
        for (const char* name : {"tv-power", "radio"}) {
            const int before = Commands().size();
            Find<QLineEdit>(page, "ir-name")->setText(QString::fromLatin1(name));
            Find<QAbstractButton>(page, "ir-learn")->click();
            QVERIFY(Settled(page));
            QVERIFY2(page->message().startsWith(QLatin1String("Learned")), qPrintable(page->message()));
            QCOMPARE(Commands().mid(before), (QStringList{QStringLiteral("learn-code"), QStringLiteral("get-ir-code")}));
        }
        QCOMPARE(Names(list), (QStringList{QStringLiteral("radio"), QStringLiteral("tv-power")}));
        // Each file holds the code the simulator made: the channel, then ten bytes of the nth learning.
        std::vector<uint8_t> code, radio;
        std::string error;
        QVERIFY2(tavro::ParseIrCode(ReadFile(Home() + "/.config/tavro/ir/tv-power.ir"), &code, &error), error.c_str());
        QVERIFY(tavro::ParseIrCode(ReadFile(Home() + "/.config/tavro/ir/radio.ir"), &radio, &error));
        QCOMPARE(code, (std::vector<uint8_t>{0x00, 0x03, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19}));
        QCOMPARE(radio[2], uint8_t(0x20));

        // Sending puts the saved bytes on the wire.
        Select(list, QStringLiteral("tv-power"));
        const int before = Commands().size();
        Find<QAbstractButton>(page, "ir-send")->click();
        QVERIFY(Settled(page));
        QCOMPARE(Commands().mid(before), QStringList{QStringLiteral("send-ir-code 12")});
        QVERIFY2(BytesOf(QStringLiteral("send-ir-code 12")).endsWith(QLatin1String("00 03 10 11 12 13 14 15 16 17 18 19")),
                 qPrintable(BytesOf(QStringLiteral("send-ir-code 12"))));

        // Deleting removes that code's file only.
        Select(list, QStringLiteral("tv-power"));
        Find<QAbstractButton>(page, "ir-delete")->click();
        QCOMPARE(Names(list), QStringList{QStringLiteral("radio")});
        QVERIFY(!QFileInfo::exists(QString::fromStdString(Home() + "/.config/tavro/ir/tv-power.ir")));
        std::vector<uint8_t> still;
        QVERIFY(tavro::ParseIrCode(ReadFile(Home() + "/.config/tavro/ir/radio.ir"), &still, &error));
        QCOMPARE(still, radio);
    }

    void learningCanBeCancelledAndSavesNothing() {
        SimulatedDevice device({"--pattern", "still", "--learn-delay", "20000"});
        QVERIFY(device.running);
        AppWindow app;
        auto* page = app.window.receiverPage();
        QTRY_VERIFY_WITH_TIMEOUT(app.reader.record() != nullptr && page->daemonLine().isEmpty(), 5000);
        Find<QLineEdit>(page, "ir-name")->setText(QStringLiteral("never"));
        auto* learn = Find<QAbstractButton>(page, "ir-learn");
        learn->click();
        QTRY_VERIFY_WITH_TIMEOUT(page->message().contains(QLatin1String("s left")), 5000);
        learn->click();
        QVERIFY(Settled(page));
        QCOMPARE(page->message(), QStringLiteral("Learning cancelled; nothing was saved."));
        QVERIFY(Find<QListWidget>(page, "ir-codes")->count() == 0);
        QVERIFY(QDir(QString::fromStdString(Home() + "/.config/tavro/ir")).isEmpty());
    }

    void noDaemonAndNoReceiverAreNamedWithoutAHang() {
        AppWindow app;
        auto* page = app.window.receiverPage();
        auto* threshold = Find<QSpinBox>(page, "threshold");
        QTRY_VERIFY_WITH_TIMEOUT(!page->daemonLine().isEmpty(), 5000);
        // A failed change keeps the value the camera has.
        const int shown = threshold->value();
        threshold->setValue(shown + 5);
        QVERIFY(Settled(page));
        QVERIFY2(page->message().contains(QLatin1String("no device daemon is running")), qPrintable(page->message()));
        QCOMPARE(threshold->value(), shown);

        // A daemon that waits for its receiver.
        ChildProcess daemon(TAVROD_PATH, {"--device", Home() + "/no-receiver", "--output", "x11", "--screen", "1920x1080"});
        QVERIFY(daemon.waitForOutput("waiting for", std::chrono::milliseconds(8000)));
        QTRY_VERIFY_WITH_TIMEOUT(page->daemonLine().contains(QLatin1String("not connected")), 5000);
        Find<QAbstractButton>(page, "read-info")->click();
        QVERIFY(Settled(page));
        QVERIFY2(page->message().contains(QLatin1String("is not connected; plug it in")), qPrintable(page->message()));
        QCOMPARE(page->infoValue(4), QStringLiteral("—"));
    }
};

TAVRO_APP_TEST_MAIN(ReceiverPageTest)
#include "receiver_page_test.moc"
