#include "HandsetWidgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace tavro::control {

namespace {

// The keypad's keys by their bit in the button word, as laid out on the
// handset: three rows of the direction pad, then the menu key.
constexpr int kPadBits[3][3] = {{2, 1, 0}, {5, 4, 3}, {8, 7, 6}};
constexpr int kMenuBit = 9;

QColor Dimmed(const QColor& colour) {
    QColor dim = colour;
    dim.setAlphaF(0.35);
    return dim;
}

}  // namespace

QColor HandsetColour(int user) {
    static const QColor kColours[kHandsets] = {QColor(0xf5, 0xa6, 0x23), QColor(0x3d, 0x8e, 0xe0),
                                               QColor(0x4c, 0xb8, 0x4c), QColor(0xc8, 0x4c, 0xd8)};
    return kColours[std::clamp(user, 0, kHandsets - 1)];
}

// ---- StillPicture ----

const QPixmap& StillPicture::of(const QWidget* widget, const QString& extra,
                                const std::function<void(QPainter&)>& draw) {
    const qreal ratio = widget->devicePixelRatioF();
    const QString key = QStringLiteral("%1x%2@%3 %4 %5 %6 %7")
                            .arg(widget->width())
                            .arg(widget->height())
                            .arg(ratio)
                            .arg(widget->palette().color(QPalette::Window).name(),
                                 widget->palette().color(QPalette::Base).name(), widget->font().toString(), extra);
    if (key == key_) return picture_;
    key_ = key;
    picture_ = QPixmap(widget->size() * ratio);
    picture_.setDevicePixelRatio(ratio);
    // Opaque, in the window's colour: copied without blending, and the
    // widget paints all of its pixels, so nothing behind it is drawn.
    picture_.fill(widget->palette().color(QPalette::Window));
    QPainter p(&picture_);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return picture_;
}

// ---- ScreenCanvas ----

