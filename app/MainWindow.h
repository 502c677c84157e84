// The app's window: a line naming what is wrong (or that the demo runs)
// above the three pages.
#ifndef TAVRO_CONTROL_MAIN_WINDOW_H
#define TAVRO_CONTROL_MAIN_WINDOW_H

#include "RecordReader.h"

#include <QMainWindow>

class QLabel;
class QTabWidget;

namespace tavro::control {

class CalibrationPage;
class DaemonPage;
class KeysPage;
class LivePage;
class PointingPage;
class ReceiverPage;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(RecordReader* reader, QWidget* parent = nullptr);
    // A line shown above the problem line for the whole session (the demo).
    void setNote(const QString& text);
    // Shows the page by its name (one of PageNames()); false for others.
    bool showPage(const QString& name);
    static QStringList PageNames();

    QString problemLine() const;
    LivePage* livePage() const { return live_; }
    PointingPage* pointingPage() const { return pointing_; }
    DaemonPage* daemonPage() const { return daemon_; }
    CalibrationPage* calibrationPage() const { return calibration_; }
    KeysPage* keysPage() const { return keys_; }
    ReceiverPage* receiverPage() const { return receiver_; }
    QTabWidget* tabs() const { return tabs_; }

private:
    void refresh();
    RecordReader* reader_;
    QLabel* note_;
    QLabel* problem_;
    QTabWidget* tabs_;
    LivePage* live_;
    PointingPage* pointing_;
    DaemonPage* daemon_;
    CalibrationPage* calibration_;
    KeysPage* keys_;
    ReceiverPage* receiver_;
};

// The app's icon, drawn (so that it needs no image plugin).
QIcon AppIcon();

}  // namespace tavro::control

#endif
