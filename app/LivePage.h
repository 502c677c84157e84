// The Handsets page: what every handset does, live.
#ifndef TAVRO_CONTROL_LIVE_PAGE_H
#define TAVRO_CONTROL_LIVE_PAGE_H

#include "HandsetWidgets.h"
#include "RecordReader.h"

#include <QWidget>

class QLabel;
class QProgressBar;

namespace tavro::control {

// One handset's values: spot powers as bars, roll, distance, keypad.
class HandsetPanel : public QWidget {
    Q_OBJECT
public:
    HandsetPanel(int user, QWidget* parent = nullptr);
    void setState(const KitState& state);
    const KeypadView* keypad() const { return keypad_; }
    static constexpr int kPowerMax = 2000;

private:
    int user_;
    QLabel* title_;
    QLabel* status_;
    QProgressBar* power_[2];
    QLabel* powerText_[2];
    RollDial* dial_;
    QLabel* distance_;
    KeypadView* keypad_;
};

class LivePage : public QWidget {
    Q_OBJECT
public:
    explicit LivePage(RecordReader* reader, QWidget* parent = nullptr);
    ScreenCanvas* canvas() const { return canvas_; }
    HandsetPanel* panel(int user) const { return panels_[user]; }

private:
    void refresh();
    RecordReader* reader_;
    ScreenCanvas* canvas_;
    CameraView* camera_;
    QLabel* summary_;
    HandsetPanel* panels_[kHandsets];
};

}  // namespace tavro::control

#endif
