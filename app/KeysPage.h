// The Keys page: what each key of the handset does in each profile of the
// bindings file.  A key is picked on the keypad picture (a click, the
// arrows) or by pressing it on the handset; its binding is chosen from the
// actions the bindings support and saved into the file in place, every
// other line and comment kept.  A file with errors is shown with their
// lines and never rewritten; the running daemon can be switched to the
// profile shown.
#ifndef TAVRO_CONTROL_KEYS_PAGE_H
#define TAVRO_CONTROL_KEYS_PAGE_H

#include "Bindings.h"
#include "FileWatch.h"
#include "RecordReader.h"

#include <QElapsedTimer>
#include <QWidget>

#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace tavro::control {

class KeyRecorder;
class KeypadView;

class KeysPage : public QWidget {
    Q_OBJECT
public:
    explicit KeysPage(RecordReader* reader, QWidget* parent = nullptr);

    // The bindings file the page edits (the user's default one).
    QString path() const { return QString::fromStdString(path_); }
    // The line about the file: where it is, or its errors with their lines.
    QString fileLine() const;
    // The outcome of the last change.
    QString message() const;
    // The line naming the profile the running daemon uses.
    QString daemonLine() const;
    // The binding of the key, gesture and handset picked, as the file says it.
    QString currentBinding() const;
    KeypadView* keypad() const { return keypad_; }

    // Reads the file again (the page does so by itself when it changes).
    void reload();

private:
    QWidget* makeChoiceRow();
    QWidget* makeEditor();
    void refresh();
    void fillProfiles(const QString& keep);
    void showBindings();
    void showSelected();
    void showArgumentChoices();
    void selectKey(int key);
    void followHandsetKeys();
    void addProfile();
    void save();
    void switchDaemon();
    void say(const QString& text, bool failure);

    QString profile() const;
    QString profileInUse() const;  // the daemon's, else the one it would start with
    int handset() const;  // -1: every handset
    int gesture() const;  // Gesture as int
    std::string trigger() const;
    std::string action() const;
    const Binding* exactBinding() const;

    RecordReader* reader_;
    std::string path_;
    Bindings bindings_;
    bool readable_ = false;  // the file (or its absence) gave bindings
    QString fileProblem_;
    FileWatch watch_;
    QElapsedTimer clock_;
    unsigned held_[kHandsets] = {};
    QString wantedProfile_;  // asked of the daemon, not yet seen in use
    qint64 wantedDeadlineMs_ = 0;

    QLabel* fileLine_;
    QComboBox* profiles_;
    QLineEdit* newProfile_;
    QPushButton* addProfile_;
    QLabel* daemonLine_;
    QLabel* profileInfo_;
    QPushButton* useProfile_;
    QComboBox* handsets_;
    KeypadView* keypad_;
    QCheckBox* byPressing_;
    QTreeWidget* table_;
    QLabel* keyTitle_;
    QComboBox* gestures_;
    QSpinBox* gestureMs_;
    QComboBox* chordWith_;
    QLabel* current_;
    QComboBox* actions_;
    QComboBox* argument_;
    KeyRecorder* record_;
    QLabel* argumentHint_;
    QPushButton* save_;
    QLabel* message_;
};

}  // namespace tavro::control

#endif
