// A button that records the next key chord typed on the keyboard, as the
// bindings file writes it: modifiers first, then the X key symbol's name
// ("ctrl+Page_Down", "alt+Tab", "XF86AudioPlay").
#ifndef TAVRO_CONTROL_KEY_RECORDER_H
#define TAVRO_CONTROL_KEY_RECORDER_H

#include <QPushButton>

class QKeyEvent;

namespace tavro::control {

class KeyRecorder : public QPushButton {
    Q_OBJECT
public:
    explicit KeyRecorder(QWidget* parent = nullptr);
    bool recording() const { return isChecked(); }

signals:
    void recorded(const QString& chord);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void setRecording(bool on);
};

// The chord of a key press in the bindings file's words, or empty for a
// modifier alone or a key without a name.
QString ChordOf(const QKeyEvent& event);

}  // namespace tavro::control

#endif