ScreenCanvas::ScreenCanvas(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("Screen with the handsets' aim points"));
    setAccessibleDescription(tr("Each handset's aim point and its trail on the screen, the active "
                                "handset ringed"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ScreenCanvas::setState(const KitState& state, int width, int height) {
    // Drawn again only where something drawn changed: around a handset that
    // moved, before and after; a still handset costs nothing.
    const bool whole = width_ != std::max(1, width) || height_ != std::max(1, height) ||
                       state.activeHandset != state_.activeHandset;
    width_ = std::max(1, width);
    height_ = std::max(1, height);
    bool moved[kHandsets] = {};
    QRect dirty;
    for (int u = 0; u < kHandsets; ++u) {
        const HandsetState& h = state.handsets[u];
        const HandsetState& was = state_.handsets[u];
        moved[u] = h.seen != was.seen || h.fresh != was.fresh || h.x != was.x || h.y != was.y;
        if (moved[u]) dirty |= handsetArea(u);
    }
    for (int u = 0; u < kHandsets; ++u) {
        const HandsetState& h = state.handsets[u];
        std::deque<QPointF>& trail = trails_[u];
        if (!h.fresh) continue;
        const QPointF point(h.x, h.y);
        if (trail.empty() || trail.back() != point) trail.push_back(point);
        while (static_cast<int>(trail.size()) > kTrailLength) trail.pop_front();
    }
    state_ = state;
    for (int u = 0; u < kHandsets; ++u)
        if (moved[u]) dirty |= handsetArea(u);
    const bool live = state.problem == KitState::Problem::None;
    QString stale;
    if (state.problem == KitState::Problem::Stale) stale = tr("No packet for a second: not live");
    else if (!live) stale = tr("Not live");
    const bool staleChanged = stale != staleText_;
    staleText_ = stale;
    if (whole || staleChanged) update();
    else if (!dirty.isEmpty()) update(dirty);
}

QString ScreenCanvas::label(int user) const {
    return user == state_.activeHandset ? tr("%1 (active)").arg(user) : QString::number(user);
}

double ScreenCanvas::unit() const {
    const QRectF screen = screenRect();
    return std::max(3.0, std::min(screen.width(), screen.height()) / 60.0);
}

QRect ScreenCanvas::handsetArea(int user) const {
    const HandsetState& h = state_.handsets[user];
    if (!h.seen) return {};
    const QPointF at = toCanvas(h.x, h.y);
    double left = at.x(), right = at.x(), top = at.y(), bottom = at.y();
    for (const QPointF& point : trails_[user]) {
        const QPointF c = toCanvas(point.x(), point.y());
        left = std::min(left, c.x());
        right = std::max(right, c.x());
        top = std::min(top, c.y());
        bottom = std::max(bottom, c.y());
    }
    // The active ring, and the label to the upper right of the aim point
    // (measured once per font: the widest label, the active handset's).
    if (font() != labelFont_) {
        labelFont_ = font();
        const QFontMetricsF metrics(labelFont_);
        labelWidth_ = metrics.horizontalAdvance(tr("%1 (active)").arg(kHandsets - 1));
        labelAscent_ = metrics.ascent();
    }
    const double u = unit();
    right = std::max(right + u * 3, at.x() + u * 2.6 + labelWidth_ + 4);
    top = std::min(top - u * 3, at.y() - u * 1.2 - labelAscent_ - 2);
    return QRectF(QPointF(left - u * 3, top), QPointF(right, bottom + u * 3)).toAlignedRect();
}

QRectF ScreenCanvas::screenRect() const {
    // The desktop's shape, as large as fits, centred, with a margin.
    const QRectF area = QRectF(rect()).adjusted(6, 6, -6, -6);
    const double scale = std::min(area.width() / width_, area.height() / height_);
    const QSizeF size(width_ * scale, height_ * scale);
    return QRectF(area.center() - QPointF(size.width() / 2, size.height() / 2), size);
}

QPointF ScreenCanvas::toCanvas(double x, double y) const {
    const QRectF screen = screenRect();
    return {screen.left() + x * screen.width() / width_, screen.top() + y * screen.height() / height_};
}

void ScreenCanvas::drawGlass(QPainter& p) const {
    const QRectF screen = screenRect();
    const double unit = this->unit();
    QLinearGradient glass(screen.topLeft(), screen.bottomLeft());
    glass.setColorAt(0, QColor(0x2b, 0x3a, 0x55));
    glass.setColorAt(1, QColor(0x17, 0x20, 0x2f));
    p.setPen(QPen(QColor(0x5d, 0x6b, 0x80), 2));
    p.setBrush(glass);
    p.drawRoundedRect(screen, unit, unit);

    // A faint grid in quarters, to judge positions by.
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    for (int i = 1; i < 4; ++i) {
        const double gx = screen.left() + screen.width() * i / 4;
        const double gy = screen.top() + screen.height() * i / 4;
        p.drawLine(QPointF(gx, screen.top()), QPointF(gx, screen.bottom()));
        p.drawLine(QPointF(screen.left(), gy), QPointF(screen.right(), gy));
    }
    p.setPen(QColor(255, 255, 255, 110));
    QFont small = font();
    small.setPointSizeF(std::max(7.0, small.pointSizeF() * 0.85));
    p.setFont(small);
    p.drawText(screen.adjusted(unit, unit * 0.6, -unit, -unit), Qt::AlignRight | Qt::AlignTop,
               tr("%1 x %2").arg(width_).arg(height_));
}

void ScreenCanvas::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.drawPixmap(0, 0, glass_.of(this, QStringLiteral("%1x%2").arg(width_).arg(height_),
                                 [this](QPainter& q) { drawGlass(q); }));
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF screen = screenRect();
    const double unit = this->unit();

    p.save();
    p.setClipRect(screen);
    for (int u = 0; u < kHandsets; ++u) {
        const HandsetState& h = state_.handsets[u];
        if (!h.seen || !event->rect().intersects(handsetArea(u))) continue;
        const QColor colour = HandsetColour(u);
        const std::deque<QPointF>& trail = trails_[u];
        // The trail fades toward its oldest point.
        for (size_t i = 1; i < trail.size(); ++i) {
            QColor c = colour;
            c.setAlphaF(0.12 + 0.55 * i / trail.size());
            p.setPen(QPen(c, unit * 0.5, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(toCanvas(trail[i - 1].x(), trail[i - 1].y()), toCanvas(trail[i].x(), trail[i].y()));
        }
        const QPointF at = toCanvas(h.x, h.y);
        const QColor fill = h.fresh ? colour : Dimmed(colour);
        if (u == state_.activeHandset) {
            p.setPen(QPen(fill, unit * 0.45));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(at, unit * 2.2, unit * 2.2);
        }
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawEllipse(at, unit, unit);
        p.setPen(fill);
        p.drawText(at + QPointF(unit * 2.6, -unit * 1.2), label(u));
    }
    p.restore();

    if (!staleText_.isEmpty()) {
        p.fillRect(screen, QColor(20, 20, 20, 120));
        QFont bold = font();
        bold.setBold(true);
        bold.setPointSizeF(bold.pointSizeF() * 1.3);
        p.setFont(bold);
        const QRectF band(screen.left(), screen.center().y() - unit * 3, screen.width(), unit * 6);
        p.fillRect(band, QColor(0xb0, 0x3a, 0x2e, 220));
        p.setPen(Qt::white);
        p.drawText(band, Qt::AlignCenter, staleText_);
    }
}

// ---- CameraView ----

CameraView::CameraView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(tr("Camera view"));
    setAccessibleDescription(tr("The two light spots as the handsets' cameras see them"));
}

void CameraView::setState(const KitState& state) {
    bool changed = false;
    for (int u = 0; u < kHandsets && !changed; ++u) {
        const HandsetState& h = state.handsets[u];
        const HandsetState& was = state_.handsets[u];
        changed = h.spots != was.spots || h.fresh != was.fresh;
        for (int s = 0; s < 2 && !changed; ++s)
            changed = h.spotX[s] != was.spotX[s] || h.spotY[s] != was.spotY[s] || h.spotPower[s] != was.spotPower[s];
    }
    state_ = state;
    if (changed) update();
}

const QPixmap& CameraView::glow(const QColor& colour, int radius) {
    const QString key = QStringLiteral("%1 %2").arg(colour.name(QColor::HexArgb)).arg(radius);
    auto found = glows_.find(key);
    if (found != glows_.end()) return *found;
    if (glows_.size() > 256) glows_.clear();
    QPixmap sprite(2 * radius + 2, 2 * radius + 2);
    sprite.fill(Qt::transparent);
    QPainter p(&sprite);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(radius + 1, radius + 1);
    QRadialGradient gradient(centre, radius);
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(0.35, colour);
    gradient.setColorAt(1, Qt::transparent);
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawEllipse(centre, radius, radius);
    return *glows_.insert(key, sprite);
}

QRectF CameraView::frame() const {
    const QRectF area = QRectF(rect()).adjusted(2, 2, -2, -2);
    const double scale = std::min(area.width() / kWidth, area.height() / kHeight);
    return {area.center() - QPointF(kWidth * scale / 2, kHeight * scale / 2), QSizeF(kWidth * scale, kHeight * scale)};
}

void CameraView::drawFrame(QPainter& p) const {
    const QRectF frame = this->frame();
    p.setPen(QPen(QColor(0x5d, 0x6b, 0x80), 1.5));
    p.setBrush(QColor(0x0c, 0x0f, 0x14));
    p.drawRoundedRect(frame, 4, 4);
    // The camera's centre, about which the roll is compensated.
    p.setPen(QPen(QColor(255, 255, 255, 50), 1, Qt::DashLine));
    p.drawLine(QPointF(frame.center().x(), frame.top()), QPointF(frame.center().x(), frame.bottom()));
    p.drawLine(QPointF(frame.left(), frame.center().y()), QPointF(frame.right(), frame.center().y()));
    p.setPen(QColor(255, 255, 255, 120));
    p.drawText(frame.adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop, tr("camera"));
}

void CameraView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, frame_.of(this, QString(), [this](QPainter& q) { drawFrame(q); }));
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = this->frame();
    const double scale = frame.width() / kWidth;

    p.setClipRect(frame);
    for (int u = 0; u < kHandsets; ++u) {
        const HandsetState& h = state_.handsets[u];
        if (!h.spots) continue;
        const QColor colour = h.fresh ? HandsetColour(u) : Dimmed(HandsetColour(u));
        QPointF centres[2];
        for (int s = 0; s < 2; ++s) {
            centres[s] = frame.topLeft() + QPointF(h.spotX[s] * scale, h.spotY[s] * scale);
            const double radius = std::clamp(std::sqrt(std::max(0, h.spotPower[s])) / 6.0, 2.0, 9.0) * scale;
            // In device pixels, so that the copy is not scaled.
            const qreal ratio = devicePixelRatioF();
            QPixmap sprite = glow(colour, std::max(1, static_cast<int>(std::lround(radius * 2.2 * ratio))));
            sprite.setDevicePixelRatio(ratio);
            p.drawPixmap(centres[s] - QPointF(sprite.width(), sprite.height()) / (2 * ratio), sprite);
        }
        p.setPen(QPen(colour, 1, Qt::DotLine));
        p.drawLine(centres[0], centres[1]);
    }
}

