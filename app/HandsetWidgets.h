// The live page's drawings: the screen with each handset's aim point and
// trail, the camera's view of the two spots, the roll dial, and the keypad
// whose keys light while held.  They paint what they are given; the live
// page feeds them from the record reader.
#ifndef TAVRO_CONTROL_HANDSET_WIDGETS_H
#define TAVRO_CONTROL_HANDSET_WIDGETS_H

#include "RecordReader.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QPointF>
#include <QVector>
#include <QWidget>

#include <deque>
#include <functional>

namespace tavro::control {

// The colour of handset `user` everywhere in the app.
QColor HandsetColour(int user);

// The part of a drawing that is the same in every frame (a dial's face, a
// screen's glass), drawn once per widget size, pixel ratio, palette and
// font, and copied into each frame: the live page redraws at the display's
// rate, and these are most of its pixels.
class StillPicture {
public:
    // The picture for `widget` as it is now; `draw` paints it (in the
    // widget's coordinates) when it must be drawn again.  `extra` names
    // what else it depends on.
    const QPixmap& of(const QWidget* widget, const QString& extra, const std::function<void(QPainter&)>& draw);

private:
    QPixmap picture_;
    QString key_;
};

// The desktop's shape with every handset's aim point, its short trail and
// the active one ringed; dimmed with a plain line when the values are stale.
class ScreenCanvas : public QWidget {
    Q_OBJECT
public:
    explicit ScreenCanvas(QWidget* parent = nullptr);
    // The state to draw; the screen is `width` x `height` display pixels.
    void setState(const KitState& state, int width, int height);
    // Where a display position is drawn, in this widget's coordinates.
    QPointF toCanvas(double x, double y) const;
    // The line drawn across the screen when the values are stale (empty: none).
    QString staleText() const { return staleText_; }
    QSize sizeHint() const override { return {640, 360}; }
    QSize minimumSizeHint() const override { return {160, 90}; }
    static constexpr int kTrailLength = 24;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRectF screenRect() const;
    void drawGlass(QPainter& p) const;
    // What a handset's aim point, trail, ring and label cover, in this
    // widget's coordinates: the part to draw again when it moves.
    QRect handsetArea(int user) const;
    QString label(int user) const;
    double unit() const;  // the size of an aim point, for this size of screen
    mutable QFont labelFont_;
    mutable double labelWidth_ = 0, labelAscent_ = 0;
    int width_ = 1920, height_ = 1080;
    KitState state_;
    std::deque<QPointF> trails_[kHandsets];
    QString staleText_;
    StillPicture glass_;
};

// The camera's picture (352 x 288 pixels) with the two spots of the
// handsets' last tracking packets, sized by their power.
class CameraView : public QWidget {
    Q_OBJECT
public:
    explicit CameraView(QWidget* parent = nullptr);
    void setState(const KitState& state);
    QSize sizeHint() const override { return {264, 216}; }
    QSize minimumSizeHint() const override { return {88, 72}; }
    static constexpr double kWidth = 352, kHeight = 288;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    // A spot's glow, drawn once per colour and size and then copied: a
    // radial gradient per spot and frame is most of this view's cost.
    const QPixmap& glow(const QColor& colour, int radius);
    QRectF frame() const;
    void drawFrame(QPainter& p) const;
    KitState state_;
    QHash<QString, QPixmap> glows_;
    StillPicture frame_;
};

// The handset's roll as a needle on a dial, in degrees.
class RollDial : public QWidget {
    Q_OBJECT
public:
    explicit RollDial(QWidget* parent = nullptr);
    void setRoll(double radians, const QColor& colour, bool live);
    QSize sizeHint() const override { return {84, 84}; }
    QSize minimumSizeHint() const override { return {48, 48}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRectF face() const;
    void drawFace(QPainter& p) const;
    double roll_ = 0;
    QColor colour_;
    bool live_ = false;
    StillPicture face_;
};

// The keypad: the nine keys of the direction pad and the menu key, lit
// while held (an active-low button word).  Made selectable, one key is
// picked with a click or, with the focus, the arrow keys, and drawn ringed.
class KeypadView : public QWidget {
    Q_OBJECT
public:
    explicit KeypadView(QWidget* parent = nullptr);
    void setButtons(int buttonWord, const QColor& colour, bool live);
    // Whether the key of that bit of the button word is drawn lit.
    bool lit(int bit) const { return live_ && (buttons_ & (1 << bit)) == 0; }
    void setSelectable(bool on);
    // Keys drawn with a dot (bit n for key n): those with a binding.
    void setMarked(unsigned keys);
    // The picked key's bit, or -1.
    int selected() const { return selected_; }
    void setSelected(int bit);
    // Where the key of that bit is drawn, and the key drawn at a point (-1: none).
    QRectF keyRect(int bit) const;
    int keyAt(const QPointF& point) const;
    QSize sizeHint() const override { return {96, 120}; }
    QSize minimumSizeHint() const override { return {60, 76}; }

signals:
    // The user picked a key (not sent for setSelected).
    void keyPicked(int bit);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void pick(int bit);
    void describe();
    int buttons_ = -1;
    QColor colour_;
    bool live_ = false;
    bool selectable_ = false;
    int selected_ = -1;
    unsigned marked_ = 0;
};

}  // namespace tavro::control

#endif
