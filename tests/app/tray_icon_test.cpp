// The tray icon on a session bus of the test's own, with a watcher the
// test plays as a panel would: the item registers, its tooltip and status
// follow the simulated receiver, its menu switches the pointer (that record
// field only) and the bindings' profile; the autostart entry is written
// valid and removed; --tray without a tray host says so and fails.
#include "AppTest.h"
#include "DaemonPage.h"
#include "Kit.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"
#include "StatusNotifierItem.h"
#include "TrayAutostart.h"
#include "TrayIcon.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

#include <optional>

using namespace tavro::test;
using tavro::control::MenuLayout;
using tavro::control::SniToolTip;

namespace {

// What a panel runs: the watcher items register with.
class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registered)
public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registered() const { return items; }
    QStringList items;
    bool refuse = false;  // as a panel that takes no more icons
public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        if (refuse) return sendErrorReply(QDBusError::AccessDenied, QStringLiteral("no room on this panel"));
        items << service;
    }
};

// dbus-daemon for this test alone, ended with it.
struct PrivateBus {
    PrivateBus() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty()) return;
        daemon = std::make_unique<ChildProcess>(program.toStdString(),
                                                std::vector<std::string>{"--session", "--nofork", "--print-address=1"});
        std::string line;
        if (daemon->readLine(&line) && line.rfind("unix:", 0) == 0) address = QString::fromStdString(line);
    }
    std::unique_ptr<ChildProcess> daemon;
    QString address;
};

// A call on the bus with the event loop running, since the item answers
// from this same thread.
QDBusMessage Ask(QDBusConnection bus, const QString& service, const QString& path, const QString& interface,
                 const QString& method, const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    QDBusPendingCallWatcher pending(bus.asyncCall(call, 5000));
    QEventLoop loop;
    QObject::connect(&pending, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(6000, &loop, &QEventLoop::quit);
    if (!pending.isFinished()) loop.exec();
    return pending.reply();
}

QVariant Property(QDBusConnection bus, const QString& service, const char* name) {
    const QDBusMessage reply = Ask(bus, service, QStringLiteral("/StatusNotifierItem"),
                                   QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                   {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromLatin1(name)});
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

tavro::control::SniPixmaps Icon(QDBusConnection bus, const QString& service) {
    return qdbus_cast<tavro::control::SniPixmaps>(Property(bus, service, "IconPixmap").value<QDBusArgument>());
}

SniToolTip ToolTip(QDBusConnection bus, const QString& service) {
    return qdbus_cast<SniToolTip>(Property(bus, service, "ToolTip").value<QDBusArgument>());
}

MenuLayout Layout(QDBusConnection bus, const QString& service) {
    const QDBusMessage reply = Ask(bus, service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                                   QStringLiteral("GetLayout"), {0, -1, QStringList()});
    return qdbus_cast<MenuLayout>(reply.arguments().value(1).value<QDBusArgument>());
}

// The entry whose label (mnemonics dropped) is `label`, anywhere in the menu.
std::optional<MenuLayout> Entry(const MenuLayout& menu, const QString& label) {
    if (menu.properties.value(QStringLiteral("label")).toString().remove(QLatin1Char('_')) == label) return menu;
    for (const MenuLayout& child : menu.children)
        if (auto found = Entry(child, label)) return found;
    return std::nullopt;
}

void Click(QDBusConnection bus, const QString& service, int id) {
    Ask(bus, service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
        {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
}

std::vector<uint8_t> RecordBytes(const SharedDeviceState* record) {
    std::vector<uint8_t> bytes(sizeof(SharedDeviceState));
    tavro::LoadBytes(record, bytes.data(), bytes.size());
    return bytes;
}

}  // namespace

// A bus with a panel's watcher on it, the test's view of the session.
#define TAVRO_TRAY_SESSION()                                                                               \
    PrivateBus bus;                                                                                        \
    if (bus.address.isEmpty()) QSKIP("dbus-daemon is missing; install the dbus-daemon package");          \
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());                                             \
    QDBusConnection panel = QDBusConnection::connectToBus(bus.address, QStringLiteral("panel"));           \
    Watcher watcher;                                                                                       \
    QVERIFY(panel.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));                       \
    QVERIFY(panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,                        \
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)); \
    tavro::control::RegisterSniTypes()