// ---- RollDial ----

RollDial::RollDial(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(tr("Roll"));
}

void RollDial::setRoll(double radians, const QColor& colour, bool live) {
    // A turn of less than a quarter degree moves the needle by no pixel.
    if (std::abs(radians - roll_) < 0.25 * M_PI / 180.0 && colour == colour_ && live == live_) return;
    roll_ = radians;
    colour_ = colour;
    live_ = live;
    setAccessibleDescription(tr("%1 degrees").arg(radians * 180.0 / M_PI, 0, 'f', 0));
    update();
}

QRectF RollDial::face() const {
    const double side = std::min(width(), height()) - 4;
    return {QPointF((width() - side) / 2, (height() - side) / 2), QSizeF(side, side)};
}

void RollDial::drawFace(QPainter& p) const {
    const QRectF face = this->face();
    const double side = face.width();
    p.setPen(QPen(palette().color(QPalette::Mid), 1.5));
    p.setBrush(palette().color(QPalette::Base));
    p.drawEllipse(face);
    // Ticks every 30 degrees, the upright one longer.
    for (int deg = 0; deg < 360; deg += 30) {
        const double a = deg * M_PI / 180.0;
        const double inner = deg == 0 ? 0.70 : 0.82;
        const QPointF c = face.center();
        const double r = side / 2;
        p.setPen(QPen(palette().color(QPalette::Mid), deg == 0 ? 2 : 1));
        p.drawLine(c + QPointF(std::sin(a) * r * inner, -std::cos(a) * r * inner),
                   c + QPointF(std::sin(a) * r * 0.95, -std::cos(a) * r * 0.95));
    }
}

