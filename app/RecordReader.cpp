#include "RecordReader.h"

#include "DeviceRunMarker.h"
#include "Kit.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"
#include "TavroLinux.h"
#include "tavrodev.h"

#include <QGuiApplication>
#include <QScreen>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>

namespace tavro::control {

namespace {

// How long a failed attach waits before the next try.
constexpr qint64 kAttachRetryMs = 1000;
}  // namespace

RecordReader::RecordReader(QObject* parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &RecordReader::poll);
    clock_.start();
}

void RecordReader::start(int intervalMs) {
    if (intervalMs <= 0) {
        double rate = 60.0;
        if (QScreen* screen = QGuiApplication::primaryScreen()) rate = screen->refreshRate();
        if (!(rate >= 30.0)) rate = 60.0;
        intervalMs = std::max(1, static_cast<int>(std::floor(1000.0 / rate)));
    }
    timer_.start(std::min(intervalMs, 33));
    poll();
}

void RecordReader::stop() { timer_.stop(); }

SharedDeviceState* RecordReader::record() const {
    return TavroLinux != nullptr ? TavroLinux->SharedData : nullptr;
}

bool RecordReader::attach() {
    if (record() != nullptr) return true;
    const qint64 now = clock_.elapsed();
    if (now < nextAttachMs_) return false;
    nextAttachMs_ = now + kAttachRetryMs;
    if (TV_Attach() == 0 && record() != nullptr) {
        attachProblem_.clear();
        return true;
    }
    attachProblem_ = CTavroLinux::SharedMemoryProblem[0] != '\0'
                         ? QString::fromLocal8Bit(CTavroLinux::SharedMemoryProblem)
                         : tr("the kit's shared record (key %1) cannot be attached; see the system log")
                               .arg(static_cast<int>(CTavroLinux::SharedMemoryKey));
    return false;
}

void RecordReader::poll() {
    state_.attached = attach();
    readDaemon();
    if (SharedDeviceState* r = record()) readHandsets(r);
    judge();
    emit updated();
}

void RecordReader::readDaemon() {
    const cli::DaemonView view = cli::ReadDaemonView();
    state_.daemonRunning = view.running;
    state_.daemonPid = view.pid;
    state_.receiverConnected = view.receiverConnected;
    state_.receiverPath = QString::fromStdString(view.receiverPath);
    state_.secondsSincePacket = view.secondsSincePacket;
    state_.output = QString::fromStdString(view.output);
    state_.outputReason = QString::fromStdString(view.outputReason);
    state_.filter = QString::fromStdString(view.filter.empty() ? "builtin" : view.filter);
    state_.screenWidth = view.screenWidth;
    state_.screenHeight = view.screenHeight;
    state_.settingsFile = QString::fromStdString(view.settingsPath);
    state_.profile = QString::fromStdString(view.profile);

    // Packets are counted by the daemon; the time a count last changed, on
    // this program's own clock, tells whether the values are still coming.
    const qint64 now = clock_.elapsed();
    const qint64 age = view.secondsSincePacket >= 0 ? static_cast<qint64>(view.secondsSincePacket * 1000)
                                                    : 1000000;
    if (lastTotalMs_ < 0 || view.packets != lastTotal_) {
        lastTotalMs_ = view.packets != lastTotal_ && lastTotalMs_ >= 0 ? now : now - age;
        lastTotal_ = view.packets;
    }
    for (int u = 0; u < kHandsets; ++u) {
        HandsetState& h = state_.handsets[u];
        if (view.perHandset[u] != lastPackets_[u]) {
            lastPacketMs_[u] = h.packets == 0 && lastPackets_[u] == 0 && !h.seen ? now - age : now;
            lastPackets_[u] = view.perHandset[u];
        }
        h.packets = view.perHandset[u];
        h.seen = h.packets > 0;
        h.fresh = h.seen && view.running && (now - lastPacketMs_[u]) < kStaleAfterSeconds * 1000;
    }
}

