// A picture of the calibration screen (XcalScreen x YcalScreen pixels): the
// targets to aim at, where a fit puts the aims taken at them, and the part
// of the screen a calibration lets the handset reach.  It paints what it is
// given; the calibration page and the wizard feed it.
#ifndef TAVRO_CONTROL_CALIBRATION_PICTURE_H
#define TAVRO_CONTROL_CALIBRATION_PICTURE_H

#include "CalibrationFit.h"

#include <QColor>
#include <QWidget>

#include <optional>
#include <vector>

namespace tavro::control {

class CalibrationPicture : public QWidget {
    Q_OBJECT
public:
    explicit CalibrationPicture(QWidget* parent = nullptr);
    // The screen's size; `fill` stretches it over the whole widget (the
    // wizard covers the display the kit maps the calibration screen to),
    // otherwise it keeps its shape inside the widget.
    void setScreen(int calCols, int calRows, bool fill);
    // Targets already aimed at come before `current`; -1: none is current.
    void setTargets(const std::vector<calibration::Target>& targets, int current);
    // Where the fit puts the aim taken at each target (empty: no fit).
    void setFitted(const std::vector<calibration::Target>& fitted);
    // The camera's field as the calibration maps it (none: not drawn).
    void setReach(const std::optional<calibration::Calibration>& calibration);
    // The handsets' aim points now, calibration-screen pixels, in their colours.
    struct AimPoint {
        QPointF at;
        QColor colour;
    };
    void setAims(const std::vector<AimPoint>& aims);
    // Where a calibration-screen point is drawn, in this widget's coordinates.
    QPointF toPicture(double x, double y) const;
    // The radius of the current target: large at any size and density.
    double currentRadius() const;

    QSize sizeHint() const override { return {480, 288}; }
    QSize minimumSizeHint() const override { return {160, 96}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRectF screenRect() const;
    QRectF reachRect() const;  // calibration-screen pixels
    int calCols_ = 1280, calRows_ = 768;
    bool fill_ = false;
    std::vector<calibration::Target> targets_, fitted_;
    int current_ = -1;
    std::optional<calibration::Calibration> reach_;
    std::vector<AimPoint> aims_;
};

}  // namespace tavro::control

#endif