void RollDial::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, face_.of(this, QString(), [this](QPainter& q) { drawFace(q); }));
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF face = this->face();
    const double side = face.width();
    const QColor text = palette().color(QPalette::WindowText);
    const QPointF c = face.center();
    const double r = side / 2 * 0.78;
    const QColor needle = live_ ? colour_ : Dimmed(colour_);
    p.setPen(QPen(needle, std::max(2.0, side / 28), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(std::sin(roll_) * r, -std::cos(roll_) * r));
    p.setPen(text);
    QFont small = font();
    small.setPointSizeF(std::max(7.0, small.pointSizeF() * 0.85));
    p.setFont(small);
    p.drawText(face.adjusted(0, side * 0.55, 0, 0), Qt::AlignHCenter | Qt::AlignTop,
               QStringLiteral("%1\u00b0").arg(roll_ * 180.0 / M_PI, 0, 'f', 0));
}

// ---- KeypadView ----

namespace {

const char* const kKeyNames[10] = {"up-right", "up", "up-left", "right", "centre",
                                   "left", "down-right", "down", "down-left", "menu"};

}  // namespace

KeypadView::KeypadView(QWidget* parent) : QWidget(parent) { setAccessibleName(tr("Keypad")); }

void KeypadView::setButtons(int buttonWord, const QColor& colour, bool live) {
    if (buttons_ == buttonWord && colour_ == colour && live_ == live) return;
    buttons_ = buttonWord;
    colour_ = colour;
    live_ = live;
    describe();
    update();
}

void KeypadView::setSelectable(bool on) {
    selectable_ = on;
    setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
    if (on) setCursor(Qt::PointingHandCursor);
    else unsetCursor();
    update();
}

void KeypadView::setMarked(unsigned keys) {
    if (keys == marked_) return;
    marked_ = keys;
    update();
}

void KeypadView::setSelected(int bit) {
    if (bit == selected_) return;
    selected_ = bit >= 0 && bit < 10 ? bit : -1;
    describe();
    update();
}

