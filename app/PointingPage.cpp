#include "PointingPage.h"

#include "DaemonConfig.h"
#include "DeviceRunMarker.h"
#include "PageParts.h"
#include "PointerSwitch.h"
#include "RecordAccess.h"
#include "SettingsTable.h"
#include "SharedDeviceState.h"
#include "TavroLinux.h"
#include "tavrodev.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>
#include <map>

namespace tavro::control {

namespace {

struct Offered {
    const char* key;
    const char* title;
    int decimals;  // for real values
    double step;
};

// The settings that shape motion and stabilisation, with a title each; the
// range and the description come from the kit's settings table.
const Offered kOffered[] = {
    {"StabThresh", QT_TRANSLATE_NOOP("PointingPage", "Still threshold"), 2, 0.5},
    {"XYCounterMax", QT_TRANSLATE_NOOP("PointingPage", "Smoothing at rest"), 0, 1},
    {"SubframeInterpolation", QT_TRANSLATE_NOOP("PointingPage", "Steps per packet"), 0, 1},
    {"Sleepingfactor", QT_TRANSLATE_NOOP("PointingPage", "Step spread (ms)"), 0, 1},
    {"ClickStill", QT_TRANSLATE_NOOP("PointingPage", "Hold after a click"), 0, 1},
    {"RotationCompensation", QT_TRANSLATE_NOOP("PointingPage", "Roll compensation"), 0, 1},
    {"DistanceScaling", QT_TRANSLATE_NOOP("PointingPage", "Distance scaling"), 0, 1},
    {"DistanceThresh", QT_TRANSLATE_NOOP("PointingPage", "Distance step"), 3, 0.01},
    {"Dmin", QT_TRANSLATE_NOOP("PointingPage", "Nearest distance"), 2, 0.1},
    {"DistanceCounterMax", QT_TRANSLATE_NOOP("PointingPage", "Farthest distance"), 2, 0.5},
};

constexpr double kLargestReal = 100000.0;

const char* const kModeNames[] = {"direct", "smart", "game"};
const char* const kModeTexts[] = {
    QT_TRANSLATE_NOOP("PointingPage", "the pointer jumps to the point the handset aims at"),
    QT_TRANSLATE_NOOP("PointingPage",
                      "the pointer follows the handset's movements; aiming past an edge keeps pushing it"),
    QT_TRANSLATE_NOOP("PointingPage",
                      "the pointer moves toward the aimed point step by step, as games expect"),
};
const char* const kFilterNames[] = {"builtin", "adaptive"};
const char* const kFilterTexts[] = {
    QT_TRANSLATE_NOOP("PointingPage", "the kit's own averaging of the newest positions"),
    QT_TRANSLATE_NOOP("PointingPage",
                      "smooths more while the hand is still, follows quickly when it moves, and "
                      "steadies the roll"),
};

QString Capitalised(const char* text) {
    QString line = QString::fromUtf8(text);
    if (!line.isEmpty()) line[0] = line[0].toUpper();
    return line;
}

bool DaemonRuns() { return tavro::DeviceRunsOn(CTavroLinux::SharedMemoryKey); }

}  // namespace

const std::vector<const char*>& PointingPage::Keys() {
    static const std::vector<const char*> keys = [] {
        std::vector<const char*> k;
        for (const Offered& o : kOffered) k.push_back(o.key);
        return k;
    }();
    return keys;
}

PointingPage::PointingPage(RecordReader* reader, QWidget* parent) : QWidget(parent), reader_(reader) {
    auto* content = new QWidget;
    auto* columns = new QHBoxLayout(content);
    auto* left = new QVBoxLayout;
    left->addWidget(makeModeGroup());
    left->addWidget(makePointerGroup());
    left->addWidget(makeFilterGroup());
    left->addStretch();
    columns->addLayout(left, 2);
    columns->addWidget(makeSettingsGroup(), 3);

    daemonLine_ = new QLabel(this);
    daemonLine_->setWordWrap(true);
    daemonLine_->setAccessibleName(tr("Daemon state for pointing"));
    message_ = OutcomeLine(tr("Outcome of the last change"), this);
    StackPage(this, content, daemonLine_, message_);
    connect(reader_, &RecordReader::updated, this, &PointingPage::refresh);
}

QString PointingPage::message() const { return message_->text(); }
QString PointingPage::daemonLine() const { return daemonLine_->text(); }

QWidget* PointingPage::makeModeGroup() {
    auto* group = new QGroupBox(tr("Pointing mode"), this);
    auto* grid = new QGridLayout(group);
    modes_ = new QButtonGroup(this);
    const char* titles[] = {QT_TR_NOOP("D&irect"), QT_TR_NOOP("&Smart"), QT_TR_NOOP("&Game")};
    for (int m = 0; m < 3; ++m) {
        auto* button = new QRadioButton(tr(titles[m]), group);
        button->setObjectName(QStringLiteral("mode-%1").arg(QString::fromLatin1(kModeNames[m])));
        button->setAccessibleName(tr("Pointing mode %1").arg(QString::fromLatin1(kModeNames[m])));
        button->setAccessibleDescription(tr(kModeTexts[m]));
        modes_->addButton(button, m);
        grid->addWidget(button, m, 0, Qt::AlignTop);
        grid->addWidget(Description(Capitalised(kModeTexts[m]), group), m, 1);
        daemonControls_.push_back(button);
    }
    grid->setColumnStretch(1, 1);
    connect(modes_, &QButtonGroup::idClicked, this, [this](int mode) {
        if (!DaemonRuns()) return say(tr("The pointing mode is not changed: no device daemon runs."), true);
        if (mode == 0) TV_SetDirectPoint();
        else if (mode == 1) TV_SetSmartPoint();
        else TV_SetGamePoint();
        say(tr("Pointing mode: %1.").arg(QString::fromLatin1(kModeNames[mode])), false);
    });
    return group;
}

QWidget* PointingPage::makePointerGroup() {
    auto* group = new QGroupBox(tr("Pointer"), this);
    auto* grid = new QGridLayout(group);
    pointer_ = new QCheckBox(tr("The handset &moves the pointer"), group);
    pointer_->setObjectName(QStringLiteral("ActivateCursor"));
    pointer_->setAccessibleName(tr("The handset moves the pointer"));
    grid->addWidget(pointer_, 0, 0, 1, 4);
    grid->addWidget(Description(tr("Off: positions are still computed and shown, the pointer stays put."), group),
                    1, 0, 1, 4);
    daemonControls_.push_back(pointer_);
    connect(pointer_, &QCheckBox::clicked, this, [this](bool on) {
        QString message;
        const bool done = SwitchPointer(reader_->record(), on, &message);
        if (!done) {
            QSignalBlocker block(pointer_);
            pointer_->setChecked(!on);
        }
        say(message, !done);
    });

    grid->addWidget(new QLabel(tr("Drives the pointer:"), group), 2, 0);
    handsets_ = new QButtonGroup(this);
    for (int u = 0; u < kHandsets; ++u) {
        auto* button = new QRadioButton(tr("Handset &%1").arg(u), group);
        button->setObjectName(QStringLiteral("CurrentUser-%1").arg(u));
        button->setAccessibleName(tr("Handset %1 drives the pointer").arg(u));
        handsets_->addButton(button, u);
        grid->addWidget(button, 3 + u / 2, u % 2 * 2, 1, 2);
        daemonControls_.push_back(button);
    }
    grid->addWidget(Description(tr("As a press of that handset's centre key would."), group), 5, 0, 1, 4);
    connect(handsets_, &QButtonGroup::idClicked, this, [this](int user) {
        SharedDeviceState* r = reader_->record();
        if (!DaemonRuns() || r == nullptr)
            return say(tr("The active handset is not changed: no device daemon runs."), true);
        tavro::StoreField(r->CurrentUser, static_cast<int32_t>(user));
        say(tr("Handset %1 drives the pointer.").arg(user), false);
    });
    return group;
}

QWidget* PointingPage::makeFilterGroup() {
    auto* group = new QGroupBox(tr("Filter"), this);
    auto* grid = new QGridLayout(group);
    filters_ = new QButtonGroup(this);
    const char* titles[] = {QT_TR_NOOP("&Built-in"), QT_TR_NOOP("&Adaptive")};
    for (int f = 0; f < 2; ++f) {
        auto* button = new QRadioButton(tr(titles[f]), group);
        button->setObjectName(QStringLiteral("filter-%1").arg(QString::fromLatin1(kFilterNames[f])));
        button->setAccessibleName(tr("Filter %1").arg(QString::fromLatin1(kFilterNames[f])));
        button->setAccessibleDescription(tr(kFilterTexts[f]));
        filters_->addButton(button, f);
        grid->addWidget(button, f, 0, Qt::AlignTop);
        grid->addWidget(Description(Capitalised(kFilterTexts[f]), group), f, 1);
    }
    filterInUse_ = new QLabel(group);
    filterInUse_->setAccessibleName(tr("Filter in use"));
    grid->addWidget(filterInUse_, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    connect(filters_, &QButtonGroup::idClicked, this, [this](int f) {
        std::string error;
        const std::string path = tavro::DaemonConfigPath();
        if (!tavro::WriteDaemonConfigValue("filter", kFilterNames[f], &error)) {
            showValues();
            return say(tr("The filter is not changed: %1").arg(QString::fromStdString(error)), true);
        }
        say(tr("Filter: %1 (saved in %2; a running daemon takes it up within a second).")
                .arg(QString::fromLatin1(kFilterNames[f]), QString::fromStdString(path)),
            false);
    });
    return group;
}

QWidget* PointingPage::makeSettingsGroup() {
    auto* group = new QGroupBox(tr("Motion and stabilisation"), this);
    auto* grid = new QGridLayout(group);
    int line = 0;
    for (const Offered& offered : kOffered) {
        const int index = settings::FindKey(offered.key);
        const settings::Access& access = settings::Entry(index);
        const QString key = QString::fromLatin1(offered.key);
        const QString title = tr(offered.title);
        QWidget* editor = nullptr;
        if (access.range == settings::Range::Flag) {
            auto* box = new QCheckBox(group);
            editor = box;
        } else if (access.range == settings::Range::Integers) {
            auto* spin = new QSpinBox(group);
            spin->setRange(static_cast<int>(access.low), static_cast<int>(access.high));
            spin->setKeyboardTracking(false);
            editor = spin;
        } else {
            auto* spin = new QDoubleSpinBox(group);
            spin->setDecimals(offered.decimals);
            const double smallest = std::pow(10.0, -offered.decimals);
            spin->setRange(access.range == settings::Range::Positive ? smallest : 0.0, kLargestReal);
            spin->setSingleStep(offered.step);
            spin->setKeyboardTracking(false);
            spin->setLocale(QLocale::c());
            editor = spin;
        }
        editor->setObjectName(key);
        editor->setAccessibleName(title);
        editor->setAccessibleDescription(QString::fromUtf8(access.description));
        editor->setToolTip(tr("%1 takes %2").arg(key, QString::fromUtf8(access.accepts)));
        auto* label = new QLabel(tr("%1 <span style=\"color:gray\">(%2)</span>").arg(title.toHtmlEscaped(), key), group);
        label->setBuddy(editor);
        grid->addWidget(label, line, 0);
        grid->addWidget(editor, line, 1);
        grid->addWidget(Description(Capitalised(access.description), group), line + 1, 0, 1, 2);
        rows_.push_back({index, editor});
        const SettingRow row = rows_.back();
        if (auto* box = qobject_cast<QCheckBox*>(editor))
            connect(box, &QCheckBox::clicked, this,
                    [this, row](bool on) { changeSetting(row, on ? QStringLiteral("1") : QStringLiteral("0")); });
        else if (auto* spin = qobject_cast<QSpinBox*>(editor))
            connect(spin, &QSpinBox::valueChanged, this,
                    [this, row](int value) { changeSetting(row, QString::number(value)); });
        else if (auto* spin = qobject_cast<QDoubleSpinBox*>(editor))
            connect(spin, &QDoubleSpinBox::valueChanged, this, [this, row, spin](double value) {
                changeSetting(row, QString::number(value, 'f', spin->decimals()));
            });
        line += 2;
    }
    grid->setColumnStretch(0, 1);
    grid->setVerticalSpacing(4);
    for (int row = 1; row < line; row += 2) grid->setRowMinimumHeight(row, 0);
    auto* holder = new QWidget(this);
    auto* column = new QVBoxLayout(holder);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(group);
    column->addStretch();
    return holder;
}

void PointingPage::changeSetting(const SettingRow& row, const QString& text) {
    if (reader_->record() == nullptr) {
        showSetting(row, true);
        return say(tr("Nothing is changed: the kit's record is not attached."), true);
    }
    // The table checks the value, stores it, rewrites the settings file and
    // reads it back; on failure the record keeps the old value.
    const settings::SetResult result = settings::Set(row.index, text.toStdString(), false);
    showSetting(row, true);
    if (!result.ok) return say(QString::fromStdString(result.message), true);
    say(tr("%1 = %2 (saved in %3)")
            .arg(QString::fromLatin1(settings::Entry(row.index).key), QString::fromStdString(result.value),
                 QString::fromStdString(result.file)),
        false);
}

void PointingPage::showSetting(const SettingRow& row, bool force) {
    if (!force && row.editor->hasFocus() && qobject_cast<QAbstractSpinBox*>(row.editor) != nullptr &&
        static_cast<QAbstractSpinBox*>(row.editor)->text() !=
            static_cast<QAbstractSpinBox*>(row.editor)->property("shown").toString())
        return;  // the user is typing a value
    if (reader_->record() == nullptr) return;
    const QString value = QString::fromStdString(settings::Format(row.index));
    QSignalBlocker block(row.editor);
    if (auto* box = qobject_cast<QCheckBox*>(row.editor)) box->setChecked(value.toInt() != 0);
    else if (auto* spin = qobject_cast<QSpinBox*>(row.editor)) spin->setValue(value.toInt());
    else if (auto* spin = qobject_cast<QDoubleSpinBox*>(row.editor)) spin->setValue(value.toDouble());
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(row.editor)) spin->setProperty("shown", spin->text());
}

void PointingPage::showValues() {
    const KitState& state = reader_->state();
    for (const SettingRow& row : rows_) showSetting(row, false);
    {
        QSignalBlocker block(modes_);
        const int mode = state.pointingMode == QLatin1String("direct")  ? 0
                         : state.pointingMode == QLatin1String("smart") ? 1
                                                                         : 2;
        modes_->button(mode)->setChecked(true);
    }
    {
        QSignalBlocker block(pointer_);
        pointer_->setChecked(state.pointerOn);
    }
    {
        QSignalBlocker block(handsets_);
        handsets_->button(state.activeHandset)->setChecked(true);
    }
    std::map<std::string, std::string> config;
    std::string error;
    tavro::ReadDaemonConfig(&config, &error);
    const auto found = config.find("filter");
    const bool adaptive = found != config.end() && found->second == "adaptive";
    {
        QSignalBlocker block(filters_);
        filters_->button(adaptive ? 1 : 0)->setChecked(true);
    }
    filterInUse_->setText(state.daemonRunning ? tr("In use by the running daemon: %1").arg(state.filter)
                          : error.empty()     ? tr("No daemon runs: the choice is used when it starts.")
                                              : QString::fromStdString(error));
}

void PointingPage::refresh() {
    // The values others change (tavro set, another window) are taken up a
    // few times a second; the page's own changes show at once.
    if (!isVisible() && everShown_) return;
    if (++ticks_ % 8 != 1 && everShown_) return;
    everShown_ = true;
    const KitState& state = reader_->state();
    const bool attached = reader_->record() != nullptr;
    const bool running = attached && DaemonRuns();
    for (QWidget* control : daemonControls_) control->setEnabled(running);
    for (const SettingRow& row : rows_) row.editor->setEnabled(attached);
    if (!attached)
        daemonLine_->setText(tr("Nothing can be changed: %1").arg(state.problemText));
    else if (!running)
        daemonLine_->setText(tr("No device daemon runs: the pointing mode, the pointer and the active handset "
                                "belong to a running daemon, so they are off until one starts (Daemon page)."));
    else
        daemonLine_->clear();
    daemonLine_->setVisible(!daemonLine_->text().isEmpty());
    if (attached) showValues();
}

void PointingPage::say(const QString& text, bool failure) {
    message_->setStyleSheet(failure ? QStringLiteral("color: #b03a2e; font-weight: bold") : QString());
    message_->setText(text);
}

}  // namespace tavro::control
