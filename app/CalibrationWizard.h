// The calibration wizard: a window over the whole screen with the four
// targets one after the other.  The user aims the handset at each and
// presses its centre key (Enter or Space confirm the handset's aim from the
// keyboard, BackSpace goes back one target, Escape cancels); the fit and its
// residual are shown on the screen's picture, then stored, aimed again or discarded.
// It uses the fit, the aim collecting and the storing of tavro-calibrate,
// and like it leaves the pointer and the running device as they are:
// nothing is written until the user stores the fit.
#ifndef TAVRO_CONTROL_CALIBRATION_WIZARD_H
#define TAVRO_CONTROL_CALIBRATION_WIZARD_H

#include "AimCollector.h"
#include "CalibrationFit.h"
#include "RecordReader.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QPushButton;

namespace tavro::control {

class CalibrationPicture;

class CalibrationWizard : public QWidget {
    Q_OBJECT
public:
    explicit CalibrationWizard(RecordReader* reader, QWidget* parent = nullptr);
    ~CalibrationWizard() override;

    enum class Step { Aiming, Result, Failed, Done };
    // Starts at the first target (or says why it cannot).
    void start();
    Step step() const { return step_; }
    // The target aimed at now (aiming), in calibration-screen pixels.
    int currentTarget() const { return static_cast<int>(points_.size()); }
    const std::vector<calibration::Target>& targets() const { return targets_; }
    // The fit shown at the end.
    const calibration::FitResult& fit() const { return fit_; }
    // The lines the wizard shows now, for the reader of the screen and tests.
    QString text() const;
    CalibrationPicture* picture() const { return picture_; }
    QPushButton* storeButton() const { return store_; }
    QPushButton* discardButton() const { return discard_; }
    QPushButton* againButton() const { return again_; }

    static constexpr int kTargets = 4;
    static constexpr double kMarginPercent = 10.0;

signals:
    // The wizard ends: stored or not, with the line to tell the user.
    void finished(bool stored, const QString& outcome);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void poll();
    void confirmFromKeyboard();
    void accept(const calibration::Aim& aim);
    void showTarget();
    void showResult();
    void fail(const QString& why);
    void store();
    void end(bool stored, const QString& outcome);
    // The line naming what went wrong, hidden when there is none.
    void note(const QString& text);
    void placePanel();

    RecordReader* reader_;
    CalibrationPicture* picture_;
    QWidget* panel_;
    QLabel* title_;
    QLabel* instructions_;
    QLabel* live_;
    QLabel* note_;
    QPushButton* store_;
    QPushButton* discard_;
    QPushButton* again_;
    QTimer timer_;
    QElapsedTimer clock_;
    Step step_ = Step::Failed;
    bool noDataSaid_ = false;
    std::unique_ptr<calibration::AimCollector> collector_;
    std::vector<calibration::Target> targets_;
    std::vector<calibration::AimedPoint> points_;
    calibration::Calibration previous_;
    calibration::FitResult fit_;
    int calCols_ = 0, calRows_ = 0;
};

}  // namespace tavro::control

#endif
