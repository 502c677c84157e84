#include "CalibrationWizard.h"

#include "CalibrationPicture.h"
#include "KitCalibration.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>

namespace tavro::control {

namespace {

// The aims are sampled this often, as tavro-calibrate does.
constexpr int kPollMs = 5;
// Without any tracking data for this long the wizard names the likely cause.
constexpr qint64 kNoDataNoteMs = 3000;

QLabel* PanelLabel(QWidget* parent, const QString& name) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setAccessibleName(name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

CalibrationWizard::CalibrationWizard(RecordReader* reader, QWidget* parent)
    : QWidget(parent, Qt::Window), reader_(reader) {
    setWindowTitle(tr("Tavro calibration"));
    setAccessibleName(tr("Calibration wizard"));
    setFocusPolicy(Qt::StrongFocus);
    picture_ = new CalibrationPicture(this);
    picture_->setAccessibleName(tr("Calibration targets"));
    panel_ = new QWidget(this);
    panel_->setObjectName(QStringLiteral("calibration-panel"));
    panel_->setAttribute(Qt::WA_StyledBackground);
    panel_->setStyleSheet(QStringLiteral(
        "#calibration-panel { background: rgba(12, 16, 24, 215); border: 1px solid #5d6b80; border-radius: 8px; }"
        "#calibration-panel QLabel { color: #f2f4f7; }"));
    title_ = PanelLabel(panel_, tr("Calibration step"));
    instructions_ = PanelLabel(panel_, tr("Calibration instructions"));
    live_ = PanelLabel(panel_, tr("Handset seen"));
    note_ = PanelLabel(panel_, tr("Calibration note"));
    note_->setStyleSheet(QStringLiteral("color: #ffb4a8; font-weight: bold"));
    note_->hide();
    store_ = new QPushButton(tr("&Store"), panel_);
    store_->setObjectName(QStringLiteral("calibration-store"));
    store_->setAccessibleName(tr("Store the new calibration"));
    discard_ = new QPushButton(tr("&Discard"), panel_);
    discard_->setObjectName(QStringLiteral("calibration-discard"));
    discard_->setAccessibleName(tr("Discard the new calibration"));
    again_ = new QPushButton(tr("&Again"), panel_);
    again_->setObjectName(QStringLiteral("calibration-again"));
    again_->setAccessibleName(tr("Aim at the targets again"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(store_);
    buttons->addWidget(again_);
    buttons->addWidget(discard_);
    buttons->addStretch();
    auto* column = new QVBoxLayout(panel_);
    column->setContentsMargins(24, 18, 24, 18);
    column->addWidget(title_);
    column->addWidget(instructions_);
    column->addWidget(live_);
    column->addWidget(note_);
    column->addLayout(buttons);

    // The picture covers the window; the panel sits in its middle, clear of
    // the targets near the corners (placePanel).
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture_, 0, 0);
    panel_->raise();

    connect(store_, &QPushButton::clicked, this, &CalibrationWizard::store);
    connect(again_, &QPushButton::clicked, this, &CalibrationWizard::start);
    connect(discard_, &QPushButton::clicked, this,
            [this] { end(false, tr("The new calibration was discarded; nothing was changed.")); });
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, &CalibrationWizard::poll);
    resize(1280, 800);
}

CalibrationWizard::~CalibrationWizard() = default;

void CalibrationWizard::start() {
    collector_.reset();
    points_.clear();
    noDataSaid_ = false;
    note(QString());
    SharedDeviceState* record = reader_->record();
    if (record == nullptr) return fail(tr("No calibration: %1").arg(reader_->state().problemText));
    targets_ = calibration::KitTargets(kTargets, kMarginPercent, &calCols_, &calRows_);
    if (targets_.empty())
        return fail(tr("No calibration: the calibration screen size %1 x %2 is not usable.").arg(calCols_).arg(calRows_));
    calibration::AimOptions options;
    std::string error;
    if (!calibration::AimOptionsOfKit(record, &options, &error))
        return fail(tr("No calibration: %1.").arg(QString::fromStdString(error)));
    previous_ = calibration::CalibrationInUse();
    collector_ = std::make_unique<calibration::AimCollector>(record, options);
    picture_->setScreen(calCols_, calRows_, true);
    picture_->setReach(std::nullopt);
    picture_->setFitted({});
    step_ = Step::Aiming;
    clock_.start();
    showTarget();
    timer_.start();
}

QString CalibrationWizard::text() const {
    QStringList lines;
    for (QLabel* label : {title_, instructions_, live_, note_})
        if (!label->text().isEmpty()) lines << label->text();
    return lines.join(QLatin1Char('\n'));
}

void CalibrationWizard::showTarget() {
    setCursor(Qt::BlankCursor);  // the user aims the handset, not the pointer
    picture_->setTargets(targets_, currentTarget());
    title_->setText(tr("Target %1 of %2").arg(currentTarget() + 1).arg(targets_.size()));
    QString text = tr("Aim the handset at the white ring and press its centre key.\n"
                      "Enter or Space take the handset's aim too; BackSpace goes back one target; "
                      "Escape cancels.");
    // The targets are drawn in proportion to this window; they sit where
    // the kit maps them only when it covers the desktop the kit points at.
    const KitState& state = reader_->state();
    const QSize covered = (QSizeF(size()) * devicePixelRatioF()).toSize();
    if (isFullScreen() && state.screenWidth > 0 && state.screenHeight > 0 &&
        (std::abs(covered.width() - state.screenWidth) > 2 || std::abs(covered.height() - state.screenHeight) > 2))
        text += QLatin1Char('\n') + tr("This window covers %1 x %2 pixels, but the pointer goes to a desktop of "
                                       "%3 x %4: calibrate on the screen the kit points at.")
                                        .arg(covered.width()).arg(covered.height())
                                        .arg(state.screenWidth).arg(state.screenHeight);
    instructions_->setText(text);
    store_->hide();
    again_->hide();
    discard_->hide();
    placePanel();
}

void CalibrationWizard::poll() {
    if (step_ != Step::Aiming) return;
    calibration::Aim aim;
    std::string message;
    const calibration::AimCollector::Event event = collector_->Poll(&aim, &message);
    if (event == calibration::AimCollector::Event::Aimed) return accept(aim);
    if (event == calibration::AimCollector::Event::Refused) note(QString::fromStdString(message));
    if (!noDataSaid_ && !collector_->SeenData() && clock_.elapsed() > kNoDataNoteMs) {
        noDataSaid_ = true;
        note(tr("No tracking data from the receiver yet: is the device daemon tavrod running "
                          "(Daemon page)?"));
    }
    // The last aims stay in the record when the packets stop: say so
    // rather than "seen".
    const KitState& state = reader_->state();
    const QString seen = state.problem != KitState::Problem::None ? state.problemText
                         : collector_->SeenRecently()               ? tr("Handset seen.")
                                                                     : tr("Handset not seen: point it at the screen.");
    if (live_->text() != seen) {
        live_->setText(seen);
        placePanel();
    }
}

void CalibrationWizard::confirmFromKeyboard() {
    const KitState& state = reader_->state();
    if (state.problem != KitState::Problem::None)
        return note(tr("The aim was not taken: %1").arg(state.problemText));
    calibration::Aim aim;
    std::string message;
    collector_->Poll(&aim, &message);  // the newest aims first
    if (collector_->Confirm(reader_->state().activeHandset, &aim, &message) ==
        calibration::AimCollector::Event::Aimed)
        return accept(aim);
    note(QString::fromStdString(message));
}

void CalibrationWizard::accept(const calibration::Aim& aim) {
    points_.push_back({aim.x, aim.y, targets_[points_.size()]});
    note(QString());
    if (points_.size() < targets_.size()) return showTarget();
    showResult();
}

void CalibrationWizard::showResult() {
    timer_.stop();
    unsetCursor();
    std::string error;
    if (!calibration::FitCalibration(points_, &fit_, &error))
        return fail(tr("No calibration: %1; nothing was changed.").arg(QString::fromStdString(error)));
    step_ = Step::Result;
    const calibration::Calibration& c = fit_.calibration;
    picture_->setTargets(targets_, -1);
    picture_->setFitted(calibration::FittedTargets(points_, c));
    title_->setText(tr("The fit of handset %1").arg(collector_->Handset()));
    instructions_->setText(tr("Mx = %1   Bx = %2\nMy = %3   By = %4")
                               .arg(c.mx, 0, 'f', 4).arg(c.bx, 0, 'f', 2).arg(c.my, 0, 'f', 4).arg(c.by, 0, 'f', 2));
    live_->setText(tr("Residual error: rms %1, max %2 calibration-screen pixels.\n"
                      "Red dots: where the new calibration puts the aim taken at each target.")
                       .arg(fit_.rmsError, 0, 'f', 2).arg(fit_.maxError, 0, 'f', 2));
    const bool storable = fit_.rmsError <= calibration::kDefaultMaxError;
    note(storable ? QString()
                            : tr("Not storable: the residual error is above %1 pixels; discard it and aim more "
                                 "carefully.").arg(calibration::kDefaultMaxError));
    store_->setEnabled(storable);
    store_->show();
    again_->show();
    discard_->setText(tr("&Discard"));
    discard_->show();
    // Discard holds the focus: an Enter meant for the last target stores nothing.
    discard_->setFocus();
    placePanel();
}

void CalibrationWizard::fail(const QString& why) {
    timer_.stop();
    unsetCursor();
    step_ = Step::Failed;
    title_->setText(tr("Calibration"));
    instructions_->clear();
    live_->clear();
    note(why);
    store_->hide();
    again_->setVisible(collector_ != nullptr);  // aiming went wrong, not the set-up
    discard_->setText(tr("&Close"));
    discard_->show();
    discard_->setFocus();
    placePanel();
}

void CalibrationWizard::store() {
    if (step_ != Step::Result) return;
    SharedDeviceState* record = reader_->record();
    std::string file, error;
    if (record == nullptr) {
        note(tr("Not stored: the kit's record is not attached."));
        return;
    }
    if (!calibration::StoreCalibration(record, fit_.calibration, previous_, false, &file, &error)) {
        note(tr("Not stored: %1; the previous calibration stays in use.").arg(QString::fromStdString(error)));
        return;
    }
    end(true, tr("The new calibration is in use and stored in %1 (residual error %2 pixels).")
                  .arg(QString::fromStdString(file))
                  .arg(fit_.rmsError, 0, 'f', 2));
}

void CalibrationWizard::note(const QString& text) {
    note_->setText(text);
    note_->setVisible(!text.isEmpty());
    placePanel();
}

void CalibrationWizard::end(bool stored, const QString& outcome) {
    timer_.stop();
    step_ = Step::Done;
    emit finished(stored, outcome);
    close();
}

void CalibrationWizard::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            return end(false, tr("The calibration was cancelled; nothing was changed."));
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            if (step_ == Step::Aiming) return confirmFromKeyboard();
            break;
        case Qt::Key_Backspace:
            if (step_ == Step::Aiming && !points_.empty()) {
                points_.pop_back();
                return showTarget();
            }
            break;
        default:
            break;
    }
    QWidget::keyPressEvent(event);
}

void CalibrationWizard::closeEvent(QCloseEvent* event) {
    if (step_ != Step::Done) {
        timer_.stop();
        step_ = Step::Done;
        emit finished(false, tr("The calibration was cancelled; nothing was changed."));
    }
    event->accept();
}

void CalibrationWizard::resizeEvent(QResizeEvent* event) {
    // Text and panel grow with the window, in the screen's own units, so
    // that they read well from the sofa at any size and density.
    const int side = std::min(width(), height());
    QFont big = font();
    big.setPixelSize(std::clamp(side / 22, 16, 48));
    big.setBold(true);
    title_->setFont(big);
    QFont normal = font();
    normal.setPixelSize(std::clamp(side / 40, 12, 28));
    for (QLabel* label : {instructions_, live_, note_}) label->setFont(normal);
    for (QPushButton* button : {store_, again_, discard_}) button->setFont(normal);
    QWidget::resizeEvent(event);
    if (step_ == Step::Aiming) showTarget();
    placePanel();
}

void CalibrationWizard::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Leaving or entering full screen changes what the targets are drawn over.
    if (event->type() == QEvent::WindowStateChange && step_ == Step::Aiming) showTarget();
}

void CalibrationWizard::placePanel() {
    // Half the window wide (all of a narrow one), as tall as its text needs;
    // placed by hand so that it never sets a smallest size on the window.
    const int w = std::max(1, std::min(width() - 16, std::max(260, width() / 2)));
    QLayout* column = panel_->layout();
    column->activate();
    const int h = std::min(height(), column->hasHeightForWidth() ? column->totalHeightForWidth(w)
                                                                 : column->totalSizeHint().height());
    panel_->setGeometry((width() - w) / 2, (height() - h) / 2, w, h);
}

}  // namespace tavro::control