void RecordReader::readHandsets(SharedDeviceState* r) {
    for (int u = 0; u < kHandsets; ++u) {
        HandsetState& h = state_.handsets[u];
        h.x = LoadField(r->X[u]);
        h.y = LoadField(r->Y[u]);
        h.rawX = LoadField(r->RawX[u]);
        h.rawY = LoadField(r->RawY[u]);
        h.roll = LoadField(r->Roll[u]);
        h.distance = LoadField(r->Distance[u]);
        h.power1 = LoadField(r->Power1[u]);
        h.power2 = LoadField(r->Power2[u]);
        h.buttons = LoadField(r->Buttons[u]);
    }
    // The two spots as the camera saw them: about the aim point (their
    // midpoint), D0 / distance apart, along the roll.
    const double d0 = LoadField(r->D0);
    for (int u = 0; u < kHandsets; ++u) {
        HandsetState& h = state_.handsets[u];
        h.spots = h.seen && h.distance > 0 && d0 > 0;
        if (!h.spots) continue;
        const double half = d0 / h.distance / 2;
        const double dx = half * std::cos(h.roll), dy = half * std::sin(h.roll);
        h.spotX[0] = h.rawX - dx, h.spotY[0] = h.rawY - dy;
        h.spotX[1] = h.rawX + dx, h.spotY[1] = h.rawY + dy;
        h.spotPower[0] = h.power1, h.spotPower[1] = h.power2;
    }
    state_.activeHandset = std::clamp<int>(LoadField(r->CurrentUser), 0, kHandsets - 1);
    state_.pointerOn = LoadField(r->ActivateCursor) != 0;
    state_.pointingMode = LoadField(r->DirectPoint) != 0 ? QStringLiteral("direct")
                          : LoadField(r->SmartPoint) != 0 ? QStringLiteral("smart")
                                                          : QStringLiteral("game");
    if (state_.settingsFile.isEmpty()) state_.settingsFile = QString::fromStdString(LoadText(r->IniFileName));
}

void RecordReader::judge() {
    using Problem = KitState::Problem;
    state_.problem = Problem::None;
    state_.problemText.clear();
    if (!state_.attached) {
        state_.problem = Problem::NoRecord;
        state_.problemText = tr("Cannot read the kit: %1.").arg(attachProblem_);
        return;
    }
    // A record removed after this program attached it (ipcrm, a reboot of
    // the IPC namespace's owner) no longer receives anything.
    const int current = shmget(CTavroLinux::SharedMemoryKey, 0, 0);
    if (current != TavroLinux->SharedMemoryId) {
        state_.problem = Problem::StaleRecord;
        state_.problemText =
            tr("The kit's record this window reads was removed (key %1 now names %2); restart Tavro "
               "Control to read the new one.")
                .arg(static_cast<int>(CTavroLinux::SharedMemoryKey))
                .arg(current < 0 ? tr("no segment") : tr("another segment"));
        return;
    }
    cli::DaemonView view;
    view.running = state_.daemonRunning;
    view.pid = state_.daemonPid;
    view.receiverConnected = state_.receiverConnected;
    view.receiverPath = state_.receiverPath.toStdString();
    view.secondsSincePacket = state_.secondsSincePacket;
    if (!state_.daemonRunning) {
        state_.problem = Problem::NoDaemon;
        state_.problemText = tr("No device daemon is running: start it on the Daemon page, with "
                                "\"systemctl --user start tavrod\" or \"tavrod\".");
        return;
    }
    if (!state_.receiverConnected) {
        state_.problem = Problem::NoReceiver;
        state_.problemText = QString::fromStdString(cli::DeviceProblem(view));
        if (state_.problemText.isEmpty()) state_.problemText = tr("The receiver is not connected; plug it in.");
        state_.problemText[0] = state_.problemText[0].toUpper();
        return;
    }
    const double quiet = (clock_.elapsed() - lastTotalMs_) / 1000.0;
    if (lastTotal_ == 0 && state_.secondsSincePacket < 0) {
        state_.problem = Problem::NoPackets;
        state_.problemText = tr("The receiver is connected, but no packet has come from it yet; "
                                "switch a handset on.");
    } else if (quiet >= kStaleAfterSeconds) {
        state_.problem = Problem::Stale;
        state_.problemText = tr("No packet for %1 s: the values shown are the last ones received; "
                                "switch a handset on or bring it in range.")
                                 .arg(quiet, 0, 'f', 1);
    }
}

}  // namespace tavro::control
