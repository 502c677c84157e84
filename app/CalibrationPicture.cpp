#include "CalibrationPicture.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace tavro::control {

namespace {

constexpr double kCameraWidth = 352, kCameraHeight = 288;

const QColor kBackground(0x1b, 0x22, 0x30);
const QColor kFrame(0x5d, 0x6b, 0x80);
const QColor kCurrent(0xff, 0xff, 0xff);
const QColor kDone(0x6f, 0xcf, 0x97);
const QColor kPending(0x8a, 0x96, 0xa8);
const QColor kFitted(0xef, 0x47, 0x3a);
const QColor kReach(0xf5, 0xa6, 0x23);

}  // namespace

CalibrationPicture::CalibrationPicture(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void CalibrationPicture::setScreen(int calCols, int calRows, bool fill) {
    calCols_ = std::max(1, calCols);
    calRows_ = std::max(1, calRows);
    fill_ = fill;
    update();
}

void CalibrationPicture::setTargets(const std::vector<calibration::Target>& targets, int current) {
    targets_ = targets;
    current_ = current;
    update();
}

void CalibrationPicture::setFitted(const std::vector<calibration::Target>& fitted) {
    fitted_ = fitted;
    update();
}

void CalibrationPicture::setReach(const std::optional<calibration::Calibration>& calibration) {
    reach_ = calibration;
    update();
}

void CalibrationPicture::setAims(const std::vector<AimPoint>& aims) {
    aims_ = aims;
    update();
}

QRectF CalibrationPicture::reachRect() const {
    if (!reach_) return {};
    const calibration::Calibration& c = *reach_;
    return QRectF(QPointF(c.bx, c.by), QPointF(c.mx * kCameraWidth + c.bx, c.my * kCameraHeight + c.by)).normalized();
}

QRectF CalibrationPicture::screenRect() const {
    const QRectF area = rect();
    if (fill_) return area;
    // The screen and the camera's reach, which often spills over its edges,
    // both fit in, with the screen's shape kept.
    QRectF box(0, 0, calCols_, calRows_);
    const QRectF reach = reachRect();
    if (reach.isValid() && reach.width() < 20.0 * calCols_ && reach.height() < 20.0 * calRows_) box |= reach;
    box.adjust(-box.width() * 0.02, -box.height() * 0.02, box.width() * 0.02, box.height() * 0.02);
    const double scale = std::min(area.width() / box.width(), area.height() / box.height());
    const QPointF origin = area.center() - QPointF(box.width() * scale / 2, box.height() * scale / 2) -
                           box.topLeft() * scale;
    return QRectF(origin, QSizeF(calCols_ * scale, calRows_ * scale));
}

QPointF CalibrationPicture::toPicture(double x, double y) const {
    const QRectF screen = screenRect();
    return {screen.left() + x * screen.width() / calCols_, screen.top() + y * screen.height() / calRows_};
}

double CalibrationPicture::currentRadius() const {
    const QRectF screen = screenRect();
    return std::clamp(std::min(screen.width(), screen.height()) * 0.045, 8.0, 60.0);
}

void CalibrationPicture::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF screen = screenRect();
    p.fillRect(rect(), fill_ ? kBackground : palette().window().color());
    p.setPen(QPen(kFrame, 2));
    p.setBrush(kBackground);
    p.drawRect(screen.adjusted(1, 1, -1, -1));

    if (reach_) {
        const calibration::Calibration& c = *reach_;
        const QRectF reach = reachRect();
        const QRectF field(toPicture(reach.left(), reach.top()), toPicture(reach.right(), reach.bottom()));
        p.setPen(QPen(kReach, 2, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(field);
        p.drawText(field.adjusted(6, 4, -6, -4), Qt::AlignTop | Qt::AlignLeft, tr("camera's reach"));
        const QPointF centre = toPicture(c.mx * kCameraWidth / 2 + c.bx, c.my * kCameraHeight / 2 + c.by);
        p.setPen(QPen(kReach, 2));
        p.drawLine(centre - QPointF(8, 0), centre + QPointF(8, 0));
        p.drawLine(centre - QPointF(0, 8), centre + QPointF(0, 8));
    }

    const double big = currentRadius();
    const double small = std::max(5.0, big / 3);
    for (size_t i = 0; i < targets_.size(); ++i) {
        const QPointF at = toPicture(targets_[i].x, targets_[i].y);
        const bool current = static_cast<int>(i) == current_;
        const bool done = current_ < 0 || static_cast<int>(i) < current_;
        const QColor colour = current ? kCurrent : done ? kDone : kPending;
        const double radius = current ? big : small;
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(colour, current ? std::max(3.0, big / 10) : 2));
        p.drawEllipse(at, radius, radius);
        p.drawLine(at - QPointF(radius * 1.6, 0), at + QPointF(radius * 1.6, 0));
        p.drawLine(at - QPointF(0, radius * 1.6), at + QPointF(0, radius * 1.6));
        if (current) {
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawEllipse(at, radius / 6, radius / 6);
        }
    }
    for (const AimPoint& aim : aims_) {
        p.setPen(QPen(Qt::white, 1.5));
        p.setBrush(aim.colour);
        p.drawEllipse(toPicture(aim.at.x(), aim.at.y()), 6, 6);
    }
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(kFitted);
    const double dot = std::max(4.0, big / 8);
    for (size_t i = 0; i < fitted_.size(); ++i) {
        const QPointF at = toPicture(fitted_[i].x, fitted_[i].y);
        if (i < targets_.size()) {
            p.setPen(QPen(kFitted, 1.5));
            p.drawLine(toPicture(targets_[i].x, targets_[i].y), at);
            p.setPen(QPen(Qt::white, 1));
        }
        p.drawEllipse(at, dot, dot);
    }
}

}  // namespace tavro::control
