#include "CalibrationPage.h"

#include "CalibrationPicture.h"
#include "CalibrationWizard.h"
#include "HandsetWidgets.h"
#include "PageParts.h"
#include "KitCalibration.h"
#include "tavrodev.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavro::control {

CalibrationPage::CalibrationPage(RecordReader* reader, QWidget* parent) : QWidget(parent), reader_(reader) {
    auto* group = new QGroupBox(tr("Calibration in use"), this);
    picture_ = new CalibrationPicture(group);
    picture_->setAccessibleName(tr("Calibration on the screen"));
    picture_->setAccessibleDescription(tr("The dashed frame is the part of the screen the handset reaches"));
    values_ = new QLabel(group);
    values_->setAccessibleName(tr("Calibration values"));
    values_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* explanation = new QLabel(
        tr("The dashed frame is the part of the screen the handset can point at with this calibration; the cross "
           "is where it points when aimed straight at the camera's centre; a dot in a handset's colour is where "
           "it points now. If the pointer does not sit where the "
           "handset aims, calibrate: the wizard shows four targets over the whole screen, you aim at each and "
           "press the handset's centre key, and it shows the fit before you store it."),
        group);
    explanation->setWordWrap(true);
    calibrate_ = new QPushButton(tr("Ca&librate…"), group);
    calibrate_->setObjectName(QStringLiteral("calibrate"));
    calibrate_->setAccessibleName(tr("Calibrate"));
    calibrate_->setAccessibleDescription(tr("Opens the calibration wizard over the whole screen"));
    message_ = OutcomeLine(tr("Outcome of the last calibration"), this);

    auto* inner = new QVBoxLayout(group);
    inner->addWidget(picture_, 1);
    inner->addWidget(values_);
    inner->addWidget(explanation);
    inner->addWidget(calibrate_, 0, Qt::AlignLeft);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group, 1);
    layout->addWidget(message_);

    connect(calibrate_, &QPushButton::clicked, this, &CalibrationPage::openWizard);
    connect(reader_, &RecordReader::updated, this, &CalibrationPage::refresh);
}

CalibrationWizard* CalibrationPage::wizard() const { return wizard_; }
QString CalibrationPage::message() const { return message_->text(); }
QString CalibrationPage::valuesText() const { return values_->text(); }

CalibrationWizard* CalibrationPage::openWizard() {
    if (wizard_ != nullptr) {
        wizard_->activateWindow();
        return wizard_;
    }
    if (reader_->record() == nullptr) {
        message_->setText(tr("No calibration: %1").arg(reader_->state().problemText));
        return nullptr;
    }
    wizard_ = new CalibrationWizard(reader_, this);
    wizard_->setAttribute(Qt::WA_DeleteOnClose);
    connect(wizard_, &CalibrationWizard::finished, this, [this](bool stored, const QString& outcome) {
        message_->setStyleSheet(QString());
        message_->setText(outcome);
        if (stored) showCalibration();
    });
    wizard_->start();
    wizard_->showFullScreen();
    wizard_->activateWindow();
    wizard_->setFocus();
    return wizard_;
}

void CalibrationPage::showCalibration() {
    int calCols = 0, calRows = 0;
    TV_GetCalScreen(&calCols, &calRows);
    const calibration::Calibration c = calibration::CalibrationInUse();
    picture_->setScreen(calCols, calRows, false);
    picture_->setReach(c);
    const QString text = tr("Mx = %1   Bx = %2   My = %3   By = %4   on a calibration screen of %5 x %6 pixels")
                             .arg(c.mx, 0, 'f', 4).arg(c.bx, 0, 'f', 2).arg(c.my, 0, 'f', 4).arg(c.by, 0, 'f', 2)
                             .arg(calCols).arg(calRows);
    if (values_->text() != text) values_->setText(text);
}

void CalibrationPage::showAims() {
    // Where the handsets point now, so that the user can see whether the
    // calibration puts the pointer where the handset aims.
    const KitState& state = reader_->state();
    std::vector<CalibrationPicture::AimPoint> aims;
    int calCols = 0, calRows = 0;
    TV_GetCalScreen(&calCols, &calRows);
    if (state.screenWidth > 0 && state.screenHeight > 0)
        for (int u = 0; u < kHandsets; ++u)
            if (state.handsets[u].fresh)
                aims.push_back({QPointF(state.handsets[u].x * calCols / state.screenWidth,
                                        state.handsets[u].y * calRows / state.screenHeight),
                                HandsetColour(u)});
    picture_->setAims(aims);
}

void CalibrationPage::refresh() {
    if (!isVisible() && ticks_ > 0) return;
    if (reader_->record() != nullptr) showAims();
    // Others may store a calibration too (tavro-calibrate, tavro set): a few
    // looks a second are enough.
    if (ticks_++ % 8 != 0) return;
    const bool attached = reader_->record() != nullptr;
    calibrate_->setEnabled(attached);
    if (!attached) {
        values_->setText(tr("No calibration to show: %1").arg(reader_->state().problemText));
        picture_->setReach(std::nullopt);
        return;
    }
    showCalibration();
}

}  // namespace tavro::control
