// The Pointing page: how the handsets move the pointer, which filter
// steadies it, and the settings that shape motion and stabilisation.  Every
// control applies at once, changes only what it names, and writes nothing
// until the user changes it.
#ifndef TAVRO_CONTROL_POINTING_PAGE_H
#define TAVRO_CONTROL_POINTING_PAGE_H

#include "RecordReader.h"

#include <QWidget>

#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QRadioButton;

namespace tavro::control {

class PointingPage : public QWidget {
    Q_OBJECT
public:
    explicit PointingPage(RecordReader* reader, QWidget* parent = nullptr);
    // The settings keys the page offers, in its order.
    static const std::vector<const char*>& Keys();
    // The line that tells the outcome of the last change (or why the
    // daemon's controls are off).
    QString message() const;
    QString daemonLine() const;

private:
    struct SettingRow {
        int index;        // in the settings table
        QWidget* editor;  // QSpinBox, QDoubleSpinBox or QCheckBox
    };
    QWidget* makeSettingsGroup();
    QWidget* makeModeGroup();
    QWidget* makePointerGroup();
    QWidget* makeFilterGroup();
    void refresh();
    void showValues();
    void changeSetting(const SettingRow& row, const QString& text);
    void showSetting(const SettingRow& row, bool force);
    void say(const QString& text, bool failure);

    RecordReader* reader_;
    std::vector<SettingRow> rows_;
    QButtonGroup* modes_;
    QButtonGroup* handsets_;
    QButtonGroup* filters_;
    QCheckBox* pointer_;
    QLabel* daemonLine_;
    QLabel* filterInUse_;
    QLabel* message_;
    std::vector<QWidget*> daemonControls_;
    int ticks_ = 0;
    bool everShown_ = false;
};

}  // namespace tavro::control

#endif
