// tavro-control: the desktop app of the Tavro kit.  It shows the handsets
// live, sets how they point and shows the device daemon; with --demo it
// brings a simulated receiver and a daemon of its own.
#include "DaemonPage.h"
#include "DemoSession.h"
#include "MainWindow.h"
#include "RecordReader.h"
#include "StatusNotifierItem.h"
#include "TrayIcon.h"

#include <QApplication>
#include <QScreen>
#include <QSocketNotifier>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: tavro-control [--demo] [--tray] [--page NAME]\n"
    "       tavro-control --help | --version\n"
    "\n"
    "The desktop app of the Tavro pointer kit: every handset's aim, spots, roll,\n"
    "distance and keys, live; the pointing mode, the pointer, the filter and the\n"
    "settings that shape motion; the calibration, with a wizard over the whole\n"
    "screen; what each key does in each profile of the key bindings; the\n"
    "receiver's versions, channel, camera and motor, and infrared codes; the\n"
    "device daemon tavrod, its output and log.\n"
    "It reads the kit's shared record without resetting it, and changes a\n"
    "setting only when you do.\n"
    "\n"
    "  --demo         without hardware: start a simulated receiver and a daemon\n"
    "                 of this window's own, in a private IPC namespace where the\n"
    "                 system allows one; your settings are copied, not changed\n"
    "  --page NAME    open on that page: handsets (the default), pointing,\n"
    "                 calibration, keys, receiver or daemon\n"
    "  --tray         only the icon in the panel's tray (the receiver's state,\n"
    "                 the active handset, pointer on/off, the bindings' profile);\n"
    "                 the window opens from its menu.  The Daemon page's \"Start\n"
    "                 the tray icon at login\" adds it to the session's autostart\n"
    "  --help         this text\n"
    "  --version      the kit's version\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are accepted too.\n";

// SIGINT and SIGTERM close the window as Ctrl+Q does, so that the demo's
// simulator and daemon are stopped in order: the handler writes to a pipe
// the event loop watches.
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

void QuitOnSignals(QApplication* app) {
    if (pipe(g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QApplication::quit);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Usage(const char* format, const char* what) {
    std::fprintf(stderr, "tavro-control: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, " (see tavro-control --help)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool demo = false;
    bool trayOnly = false;
    QString page = QStringLiteral("handsets");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tavro-control (Tavro) %s\n", TAVRO_VERSION);
            return 0;
        }
        if (arg == "--demo") {
            demo = true;
        } else if (arg == "--tray") {
            trayOnly = true;
        } else if (arg == "--page" || arg.rfind("--page=", 0) == 0) {
            std::string name;
            if (arg == "--page") {
                if (i + 1 >= argc) return Usage("%s needs a page name: handsets, pointing, calibration, keys, receiver or daemon", "--page");
                name = argv[++i];
            } else {
                name = arg.substr(7);
            }
            page = QString::fromStdString(name);
            if (!tavro::control::MainWindow::PageNames().contains(page))
                return Usage("there is no page \"%s\"; the pages are handsets, pointing, calibration, keys, receiver and daemon", name.c_str());
        } else if (arg.rfind("--", 0) == 0) {
            return Usage("unknown option %s", arg.c_str());
        }
    }

    // Before any thread runs: the namespace must be entered by a process of
    // one thread.
    bool privateIpc = false;
    QString why;
    if (demo) {
        privateIpc = tavro::control::DemoSession::EnterPrivateIpcNamespace(&why);
        if (!privateIpc)
            std::fprintf(stderr,
                         "tavro-control: no private IPC namespace here (%s); the demo runs on the shared record, "
                         "where other programs see it\n",
                         why.toLocal8Bit().constData());
    }

    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavro-control"));
    QApplication::setApplicationDisplayName(QObject::tr("Tavro Control"));
    QApplication::setApplicationVersion(QStringLiteral(TAVRO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.quorvel.TavroControl"));
    QuitOnSignals(&app);

    // The tray icon, where the panel has a tray; --tray without one has
    // nothing to show.
    tavro::control::RecordReader reader;
    tavro::control::TrayIcon tray(&reader);
    QString trayProblem;
    bool another = false;
    if (!tray.show(&trayProblem, &another)) {
        if (trayOnly) {
            std::fprintf(stderr, "tavro-control: %s; %s\n", trayProblem.toLocal8Bit().constData(),
                         another ? "its menu's Open shows the window"
                                 : "or run tavro-control without --tray for the window");
            return 1;
        }
        std::fprintf(stderr, "tavro-control: no tray icon: %s\n", trayProblem.toLocal8Bit().constData());
    }

    std::unique_ptr<tavro::control::DemoSession> session;
    if (demo) {
        session = std::make_unique<tavro::control::DemoSession>();
        QSize screen(1920, 1080);
        if (QScreen* primary = QGuiApplication::primaryScreen()) screen = primary->size();
        QString error;
        if (!session->start(privateIpc, screen.width(), screen.height(), &error)) {
            std::fprintf(stderr, "tavro-control: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
    }

    tavro::control::MainWindow window(&reader);
    if (session) {
        window.setNote(session->banner());
        window.daemonPage()->setDemo(session->logFile());
    }
    window.showPage(page);
    QObject::connect(&tray, &tavro::control::TrayIcon::openRequested, &window, [&window, &reader] {
        reader.start();  // at the display's rate again
        window.show();
        window.raise();
        window.activateWindow();
    });
    QObject::connect(&tray, &tavro::control::TrayIcon::quitRequested, &app, &QApplication::quit);
    // An icon the panel refused is nowhere to be seen: with the tray alone
    // and no window, nothing would be left of the app but a process.
    QObject::connect(tray.item(), &tavro::control::StatusNotifierItem::failed, &app, [trayOnly, &window] {
        if (trayOnly && !window.isVisible()) QApplication::exit(1);
    });
    // With the tray alone, closing the window leaves the icon; Quit ends it.
    // The icon alone needs no more than the slowest rate the reader offers.
    if (trayOnly) QApplication::setQuitOnLastWindowClosed(false);
    else window.show();
    reader.start(trayOnly ? 33 : 0);
    return app.exec();
}
