// Polls the kit's shared record and the device daemon's status at the
// display's rate and hands the pages one snapshot per tick.  It attaches
// through TV_Attach, which never resets the record a running daemon fills.
#ifndef TAVRO_CONTROL_RECORD_READER_H
#define TAVRO_CONTROL_RECORD_READER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

struct SharedDeviceState;

namespace tavro::control {

constexpr int kHandsets = 4;
// Without a packet for this long the live values are the last ones received.
constexpr double kStaleAfterSeconds = 1.0;

struct HandsetState {
    bool seen = false;   // some packet of this handset has come
    bool fresh = false;  // its newest packet is younger than kStaleAfterSeconds
    double x = 0, y = 0;          // pointer position, display pixels
    double rawX = 0, rawY = 0;    // aim, camera pixels
    double roll = 0;              // radians
    double distance = 0;
    int power1 = 0, power2 = 0;
    int buttons = -1;             // active-low button word
    bool spots = false;           // the two spots are known
    double spotX[2] = {}, spotY[2] = {};  // camera pixels
    int spotPower[2] = {};
    uint64_t packets = 0;
};

struct KitState {
    enum class Problem { None, NoRecord, StaleRecord, NoDaemon, NoReceiver, NoPackets, Stale };
    bool attached = false;
    Problem problem = Problem::NoRecord;
    QString problemText;  // one line naming the cause and the fix; empty when all is well

    bool daemonRunning = false;
    int daemonPid = 0;
    bool receiverConnected = false;
    QString receiverPath;
    double secondsSincePacket = -1;  // -1: none since the daemon started
    QString output, outputReason, filter;
    int screenWidth = 0, screenHeight = 0;  // the desktop the positions map to
    QString settingsFile;                   // the file the record's values came from
    QString profile;                        // the key bindings' profile the daemon uses

    int activeHandset = 0;
    bool pointerOn = false;
    QString pointingMode;  // "direct", "smart" or "game"
    HandsetState handsets[kHandsets];
};

class RecordReader : public QObject {
    Q_OBJECT
public:
    explicit RecordReader(QObject* parent = nullptr);

    // Polls every `intervalMs`; 0 takes the primary screen's refresh rate,
    // never slower than 30 Hz.
    void start(int intervalMs = 0);
    void stop();
    int interval() const { return timer_.interval(); }

    // Polls once now and tells the pages.
    void poll();
    const KitState& state() const { return state_; }
    // The attached record, or null.
    SharedDeviceState* record() const;

signals:
    void updated();

private:
    bool attach();
    void readDaemon();
    void readHandsets(SharedDeviceState* record);
    void judge();

    QTimer timer_;
    QElapsedTimer clock_;
    KitState state_;
    QString attachProblem_;
    qint64 nextAttachMs_ = 0;
    uint64_t lastPackets_[kHandsets] = {};
    qint64 lastPacketMs_[kHandsets] = {};
    uint64_t lastTotal_ = 0;
    qint64 lastTotalMs_ = -1;
};

}  // namespace tavro::control

#endif
