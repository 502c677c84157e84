// The Receiver page: what the receiver reports about itself and the
// handsets (versions, dates, assignment, signal, channel), its radio
// channel, the handset camera's threshold, gain and exposure, the vibration
// motor, and infrared codes: learn one under a name, send it, list and
// delete the saved ones.  Every request waits for the daemon and the
// receiver off the window's thread; the page says "waiting…" meanwhile and
// one line on how it went.  Nothing is sent until the user asks for it.
#ifndef TAVRO_CONTROL_RECEIVER_PAGE_H
#define TAVRO_CONTROL_RECEIVER_PAGE_H

#include "Kit.h"
#include "RecordReader.h"

#include <QThreadPool>
#include <QWidget>

#include <atomic>
#include <functional>
#include <map>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace tavro::control {

class ReceiverPage : public QWidget {
    Q_OBJECT
public:
    explicit ReceiverPage(RecordReader* reader, QWidget* parent = nullptr);
    ~ReceiverPage() override;

    // The outcome of the last request ("waiting…" while one runs).
    QString message() const;
    // Why requests cannot be served now, or empty.
    QString daemonLine() const;
    // The value shown for an information item, by its kind (0-8).
    QString infoValue(int kind) const;
    // Requests still queued or running.
    int pending() const { return pending_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    using Job = std::function<cli::Outcome(SharedDeviceState* record)>;
    using Done = std::function<void(const cli::Outcome& outcome)>;
    // Runs the job on the page's one worker thread (so that requests never
    // overlap in the record), then `done` on the window's thread.
    void request(const QString& what, Job job, Done done);

    QWidget* makeInfoGroup();
    QWidget* makeRadioGroup();
    QWidget* makeCameraGroup();
    QWidget* makeMotorGroup();
    QWidget* makeInfraredGroup();
    void refresh();
    void readInfo();
    void switchChannel();
    void changeCamera(int which, int value);
    void learnCode();
    void sendCode();
    void deleteCode();
    void listCodes(const QString& select = QString());
    void say(const QString& text, bool failure);

    RecordReader* reader_;
    QThreadPool pool_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> stopLearning_{false};  // the user cancelled, or the page closes
    bool learning_ = false;
    int pending_ = 0;
    std::map<int, QLabel*> info_;
    QPushButton* readInfo_;
    QSpinBox* channel_;
    int channelKnown_ = -1;  // the receiver's channel as last read or set
    QSpinBox* camera_[3];
    int cameraKnown_[3];     // the values last sent (the record's), -1 unknown
    bool recordShown_ = false;  // the record's values were put in the controls
    QComboBox* motorMode_;
    QSpinBox* motorLevel_;
    QSpinBox* motorValue_;
    QLineEdit* codeName_;
    QPushButton* learn_;
    QListWidget* codes_;
    QPushButton* sendCode_;
    QPushButton* deleteCode_;
    QLabel* daemonLine_;
    QLabel* message_;
};

}  // namespace tavro::control

#endif
