// The Daemon page: whether the device daemon tavrod runs, the output it
// uses and why, the desktop's size, the settings file in use, its last log
// lines; and starting, stopping and enabling it through the user's service
// manager where one runs.
#ifndef TAVRO_CONTROL_DAEMON_PAGE_H
#define TAVRO_CONTROL_DAEMON_PAGE_H

#include "RecordReader.h"

#include <QProcess>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace tavro::control {

class DaemonPage : public QWidget {
    Q_OBJECT
public:
    explicit DaemonPage(RecordReader* reader, QWidget* parent = nullptr);
    // In the demo: the daemon is the window's own and its log is this file.
    void setDemo(const QString& logFile);
    // Whether a systemd user manager runs for this user (its private socket
    // exists), so that systemctl --user can reach it.
    static bool UserManagerRuns();
    QString serviceLine() const;
    QString stateText() const;
    QCheckBox* trayAtLogin() const { return trayAtLogin_; }
    QString trayLine() const;

private:
    void refresh();
    void readLog();
    void systemctl(const QStringList& arguments, const QString& what);

    RecordReader* reader_;
    QLabel* state_;
    QLabel* receiver_;
    QLabel* output_;
    QLabel* reason_;
    QLabel* screen_;
    QLabel* settings_;
    QLabel* filter_;
    QLabel* service_;
    QPushButton* start_;
    QPushButton* stop_;
    QCheckBox* enable_;
    QCheckBox* trayAtLogin_;
    QLabel* trayLine_;
    QPlainTextEdit* log_;
    QProcess journal_;
    QProcess control_;
    QString demoLog_;
    int ticks_ = 0;
};

}  // namespace tavro::control

#endif
