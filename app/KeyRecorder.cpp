#include "KeyRecorder.h"

#include <QKeyEvent>

#include <xkbcommon/xkbcommon.h>

#include <map>

namespace tavro::control {

namespace {

// Qt's keys whose X key symbol name is not Qt's own spelling.
const std::map<int, const char*>& NamedKeys() {
    static const std::map<int, const char*> keys = {
        {Qt::Key_Escape, "Escape"},       {Qt::Key_Tab, "Tab"},
        {Qt::Key_Backtab, "Tab"},         {Qt::Key_Backspace, "BackSpace"},
        {Qt::Key_Return, "Return"},       {Qt::Key_Enter, "KP_Enter"},
        {Qt::Key_Insert, "Insert"},       {Qt::Key_Delete, "Delete"},
        {Qt::Key_Pause, "Pause"},         {Qt::Key_Print, "Print"},
        {Qt::Key_Home, "Home"},           {Qt::Key_End, "End"},
        {Qt::Key_Left, "Left"},           {Qt::Key_Up, "Up"},
        {Qt::Key_Right, "Right"},         {Qt::Key_Down, "Down"},
        {Qt::Key_PageUp, "Page_Up"},      {Qt::Key_PageDown, "Page_Down"},
        {Qt::Key_Space, "space"},         {Qt::Key_Plus, "plus"},
        {Qt::Key_Minus, "minus"},         {Qt::Key_Comma, "comma"},
        {Qt::Key_Period, "period"},       {Qt::Key_Slash, "slash"},
        {Qt::Key_Menu, "Menu"},           {Qt::Key_MediaPlay, "XF86AudioPlay"},
        {Qt::Key_MediaTogglePlayPause, "XF86AudioPlay"},
        {Qt::Key_MediaPause, "XF86AudioPause"},
        {Qt::Key_MediaStop, "XF86AudioStop"},
        {Qt::Key_MediaNext, "XF86AudioNext"},
        {Qt::Key_MediaPrevious, "XF86AudioPrev"},
        {Qt::Key_VolumeUp, "XF86AudioRaiseVolume"},
        {Qt::Key_VolumeDown, "XF86AudioLowerVolume"},
        {Qt::Key_VolumeMute, "XF86AudioMute"},
    };
    return keys;
}

bool IsModifier(int key) {
    return key == Qt::Key_Control || key == Qt::Key_Shift || key == Qt::Key_Alt || key == Qt::Key_Meta ||
           key == Qt::Key_Super_L || key == Qt::Key_Super_R || key == Qt::Key_AltGr;
}

}  // namespace

QString ChordOf(const QKeyEvent& event) {
    const int key = event.key();
    if (IsModifier(key)) return {};
    QString name;
    if (key >= Qt::Key_A && key <= Qt::Key_Z) name = QChar(u'a' + (key - Qt::Key_A));
    else if (key >= Qt::Key_0 && key <= Qt::Key_9) name = QChar(u'0' + (key - Qt::Key_0));
    else if (key >= Qt::Key_F1 && key <= Qt::Key_F35) name = QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    else if (auto it = NamedKeys().find(key); it != NamedKeys().end()) name = QString::fromLatin1(it->second);
    else if (event.nativeVirtualKey() != 0) {
        // The window system's key symbol (X11 and Wayland give it), by its name.
        char buffer[64];
        if (xkb_keysym_get_name(event.nativeVirtualKey(), buffer, sizeof buffer) > 0)
            name = QString::fromLatin1(buffer);
    }
    if (name.isEmpty()) return {};
    QString chord;
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (mods & Qt::ControlModifier) chord += QStringLiteral("ctrl+");
    if (mods & Qt::AltModifier) chord += QStringLiteral("alt+");
    // Shift+Tab comes as a key of its own, Backtab.
    if (mods & Qt::ShiftModifier || key == Qt::Key_Backtab) chord += QStringLiteral("shift+");
    if (mods & Qt::MetaModifier) chord += QStringLiteral("super+");
    return chord + name;
}

KeyRecorder::KeyRecorder(QWidget* parent) : QPushButton(parent) {
    setCheckable(true);
    setRecording(false);
    connect(this, &QPushButton::toggled, this, &KeyRecorder::setRecording);
}

void KeyRecorder::setRecording(bool on) {
    setText(on ? tr("Type the keys…") : tr("Re&cord"));
    setAccessibleName(on ? tr("Recording: type the key chord to bind") : tr("Record a key chord to bind"));
    if (on) grabKeyboard();
    else releaseKeyboard();
}

void KeyRecorder::keyPressEvent(QKeyEvent* event) {
    if (!isChecked()) return QPushButton::keyPressEvent(event);
    event->accept();
    const QString chord = ChordOf(*event);
    if (chord.isEmpty()) return;  // a modifier alone: the chord goes on
    setChecked(false);
    emit recorded(chord);
}

void KeyRecorder::focusOutEvent(QFocusEvent* event) {
    setChecked(false);
    QPushButton::focusOutEvent(event);
}

}  // namespace tavro::control