void KeypadView::describe() {
    QStringList held;
    for (int bit = 0; bit < 10; ++bit)
        if (lit(bit)) held << QString::fromLatin1(kKeyNames[bit]);
    QString text = held.isEmpty() ? tr("no key held") : tr("held: %1").arg(held.join(QStringLiteral(", ")));
    if (selectable_ && selected_ >= 0) text = tr("selected: %1; %2").arg(QString::fromLatin1(kKeyNames[selected_]), text);
    setAccessibleDescription(text);
}

QRectF KeypadView::keyRect(int bit) const {
    // The handset's body, keys on a 3 x 3 grid, the menu key below.
    const double w = std::min<double>(width() - 4, (height() - 4) * 0.8);
    const double h = w * 1.25;
    const QRectF body(QPointF((width() - w) / 2, (height() - h) / 2), QSizeF(w, h));
    if (bit < 0) return body;
    const double cell = w * 0.26;
    const QPointF origin = body.topLeft() + QPointF((w - 3 * cell) / 2, w * 0.1);
    if (bit == kMenuBit)
        return QRectF(QPointF(body.center().x() - cell * 0.6, origin.y() + 3.2 * cell), QSizeF(cell * 1.2, cell * 0.55));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            if (kPadBits[row][col] == bit) {
                const QRectF box(origin + QPointF(col * cell, row * cell), QSizeF(cell, cell));
                return box.adjusted(cell * 0.1, cell * 0.1, -cell * 0.1, -cell * 0.1);
            }
    return {};
}

int KeypadView::keyAt(const QPointF& point) const {
    for (int bit = 0; bit < 10; ++bit)
        if (keyRect(bit).contains(point)) return bit;
    return -1;
}

void KeypadView::pick(int bit) {
    if (bit < 0) return;
    setSelected(bit);
    emit keyPicked(bit);
}

void KeypadView::mousePressEvent(QMouseEvent* event) {
    if (!selectable_) return QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    pick(keyAt(event->position()));
}

void KeypadView::keyPressEvent(QKeyEvent* event) {
    if (!selectable_) return QWidget::keyPressEvent(event);
    // The arrows walk the 3 x 3 pad as it is laid out; down from its bottom
    // row reaches the menu key, up from the menu key comes back.
    int row = 1, col = 1;
    if (selected_ == kMenuBit) row = 3;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (kPadBits[r][c] == selected_) row = r, col = c;
    switch (event->key()) {
        case Qt::Key_Up: row = std::max(0, row - 1); break;
        case Qt::Key_Down: row = std::min(3, row + 1); break;
        case Qt::Key_Left: if (row < 3) col = std::max(0, col - 1); break;
        case Qt::Key_Right: if (row < 3) col = std::min(2, col + 1); break;
        default: return QWidget::keyPressEvent(event);
    }
    if (row == 3) pick(kMenuBit);
    else pick(kPadBits[row][col]);
}

void KeypadView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body = keyRect(-1);
    p.setPen(QPen(palette().color(QPalette::Mid), 1.5));
    p.setBrush(palette().color(QPalette::Button));
    p.drawRoundedRect(body, body.width() * 0.18, body.width() * 0.18);
    for (int bit = 0; bit < 10; ++bit) {
        const QRectF box = keyRect(bit);
        p.setPen(QPen(palette().color(QPalette::Mid), 1));
        p.setBrush(lit(bit) ? colour_ : palette().color(QPalette::Base));
        if (bit == 4) p.drawEllipse(box);
        else p.drawRoundedRect(box, box.width() * 0.25, box.width() * 0.25);
        if (marked_ & (1u << bit)) {
            p.setPen(Qt::NoPen);
            p.setBrush(palette().color(QPalette::Highlight));
            const double r = std::max(2.5, box.height() * 0.08);
            p.drawEllipse(QPointF(box.center().x(), box.bottom() - r * 2.2), r, r);
        }
        if (selectable_ && bit == selected_) {
            const QColor ring = palette().color(hasFocus() ? QPalette::Highlight : QPalette::WindowText);
            p.setPen(QPen(ring, std::max(2.0, box.width() * 0.1)));
            p.setBrush(Qt::NoBrush);
            const QRectF around = box.adjusted(-2, -2, 2, 2);
            if (bit == 4) p.drawEllipse(around);
            else p.drawRoundedRect(around, around.width() * 0.25, around.width() * 0.25);
        }
    }
}

}  // namespace tavro::control
