// The Calibration page: the calibration in use on a picture of the screen
// (the part the handset reaches), its four values, and the button that opens
// the full-screen calibration wizard.  The page itself writes nothing.
#ifndef TAVRO_CONTROL_CALIBRATION_PAGE_H
#define TAVRO_CONTROL_CALIBRATION_PAGE_H

#include "RecordReader.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;

namespace tavro::control {

class CalibrationPicture;
class CalibrationWizard;

class CalibrationPage : public QWidget {
    Q_OBJECT
public:
    explicit CalibrationPage(RecordReader* reader, QWidget* parent = nullptr);
    // Opens the wizard over the whole screen; returns it (null when the
    // record is not attached).
    CalibrationWizard* openWizard();
    // The wizard while it is open, or null.
    CalibrationWizard* wizard() const;
    QString message() const;
    QString valuesText() const;

private:
    void refresh();
    void showCalibration();
    void showAims();

    RecordReader* reader_;
    CalibrationPicture* picture_;
    QLabel* values_;
    QLabel* message_;
    QPushButton* calibrate_;
    QPointer<CalibrationWizard> wizard_;
    int ticks_ = 0;
};

}  // namespace tavro::control

#endif
