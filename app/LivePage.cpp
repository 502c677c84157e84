#include "LivePage.h"

#include "RecordAccess.h"
#include "SharedDeviceState.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>

namespace tavro::control {

namespace {

// Gives a label that changes with every packet a fixed size, as wide as its
// widest text: a label whose size may change makes every change lay out the
// whole page again.
void FixSize(QLabel* label, const QStringList& widest) {
    int width = 0;
    for (const QString& text : widest) width = std::max(width, label->fontMetrics().horizontalAdvance(text));
    label->setFixedSize(width + 4, label->sizeHint().height());
}

}  // namespace

HandsetPanel::HandsetPanel(int user, QWidget* parent) : QWidget(parent), user_(user) {
    setAccessibleName(tr("Handset %1").arg(user));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    title_ = new QLabel(this);
    title_->setTextFormat(Qt::RichText);
    title_->setText(tr("<span style=\"color:%1\">&#9679;</span> <b>Handset %2</b>")
                        .arg(HandsetColour(user).name())
                        .arg(user));
    status_ = new QLabel(this);
    status_->setAccessibleName(tr("Handset %1 state").arg(user));
    FixSize(status_, {tr("no data"), tr("active"), tr("live"), tr("not live")});
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(title_, 0, 0, 1, 2);
    grid->addWidget(status_, 0, 2, Qt::AlignRight);
    for (int s = 0; s < 2; ++s) {
        auto* label = new QLabel(tr("Spot %1").arg(s + 1), this);
        power_[s] = new QProgressBar(this);
        power_[s]->setRange(0, kPowerMax);
        power_[s]->setTextVisible(false);
        powerText_[s] = new QLabel(this);
        FixSize(powerText_[s], {QStringLiteral("00000")});
        powerText_[s]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        power_[s]->setAccessibleName(tr("Handset %1, power of spot %2").arg(user).arg(s + 1));
        label->setBuddy(power_[s]);
        grid->addWidget(label, 1 + s, 0);
        grid->addWidget(power_[s], 1 + s, 1);
        grid->addWidget(powerText_[s], 1 + s, 2);
    }
    dial_ = new RollDial(this);
    dial_->setAccessibleName(tr("Handset %1, roll").arg(user));
    keypad_ = new KeypadView(this);
    keypad_->setAccessibleName(tr("Handset %1, keypad").arg(user));
    distance_ = new QLabel(this);
    distance_->setAccessibleName(tr("Handset %1, distance").arg(user));
    FixSize(distance_, {tr("distance %1").arg(888.88, 0, 'f', 2), tr("distance -")});
    distance_->setAlignment(Qt::AlignCenter);
    auto* pictures = new QHBoxLayout;
    auto* rollColumn = new QVBoxLayout;
    rollColumn->addWidget(dial_, 1);
    rollColumn->addWidget(distance_, 0, Qt::AlignHCenter);
    pictures->addLayout(rollColumn, 1);
    pictures->addWidget(keypad_, 1);
    grid->addLayout(pictures, 3, 0, 1, 3);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(1, 1);
}

void HandsetPanel::setState(const KitState& state) {
    const HandsetState& h = state.handsets[user_];
    const bool live = h.fresh && state.problem == KitState::Problem::None;
    status_->setText(!h.seen ? tr("no data") : live ? (state.activeHandset == user_ ? tr("active") : tr("live"))
                                                   : tr("not live"));
    const int powers[2] = {h.power1, h.power2};
    for (int s = 0; s < 2; ++s) {
        const int value = h.seen ? std::clamp(powers[s], 0, kPowerMax) : 0;
        if (power_[s]->value() != value) power_[s]->setValue(value);
        powerText_[s]->setText(h.seen ? QString::number(powers[s]) : tr("-"));
        power_[s]->setEnabled(live);
    }
    dial_->setRoll(h.seen ? h.roll : 0.0, HandsetColour(user_), live);
    distance_->setText(h.seen ? tr("distance %1").arg(h.distance, 0, 'f', 2) : tr("distance -"));
    keypad_->setButtons(h.seen ? h.buttons : -1, HandsetColour(user_), live);
    setEnabled(h.seen);
}

LivePage::LivePage(RecordReader* reader, QWidget* parent) : QWidget(parent), reader_(reader) {
    auto* top = new QHBoxLayout;
    canvas_ = new ScreenCanvas(this);
    top->addWidget(canvas_, 3);
    auto* side = new QVBoxLayout;
    camera_ = new CameraView(this);
    side->addWidget(camera_, 1);
    summary_ = new QLabel(this);
    summary_->setWordWrap(true);
    summary_->setAccessibleName(tr("Active handset and pointing"));
    side->addWidget(summary_);
    side->addStretch();
    top->addLayout(side, 1);

    auto* bottom = new QHBoxLayout;
    for (int u = 0; u < kHandsets; ++u) {
        panels_[u] = new HandsetPanel(u, this);
        bottom->addWidget(panels_[u], 1);
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 3);
    layout->addLayout(bottom, 2);
    connect(reader_, &RecordReader::updated, this, &LivePage::refresh);
}

void LivePage::refresh() {
    const KitState& state = reader_->state();
    int width = state.screenWidth, height = state.screenHeight;
    if ((width <= 0 || height <= 0) && reader_->record() != nullptr) {
        // No daemon told its desktop: the calibration screen stands in, as it
        // does for the daemon.
        width = tavro::LoadField(reader_->record()->XcalScreen);
        height = tavro::LoadField(reader_->record()->YcalScreen);
    }
    if (width <= 0 || height <= 0) width = 1920, height = 1080;
    canvas_->setState(state, width, height);
    if (!isVisible()) return;
    camera_->setState(state);
    for (HandsetPanel* panel : panels_) panel->setState(state);
    summary_->setText(tr("Active handset: %1\nPointing: %2, pointer %3")
                          .arg(state.activeHandset)
                          .arg(state.pointingMode.isEmpty() ? tr("unknown") : state.pointingMode)
                          .arg(state.pointerOn ? tr("on") : tr("off")));
}

}  // namespace tavro::control