class TrayIconTest : public QObject {
    Q_OBJECT
private slots:
    void registersAndFollowsTheReceiver() {
        TAVRO_TRAY_SESSION();
        SimulatedDevice device({"--pattern", "circle"});
        QVERIFY(device.running);
        tavro::control::RecordReader reader;
        tavro::control::TrayIcon tray(&reader);
        QString error;
        QVERIFY2(tray.show(&error), qPrintable(error));
        reader.start(16);
        const QString service = tray.item()->serviceName();
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items, QStringList{service}, 5000);
        // The types panels expect, as the protocol writes them.
        QCOMPARE(Property(panel, service, "IconPixmap").value<QDBusArgument>().currentSignature(), QStringLiteral("a(iiay)"));
        QCOMPARE(Property(panel, service, "ToolTip").value<QDBusArgument>().currentSignature(), QStringLiteral("(sa(iiay)ss)"));
        QCOMPARE(Property(panel, service, "Menu").value<QDBusObjectPath>().path(), QStringLiteral("/MenuBar"));
        const QVariantMap all = qdbus_cast<QVariantMap>(
            Ask(panel, service, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("GetAll"), {QStringLiteral("org.kde.StatusNotifierItem")}).arguments().value(0));
        QVERIFY(all.contains(QStringLiteral("ToolTip")) && all.contains(QStringLiteral("AttentionIconPixmap")));
        // Panels that build their proxies from the introspection find both.
        for (const auto& [path, interface] : {std::pair{"/StatusNotifierItem", "org.kde.StatusNotifierItem"},
                                              std::pair{"/MenuBar", "com.canonical.dbusmenu"}}) {
            const QString xml = Ask(panel, service, QString::fromLatin1(path),
                                    QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"), {})
                                    .arguments().value(0).toString();
            QVERIFY2(xml.contains(QStringLiteral("<interface name=\"%1\">").arg(QLatin1String(interface))), path);
        }
        QCOMPARE(Ask(panel, service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                     QStringLiteral("GetLayout"), {0, -1, QStringList()}).signature(),
                 QStringLiteral("u(ia{sv}av)"));

        // Each state of the kit as the panel reads it: status and tooltip.
        QTRY_VERIFY_WITH_TIMEOUT(ToolTip(panel, service).text.startsWith(QLatin1String("Receiver connected; handset 0 active")), 5000);
        QCOMPARE(Property(panel, service, "Status").toString(), QStringLiteral("Active"));
        QCOMPARE(ToolTip(panel, service).text.contains(QLatin1String("Profile: builtin")), true);
        const tavro::control::SniPixmaps active = Icon(panel, service);
        QVERIFY(!active.isEmpty() && active[0].argb.size() == active[0].width * active[0].height * 4);
        tavro::StoreField(reader.record()->CurrentUser, static_cast<int32_t>(2));
        QTRY_VERIFY_WITH_TIMEOUT(ToolTip(panel, service).text.startsWith(QLatin1String("Receiver connected; handset 2 active")), 5000);
        device.simulator->signal(SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(ToolTip(panel, service).text.startsWith(QLatin1String("Receiver connected; no handset is sending")), 5000);
        QCOMPARE(Property(panel, service, "Status").toString(), QStringLiteral("Passive"));
        QVERIFY(Icon(panel, service)[0].argb != active[0].argb);
        // While nothing changes the panel is not told anything new.
        QSignalSpy told(tray.item(), &tavro::control::StatusNotifierItem::newToolTip);
        QTest::qWait(1200);
        QCOMPARE(told.count(), 0);
        device.simulator->signal(SIGCONT);
        device.simulator.reset();
        QTRY_VERIFY_WITH_TIMEOUT(ToolTip(panel, service).text.startsWith(QLatin1String("No receiver")), 8000);
        QCOMPARE(Property(panel, service, "Status").toString(), QStringLiteral("NeedsAttention"));
        device.daemon.reset();
        QTRY_VERIFY_WITH_TIMEOUT(ToolTip(panel, service).text.startsWith(QLatin1String("No device daemon")), 5000);
        QVERIFY(ToolTip(panel, service).text.contains(QLatin1String("start it on the Daemon page")));
        QCOMPARE(Property(panel, service, "Status").toString(), QStringLiteral("NeedsAttention"));
        // A profile switch with no daemon says why and changes nothing.
        Click(panel, service, Entry(Layout(panel, service), QStringLiteral("builtin"))->id);
        QVERIFY2(tray.message().startsWith(QLatin1String("The profile is not changed: no daemon runs")),
                 qPrintable(tray.message()));
    }

    void menuSwitchesThePointerAndTheProfile() {
        TAVRO_TRAY_SESSION();
        const std::string bindingsPath = std::string(getenv("HOME")) + "/.config/tavro/bindings.conf";
        WriteFile(bindingsPath, "# two profiles\nstart = plain\n[plain]\n[slides]\nright = key Right\n");
        SimulatedDevice device({"--pattern", "still", "--rate", "0"});
        QVERIFY(device.running);
        tavro::control::RecordReader reader;
        tavro::control::TrayIcon tray(&reader);
        QString error;
        QVERIFY2(tray.show(&error), qPrintable(error));
        reader.start(16);
        const QString service = tray.item()->serviceName();
        SharedDeviceState* record = reader.record();
        QVERIFY(record != nullptr);
        const std::string settingsPath = std::string(getenv("HOME")) + "/.QuorVel/Tavro.xml";

        // Pointer on/off, twice: the toggle shown and the record's one field.
        const size_t field = offsetof(SharedDeviceState, ActivateCursor);
        for (int round = 0; round < 2; ++round) {
            QTRY_VERIFY_WITH_TIMEOUT(Entry(Layout(panel, service), QStringLiteral("Pointer follows the handset"))
                                         ->properties.value(QStringLiteral("enabled")).toBool(), 5000);
            const std::optional<MenuLayout> pointer = Entry(Layout(panel, service), QStringLiteral("Pointer follows the handset"));
            const int was = tavro::LoadField(record->ActivateCursor);
            QCOMPARE(pointer->properties.value(QStringLiteral("toggle-state")).toInt(), was != 0 ? 1 : 0);
            const std::vector<uint8_t> before = RecordBytes(record);
            const std::string settingsBefore = ReadFile(settingsPath);
            Click(panel, service, pointer->id);
            const std::vector<uint8_t> after = RecordBytes(record);
            for (size_t i = 0; i < before.size(); ++i)
                if (i < field || i >= field + sizeof(SharedDeviceState::ActivateCursor))
                    QVERIFY2(before[i] == after[i], qPrintable(QStringLiteral("byte 0x%1 changed").arg(i, 0, 16)));
            QCOMPARE(tavro::LoadField(record->ActivateCursor) != 0, was == 0);
            QCOMPARE(ReadFile(settingsPath), settingsBefore);
            QTRY_COMPARE_WITH_TIMEOUT(Entry(Layout(panel, service), QStringLiteral("Pointer follows the handset"))
                                          ->properties.value(QStringLiteral("toggle-state")).toInt(),
                                      was == 0 ? 1 : 0, 5000);
        }

        // The profiles of the bindings file, as radio entries; a click
        // switches the daemon, whose choice the menu then shows.
        const std::optional<MenuLayout> slides = Entry(Layout(panel, service), QStringLiteral("slides"));
        QVERIFY(slides && Entry(Layout(panel, service), QStringLiteral("plain")));
        QCOMPARE(slides->properties.value(QStringLiteral("toggle-type")).toString(), QStringLiteral("radio"));
        QVERIFY(Entry(Layout(panel, service), QStringLiteral("Key bindings profile"))
                    ->properties.value(QStringLiteral("enabled")).toBool());
        Click(panel, service, slides->id);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(tavro::cli::ReadDaemonView().profile),
                                  QStringLiteral("slides"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(Entry(Layout(panel, service), QStringLiteral("slides"))
                                      ->properties.value(QStringLiteral("toggle-state")).toInt(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(tray.message(), QStringLiteral("Profile: slides."), 5000);
        // A mistake in the hand-edited file: its line, in the submenu.
        WriteFile(bindingsPath, "# two profiles\nstart = plain\n[plain\n");
        const auto errorLine = [&] {
            const std::optional<MenuLayout> profiles = Entry(Layout(panel, service), QStringLiteral("Key bindings profile"));
            for (const MenuLayout& child : profiles->children)
                if (child.properties.value(QStringLiteral("label")).toString().contains(QLatin1String("bindings.conf:3:")))
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(errorLine(), 5000);

        // The menu as the panel draws it, for a reviewer.
        QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
        tray.menu()->adjustSize();
        tray.menu()->grab().save(QStringLiteral(SCREENSHOT_DIR "/tray-menu.png"));

        // Open shows the window, from the menu and from the panel's click.
        QSignalSpy open(&tray, &tavro::control::TrayIcon::openRequested);
        Click(panel, service, Entry(Layout(panel, service), QStringLiteral("Open Tavro Control"))->id);
        Ask(panel, service, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
            QStringLiteral("Activate"), {0, 0});
        QCOMPARE(open.count(), 2);
    }

    void autostartEntryWrittenValidAndRemoved_data() {
        QTest::addColumn<QString>("configHome");
        QTest::newRow("default") << QString();
        QTest::newRow("XDG_CONFIG_HOME") << QStringLiteral("/elsewhere");
    }
    void autostartEntryWrittenValidAndRemoved() {
        QFETCH(QString, configHome);
        const QString home = qEnvironmentVariable("HOME");
        if (!configHome.isEmpty()) qputenv("XDG_CONFIG_HOME", (home + configHome).toUtf8());
        const QString path = (configHome.isEmpty() ? home + QStringLiteral("/.config") : home + configHome) +
                             QStringLiteral("/autostart/com.quorvel.TavroControl-tray.desktop");
        AppWindow app;
        QCheckBox* box = app.window.daemonPage()->trayAtLogin();
        QVERIFY(!box->isChecked() && !QFile::exists(path));
        box->click();
        QVERIFY2(QFile::exists(path), qPrintable(app.window.daemonPage()->trayLine()));
        QVERIFY(ReadFile(path.toStdString()).find("\nExec=tavro-control --tray\n") != std::string::npos);
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty()) qWarning("desktop-file-validate is missing (desktop-file-utils): the entry is not validated");
        std::string said;
        if (!validator.isEmpty()) QCOMPARE(RunProgram(validator.toStdString(), {path.toStdString()}, &said), 0);
        QCOMPARE(QString::fromStdString(said), QString());
        box->click();
        QVERIFY(!box->isChecked() && !QFile::exists(path));

        // A directory that cannot be made: the box stays off and says why.
        QVERIFY(QDir().mkpath(QFileInfo(path).path() + QStringLiteral("/..")));
        QDir(QFileInfo(path).path()).removeRecursively();
        WriteFile(QFileInfo(path).path().toStdString(), "not a directory\n");
        box->click();
        QVERIFY(!box->isChecked());
        QVERIFY2(app.window.daemonPage()->trayLine().contains(QFileInfo(path).path()),
                 qPrintable(app.window.daemonPage()->trayLine()));

        // The demo's HOME is a copy: no entry can be made from there.
        app.window.showPage(QStringLiteral("daemon"));
        app.window.daemonPage()->setDemo(home + QStringLiteral("/demo.log"));
        QTRY_VERIFY_WITH_TIMEOUT(!box->isEnabled(), 5000);
        qunsetenv("XDG_CONFIG_HOME");
    }

    void trayAloneRunsUntilQuit() {
        TAVRO_TRAY_SESSION();
        QProcess app;
        app.start(QStringLiteral(TAVRO_CONTROL_PATH), {QStringLiteral("--tray")});
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items.size(), 1, 10000);
        const QString service = watcher.items[0];
        QVERIFY(service.startsWith(QStringLiteral("org.kde.StatusNotifierItem-%1-").arg(app.processId())));
        QCOMPARE(app.state(), QProcess::Running);
        // A second one (a login's and a hand-started one) shows no second icon.
        QProcess second;
        second.start(QStringLiteral(TAVRO_CONTROL_PATH), {QStringLiteral("--tray")});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(QString::fromLocal8Bit(second.readAllStandardError()).contains(QLatin1String("shows the tray icon already")));
        QCOMPARE(watcher.items.size(), 1);
        Click(panel, service, Entry(Layout(panel, service), QStringLiteral("Quit"))->id);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitCode(), 0);
    }

    void trayAloneRefusedByThePanelFails() {
        TAVRO_TRAY_SESSION();
        watcher.refuse = true;
        QProcess app;
        app.start(QStringLiteral(TAVRO_CONTROL_PATH), {QStringLiteral("--tray")});
        QTRY_VERIFY_WITH_TIMEOUT(app.state() == QProcess::NotRunning, 10000);
        QCOMPARE(app.exitCode(), 1);
        QVERIFY(QString::fromLocal8Bit(app.readAllStandardError())
                    .contains(QLatin1String("tavro-control: the tray host refused the icon: no room on this panel")));
    }

    void trayAloneWithoutATrayHostFails_data() {
        QTest::addColumn<bool>("withBus");
        QTest::addColumn<QString>("said");
        QTest::newRow("no session bus") << false << QStringLiteral("there is no D-Bus session bus");
        QTest::newRow("no watcher") << true << QStringLiteral("no tray host is running");
    }
    void trayAloneWithoutATrayHostFails() {
        QFETCH(bool, withBus);
        QFETCH(QString, said);
        PrivateBus bus;
        if (withBus && bus.address.isEmpty()) QSKIP("dbus-daemon is missing; install the dbus-daemon package");
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   withBus ? bus.address : QStringLiteral("unix:path=%1/no-bus").arg(qEnvironmentVariable("HOME")));
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(TAVRO_CONTROL_PATH), {QStringLiteral("--tray")});
        QVERIFY(app.waitForFinished(20000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 1);
        const QStringList lines = QString::fromLocal8Bit(app.readAllStandardError())
                                      .split(QLatin1Char('\n'))
                                      .filter(QRegularExpression(QStringLiteral("^tavro-control: ")));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(said) && lines[0].contains(QLatin1String("without --tray")), qPrintable(lines[0]));
    }
};

TAVRO_APP_TEST_MAIN(TrayIconTest)
#include "tray_icon_test.moc"
