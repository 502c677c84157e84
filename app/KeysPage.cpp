#include "KeysPage.h"

#include "BindingsEditor.h"
#include "BindingsFile.h"
#include "BuiltInKeys.h"
#include "ConfigFiles.h"
#include "FileWatch.h"
#include "HandsetWidgets.h"
#include "IrCodeFile.h"
#include "KeyRecorder.h"
#include "Kit.h"
#include "PageParts.h"
#include "ProfileRequest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace tavro::control {

namespace {

// The actions a binding can have, by the word the file uses; "builtin"
// removes the binding so that the key acts as the kit's own.
struct ActionChoice {
    const char* word;
    const char* title;
    const char* hint;   // what the argument is; null: it takes none
    const char* const* examples;
};
const char* const kKeyExamples[] = {"Page_Down", "Page_Up", "Escape", "Return", "space", "F5", "ctrl+plus",
                                    "ctrl+minus", "alt+Tab", "XF86AudioPlay", nullptr};
const char* const kButtonExamples[] = {"left", "left drag", "middle", "right", nullptr};
const char* const kScrollExamples[] = {"up", "down", "left", "right", "down 20", nullptr};
const char* const kNoExamples[] = {nullptr};
const ActionChoice kActions[] = {
    {"builtin", QT_TRANSLATE_NOOP("KeysPage", "Built in (no binding)"), nullptr, kNoExamples},
    {"key", QT_TRANSLATE_NOOP("KeysPage", "Keyboard keys"),
     QT_TRANSLATE_NOOP("KeysPage", "X key names joined by +, held while the handset's key is: Page_Down, "
                                   "ctrl+plus, alt+Tab, XF86AudioPlay"),
     kKeyExamples},
    {"button", QT_TRANSLATE_NOOP("KeysPage", "Pointer button"),
     QT_TRANSLATE_NOOP("KeysPage", "left, middle or right, then click (the default) or drag"), kButtonExamples},
    {"scroll", QT_TRANSLATE_NOOP("KeysPage", "Scroll"),
     QT_TRANSLATE_NOOP("KeysPage", "up, down, left or right, then detents per second while held (1 to 60, "
                                   "default 10)"),
     kScrollExamples},
    {"freeze", QT_TRANSLATE_NOOP("KeysPage", "Freeze the pointer"), nullptr, kNoExamples},
    {"unfreeze", QT_TRANSLATE_NOOP("KeysPage", "Unfreeze the pointer"), nullptr, kNoExamples},
    {"toggle-freeze", QT_TRANSLATE_NOOP("KeysPage", "Freeze or unfreeze the pointer"), nullptr, kNoExamples},
    {"profile", QT_TRANSLATE_NOOP("KeysPage", "Switch profile"),
     QT_TRANSLATE_NOOP("KeysPage", "a profile's name, next (the following one) or builtin"), kNoExamples},
    {"ir", QT_TRANSLATE_NOOP("KeysPage", "Send an infrared code"),
     QT_TRANSLATE_NOOP("KeysPage", "the name of a code saved with tavro ir learn --name (Receiver page)"),
     kNoExamples},
    {"run", QT_TRANSLATE_NOOP("KeysPage", "Run a program"),
     QT_TRANSLATE_NOOP("KeysPage", "the program and its arguments, started without a shell; put an argument "
                                   "with blanks in \"double quotes\""),
     kNoExamples},
    {"nothing", QT_TRANSLATE_NOOP("KeysPage", "Nothing (the key is off)"), nullptr, kNoExamples},
};
constexpr int kActionCount = sizeof kActions / sizeof kActions[0];

const char* const kGestureTitles[] = {QT_TRANSLATE_NOOP("KeysPage", "Press"),
                                      QT_TRANSLATE_NOOP("KeysPage", "Hold"),
                                      QT_TRANSLATE_NOOP("KeysPage", "Double press"),
                                      QT_TRANSLATE_NOOP("KeysPage", "Chord with")};

// How often the file is looked at for changes made elsewhere.
// How long the daemon has to take a profile request up.
constexpr qint64 kSwitchTimeoutMs = 2000;

QString Key(int key) { return QString::fromLatin1(KeypadKeyName(key)); }

// A word of a run line as the file needs it: quoted when it has blanks,
// '#' or quotes.
std::string Quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t#\"\\") == std::string::npos) return word;
    std::string out = "\"";
    for (char c : word) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

// The argument of an action as a line of the file would write it.
QString ArgumentOf(const Action& a) {
    if (a.kind == ActionKind::Run) {
        std::string line;
        for (const std::string& word : a.argv) line += (line.empty() ? "" : " ") + Quoted(word);
        return QString::fromStdString(line);
    }
    const size_t blank = a.source.find(' ');
    return blank == std::string::npos ? QString() : QString::fromStdString(a.source.substr(blank + 1));
}

QString WordOf(const Action& a) {
    const size_t blank = a.source.find(' ');
    return QString::fromStdString(a.source.substr(0, blank)).toLower();
}

}  // namespace

KeysPage::KeysPage(RecordReader* reader, QWidget* parent)
    : QWidget(parent), reader_(reader), path_(DefaultBindingsPath()) {
    clock_.start();
    fileLine_ = new QLabel(this);
    fileLine_->setWordWrap(true);
    fileLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fileLine_->setAccessibleName(tr("Bindings file"));
    message_ = OutcomeLine(tr("Outcome of the last change"), this);

    auto* columns = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    keypad_ = new KeypadView(this);
    keypad_->setSelectable(true);
    keypad_->setAccessibleName(tr("Keypad: pick a key"));
    keypad_->setMinimumSize(150, 190);
    keypad_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    byPressing_ = new QCheckBox(tr("Pick a key by pr&essing it on the handset"), this);
    byPressing_->setObjectName(QStringLiteral("byPressing"));
    byPressing_->setAccessibleName(tr("Pick a key by pressing it on the handset"));
    byPressing_->setChecked(true);
    left->addWidget(keypad_, 1);
    left->addWidget(byPressing_);
    left->addWidget(Description(tr("A dot marks a key with a binding. Click a key, or use the arrow keys on the "
                            "picture. While this page is shown, "
                            "a key pressed on the handset chosen above is picked too (two held together "
                            "pick their chord); it still does what it is bound to."),
                         this));
    columns->addLayout(left, 2);

    table_ = new QTreeWidget(this);
    table_->setObjectName(QStringLiteral("bindings"));
    table_->setAccessibleName(tr("Bindings of the profile"));
    table_->setColumnCount(4);
    table_->setHeaderLabels({tr("Key"), tr("Trigger"), tr("Action"), tr("Line")});
    table_->setRootIsDecorated(false);
    table_->setAllColumnsShowFocus(true);
    table_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->header()->setStretchLastSection(false);
    table_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    table_->setMinimumHeight(120);
    connect(table_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item == nullptr) return;
        const int key = item->data(0, Qt::UserRole).toInt();
        const int gesture = item->data(1, Qt::UserRole).toInt();
        const int chordWith = item->data(2, Qt::UserRole).toInt();
        const int ms = item->data(3, Qt::UserRole).toInt();
        const int handset = item->data(0, Qt::UserRole + 1).toInt();
        // A row of one handset's binding is edited for that handset.  The
        // table is rebuilt after this signal, not inside it.
        QMetaObject::invokeMethod(this, [=] {
            {
                QSignalBlocker blockG(gestures_), blockC(chordWith_), blockM(gestureMs_), blockH(handsets_);
                gestures_->setCurrentIndex(gesture);
                if (gesture == static_cast<int>(Gesture::Chord)) chordWith_->setCurrentIndex(chordWith_->findData(chordWith));
                if (ms > 0) gestureMs_->setValue(ms);
                if (handset >= 0 && handset != this->handset()) {
                    handsets_->setCurrentIndex(handsets_->findData(handset));
                    showBindings();
                }
            }
            keypad_->setSelected(key);
            showSelected();
        }, Qt::QueuedConnection);
    });
    auto* right = new QVBoxLayout;
    right->addWidget(table_, 1);
    right->addWidget(makeEditor());
    columns->addLayout(right, 5);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(fileLine_);
    layout->addWidget(makeChoiceRow());
    layout->addLayout(columns, 1);
    layout->addWidget(message_);

    connect(keypad_, &KeypadView::keyPicked, this, [this](int key) { selectKey(key); });
    connect(reader_, &RecordReader::updated, this, &KeysPage::refresh);
    reload();
    // Edited meanwhile (an editor, tavro bind): read again.
    watch_.setPath(path());
    connect(&watch_, &FileWatch::changed, this, &KeysPage::reload);
    // The profile shown first is the daemon's, else the one it would start with.
    fillProfiles(profileInUse());
    selectKey(4);
}

QWidget* KeysPage::makeChoiceRow() {
    auto* row = new QWidget(this);
    auto* grid = new QGridLayout(row);
    grid->setContentsMargins(0, 0, 0, 0);
    profiles_ = new QComboBox(row);
    profiles_->setObjectName(QStringLiteral("profile"));
    profiles_->setAccessibleName(tr("Profile"));
    profiles_->setMinimumContentsLength(12);
    auto* profileLabel = new QLabel(tr("P&rofile:"), row);
    profileLabel->setBuddy(profiles_);
    connect(profiles_, &QComboBox::currentIndexChanged, this, [this] {
        showBindings();
        showSelected();
        refresh();
    });
    newProfile_ = new QLineEdit(row);
    newProfile_->setObjectName(QStringLiteral("newProfile"));
    newProfile_->setAccessibleName(tr("Name of a new profile"));
    newProfile_->setPlaceholderText(tr("new profile name"));
    newProfile_->setMaximumWidth(180);
    addProfile_ = new QPushButton(tr("&New profile"), row);
    addProfile_->setObjectName(QStringLiteral("addProfile"));
    addProfile_->setAccessibleName(tr("Add the new profile"));
    connect(addProfile_, &QPushButton::clicked, this, &KeysPage::addProfile);
    connect(newProfile_, &QLineEdit::returnPressed, this, &KeysPage::addProfile);
    useProfile_ = new QPushButton(tr("&Use it now"), row);
    useProfile_->setObjectName(QStringLiteral("useProfile"));
    useProfile_->setAccessibleName(tr("Switch the running daemon to this profile"));
    useProfile_->setToolTip(tr("As tavro profile NAME: lasts while the daemon runs"));
    connect(useProfile_, &QPushButton::clicked, this, &KeysPage::switchDaemon);
    daemonLine_ = new QLabel(row);
    daemonLine_->setWordWrap(true);
    daemonLine_->setAccessibleName(tr("Profile of the running daemon"));

    handsets_ = new QComboBox(row);
    handsets_->setObjectName(QStringLiteral("handset"));
    handsets_->setAccessibleName(tr("Handset the bindings are for"));
    handsets_->addItem(tr("Every handset"), -1);
    for (int u = 0; u < kHandsets; ++u) handsets_->addItem(tr("Handset %1 only").arg(u + 1), u);
    handsets_->setToolTip(tr("Handsets count from 1 here, as in the bindings file: handset 1 is handset 0 "
                             "of the Handsets page"));
    auto* handsetLabel = new QLabel(tr("&Bindings for:"), row);
    handsetLabel->setBuddy(handsets_);
    connect(handsets_, &QComboBox::currentIndexChanged, this, [this] {
        showBindings();
        showSelected();
    });

    grid->addWidget(profileLabel, 0, 0);
    grid->addWidget(profiles_, 0, 1);
    grid->addWidget(useProfile_, 0, 2);
    grid->addWidget(newProfile_, 0, 3);
    grid->addWidget(addProfile_, 0, 4);
    profileInfo_ = Description(QString(), row);
    profileInfo_->setAccessibleName(tr("What the profile is for"));
    grid->addWidget(profileInfo_, 2, 1, 1, -1);
    grid->addWidget(handsetLabel, 1, 0);
    grid->addWidget(handsets_, 1, 1);
    grid->addWidget(daemonLine_, 1, 2, 1, 3);
    grid->setColumnStretch(5, 1);
    return row;
}

QWidget* KeysPage::makeEditor() {
    auto* group = new QGroupBox(tr("The key picked"), this);
    auto* grid = new QGridLayout(group);
    keyTitle_ = new QLabel(group);
    keyTitle_->setAccessibleName(tr("Key picked"));
    grid->addWidget(keyTitle_, 0, 0, 1, 4);

    gestures_ = new QComboBox(group);
    gestures_->setObjectName(QStringLiteral("gesture"));
    gestures_->setAccessibleName(tr("Gesture"));
    for (const char* title : kGestureTitles) gestures_->addItem(tr(title));
    gestureMs_ = new QSpinBox(group);
    gestureMs_->setObjectName(QStringLiteral("gestureMs"));
    gestureMs_->setAccessibleName(tr("Gesture time in milliseconds"));
    gestureMs_->setRange(50, 10000);
    gestureMs_->setSingleStep(50);
    gestureMs_->setSuffix(tr(" ms"));
    gestureMs_->setKeyboardTracking(false);
    chordWith_ = new QComboBox(group);
    chordWith_->setObjectName(QStringLiteral("chordWith"));
    chordWith_->setAccessibleName(tr("Other key of the chord"));
    for (int key = 0; key < kKeypadKeys; ++key) chordWith_->addItem(Key(key), key);
    auto* gestureLabel = new QLabel(tr("&Gesture:"), group);
    gestureLabel->setBuddy(gestures_);
    grid->addWidget(gestureLabel, 1, 0);
    grid->addWidget(gestures_, 1, 1);
    grid->addWidget(gestureMs_, 1, 2);
    grid->addWidget(chordWith_, 1, 3);
    connect(gestures_, &QComboBox::currentIndexChanged, this, [this](int g) {
        QSignalBlocker block(gestureMs_);
        gestureMs_->setValue(g == static_cast<int>(Gesture::Double) ? 300 : 500);
        showSelected();
    });
    connect(chordWith_, &QComboBox::currentIndexChanged, this, &KeysPage::showSelected);

    current_ = new QLabel(group);
    current_->setWordWrap(true);
    current_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    current_->setAccessibleName(tr("Current binding"));
    grid->addWidget(current_, 2, 0, 1, 4);

    actions_ = new QComboBox(group);
    actions_->setObjectName(QStringLiteral("action"));
    actions_->setAccessibleName(tr("Action"));
    for (const ActionChoice& a : kActions) actions_->addItem(tr(a.title), QString::fromLatin1(a.word));
    argument_ = new QComboBox(group);
    argument_->setObjectName(QStringLiteral("argument"));
    argument_->setEditable(true);
    argument_->setInsertPolicy(QComboBox::NoInsert);
    argument_->setAccessibleName(tr("Argument of the action"));
    argument_->lineEdit()->setAccessibleName(tr("Argument of the action"));
    argument_->setMinimumContentsLength(18);
    argument_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* actionLabel = new QLabel(tr("&Action:"), group);
    actionLabel->setBuddy(actions_);
    grid->addWidget(actionLabel, 3, 0);
    grid->addWidget(actions_, 3, 1);
    grid->addWidget(argument_, 3, 2);
    record_ = new KeyRecorder(group);
    record_->setObjectName(QStringLiteral("record"));
    record_->setToolTip(tr("Type the key chord the handset's key is to send"));
    connect(record_, &KeyRecorder::recorded, this, [this](const QString& chord) {
        argument_->setEditText(chord);
        argument_->setFocus();
    });
    grid->addWidget(record_, 3, 3);
    connect(actions_, &QComboBox::currentIndexChanged, this, &KeysPage::showArgumentChoices);
    argumentHint_ = Description(QString(), group);
    grid->addWidget(argumentHint_, 4, 0, 1, 4);

    save_ = new QPushButton(tr("&Save the binding"), group);
    save_->setObjectName(QStringLiteral("save"));
    save_->setAccessibleName(tr("Save the binding"));
    save_->setDefault(true);
    connect(save_, &QPushButton::clicked, this, &KeysPage::save);
    connect(argument_->lineEdit(), &QLineEdit::returnPressed, this, &KeysPage::save);
    grid->addWidget(save_, 5, 3, Qt::AlignRight);
    grid->setColumnStretch(2, 1);
    return group;
}

QString KeysPage::fileLine() const { return fileLine_->text(); }
QString KeysPage::message() const { return message_->text(); }
QString KeysPage::daemonLine() const { return daemonLine_->text(); }
QString KeysPage::currentBinding() const { return current_->text(); }

QString KeysPage::profile() const { return profiles_->currentData().toString(); }
int KeysPage::handset() const { return handsets_->currentData().toInt(); }
int KeysPage::gesture() const { return std::max(0, gestures_->currentIndex()); }

void KeysPage::reload() {
    watch_.markSeen();
    std::string text, error;
    std::vector<std::string> problems;
    Bindings read;
    const bool wasReadable = readable_;
    readable_ = false;
    if (!ReadUserFile(path_, "a bindings file (see tavro-bindings(5))", &text, &error)) {
        fileProblem_ = tr("The bindings file cannot be read: %1").arg(QString::fromStdString(error));
    } else if (!ParseBindings(text, path_, &read, &problems)) {
        QStringList lines;
        for (const std::string& p : problems) lines << QString::fromStdString(p).toHtmlEscaped();
        fileProblem_ = tr("The bindings file has errors; it is shown as last read without them and is not "
                          "changed here until they are fixed in an editor (the running daemon keeps its "
                          "bindings too):<br>%1")
                           .arg(lines.join(QStringLiteral("<br>")));
    } else {
        readable_ = true;
        fileProblem_.clear();
        bindings_ = read;
        bindings_.path = path_;
    }
    if (!readable_) {
        fileLine_->setText(fileProblem_);
        fileLine_->setStyleSheet(QStringLiteral("QLabel { background: #f9e0dc; color: #7b1f14; padding: 6px; "
                                                "border-radius: 4px; }"));
    } else {
        fileLine_->setStyleSheet(QString());
        fileLine_->setText(text.empty() && !QFileInfo::exists(path())
                               ? tr("No bindings file yet (%1): every key acts built in. Saving a binding "
                                    "makes it.")
                                     .arg(path())
                               : tr("Bindings file: %1. A saved binding rewrites its line alone, comments "
                                    "kept; a running daemon takes it up within a second.")
                                     .arg(path()));
    }
    // Without bindings read, the page only shows: the gestures and keys can
    // still be looked through.
    for (QWidget* control : std::initializer_list<QWidget*>{save_, actions_, argument_, newProfile_, addProfile_})
        control->setEnabled(readable_);
    if (profiles_->count() == 0) return;
    // A file mended since (or read for the first time) shows the profile in
    // use, as at the start.
    fillProfiles(readable_ && !wasReadable ? profileInUse() : profile());
}

QString KeysPage::profileInUse() const {
    const KitState& state = reader_->state();
    return state.daemonRunning && !state.profile.isEmpty() ? state.profile
                                                          : QString::fromStdString(bindings_.StartProfile());
}

void KeysPage::fillProfiles(const QString& keep) {
    QStringList names{QString::fromLatin1(kBuiltinProfile)};
    for (const Profile& p : bindings_.profiles) names << QString::fromStdString(p.name);
    QStringList fresh;  // added on the page, made by their first binding
    for (int i = 0; i < profiles_->count(); ++i)
        if (profiles_->itemData(i, Qt::UserRole + 1).toBool() && !names.contains(profiles_->itemData(i).toString()))
            fresh << profiles_->itemData(i).toString();
    // With no profile at all, one is offered, as the file would name it.
    if (bindings_.profiles.empty() && fresh.isEmpty() && readable_) fresh << QStringLiteral("default");
    {
        QSignalBlocker block(profiles_);
        profiles_->clear();
        for (const QString& name : names) profiles_->addItem(name, name);
        for (const QString& name : fresh) {
            profiles_->addItem(tr("%1 (new)").arg(name), name);
            profiles_->setItemData(profiles_->count() - 1, true, Qt::UserRole + 1);
        }
        int index = profiles_->findData(keep);
        // Without a profile in the file, the one offered is shown rather than builtin.
        if (index <= 0 && bindings_.profiles.empty() && !fresh.isEmpty()) index = profiles_->findData(fresh.front());
        profiles_->setCurrentIndex(std::max(0, index));
    }
    showBindings();
    showSelected();
}

void KeysPage::addProfile() {
    const QString name = newProfile_->text().trimmed();
    if (name.isEmpty()) return say(tr("Write the new profile's name first."), true);
    if (name.contains(QLatin1Char(' ')) || name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')) ||
        name.contains(QLatin1Char('#')) || name == QLatin1String("next") || name == QLatin1String(kBuiltinProfile))
        return say(tr("\"%1\" cannot name a profile: one word without brackets or '#', not next or builtin.")
                       .arg(name),
                   true);
    if (profiles_->findData(name) < 0) {
        profiles_->addItem(tr("%1 (new)").arg(name), name);
        profiles_->setItemData(profiles_->count() - 1, true, Qt::UserRole + 1);
    }
    profiles_->setCurrentIndex(profiles_->findData(name));
    newProfile_->clear();
    say(tr("Profile %1 is made in the file by its first binding saved.").arg(name), false);
}

void KeysPage::showBindings() {
    const Profile* p = bindings_.Find(profile().toStdString());
    QStringList about;
    if (p != nullptr && !p->applications.empty()) {
        QStringList classes;
        for (const std::string& c : p->applications) classes << QString::fromStdString(c);
        about << tr("Chosen by itself while the active window is one of: %1.").arg(classes.join(QStringLiteral(", ")));
    }
    if (p != nullptr && p->everyHandset) about << tr("The keys of every handset act, not only the active one's.");
    profileInfo_->setText(about.join(QLatin1Char(' ')));
    profileInfo_->setVisible(!about.isEmpty());
    QSignalBlocker block(table_);
    table_->clear();
    unsigned bound = 0;
    for (int key = 0; key < kKeypadKeys; ++key) {
        // A key without a press binding keeps its built-in press beside its
        // other gestures.
        bool pressBound = false;
        if (p != nullptr)
            for (const Binding* b : p->OfKey(key, handset())) {
                auto* item = new QTreeWidgetItem(table_, {Key(key), QString::fromStdString(b->trigger),
                                                          QString::fromStdString(b->action.source),
                                                          QString::number(b->line)});
                item->setData(0, Qt::UserRole, key);
                item->setData(0, Qt::UserRole + 1, b->handset);
                item->setData(1, Qt::UserRole, static_cast<int>(b->gesture));
                item->setData(2, Qt::UserRole, b->chordWith);
                item->setData(3, Qt::UserRole, b->gesture == Gesture::Hold ? b->holdMs
                                               : b->gesture == Gesture::Double ? b->doubleMs : 0);
                pressBound = pressBound || b->gesture == Gesture::Press;
                bound |= 1u << key | (b->chordWith >= 0 ? 1u << b->chordWith : 0u);
            }
        if (!pressBound) {
            auto* item = new QTreeWidgetItem(
                table_, {Key(key), tr("built in"), QString::fromLatin1(cli::BuiltInKeyBehaviour(key)), QString()});
            item->setData(0, Qt::UserRole, key);
            item->setData(0, Qt::UserRole + 1, -1);
            item->setData(1, Qt::UserRole, 0);
            item->setData(2, Qt::UserRole, -1);
            item->setData(3, Qt::UserRole, 0);
        }
    }
    keypad_->setMarked(bound);
}

const Binding* KeysPage::exactBinding() const {
    const Profile* p = bindings_.Find(profile().toStdString());
    const int key = keypad_->selected();
    if (p == nullptr || key < 0) return nullptr;
    int first = key, second = -1;
    if (gesture() == static_cast<int>(Gesture::Chord)) {
        second = chordWith_->currentData().toInt();
        if (second < first) std::swap(first, second);
    }
    for (const Binding& b : p->bindings)
        if (b.key == first && b.chordWith == second && b.handset == handset() &&
            static_cast<int>(b.gesture) == gesture())
            return &b;
    return nullptr;
}

void KeysPage::selectKey(int key) {
    keypad_->setSelected(key);
    showSelected();
}

void KeysPage::showSelected() {
    const int key = keypad_->selected();
    if (key < 0) return;
    const bool chord = gesture() == static_cast<int>(Gesture::Chord);
    const bool timed = gesture() == static_cast<int>(Gesture::Hold) || gesture() == static_cast<int>(Gesture::Double);
    gestureMs_->setVisible(timed);
    chordWith_->setVisible(chord);
    keyTitle_->setText(tr("<b>%1</b> in profile %2, %3")
                           .arg(Key(key), profile().toHtmlEscaped(), handsets_->currentText().toLower()));
    // The table's row of that key and gesture follows, else the key's first.
    QTreeWidgetItem* row = nullptr;
    for (int i = 0; i < table_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = table_->topLevelItem(i);
        if (item->data(0, Qt::UserRole).toInt() != key) continue;
        const bool same = item->data(1, Qt::UserRole).toInt() == gesture() &&
                          (!chord || item->data(2, Qt::UserRole).toInt() == chordWith_->currentData().toInt());
        if (row == nullptr || same) row = item;
        if (same) break;
    }
    if (row != nullptr) {
        QSignalBlocker block(table_);
        table_->setCurrentItem(row);
        table_->scrollToItem(row);
    }
    const Binding* b = exactBinding();
    const bool builtin = profile() == QLatin1String(kBuiltinProfile);
    if (b != nullptr) {
        current_->setText(tr("Now: %1 = %2 (line %3)")
                              .arg(QString::fromStdString(b->trigger), QString::fromStdString(b->action.source))
                              .arg(b->line));
    } else {
        const Profile* p = bindings_.Find(profile().toStdString());
        const Binding* shared = nullptr;
        if (p != nullptr && handset() >= 0)
            for (const Binding* o : p->OfKey(key, -1))
                if (o->handset < 0 && static_cast<int>(o->gesture) == gesture()) shared = o;
        if (shared != nullptr)
            current_->setText(tr("Now: the binding for every handset, %1 = %2 (line %3); saving here gives "
                                 "this handset one of its own.")
                                  .arg(QString::fromStdString(shared->trigger),
                                       QString::fromStdString(shared->action.source))
                                  .arg(shared->line));
        else if (gesture() == static_cast<int>(Gesture::Press))
            current_->setText(tr("Now: built in, %1.").arg(QString::fromLatin1(cli::BuiltInKeyBehaviour(key))));
        else
            current_->setText(tr("Now: this gesture is not bound."));
    }
    if (builtin) current_->setText(current_->text() + QLatin1Char(' ') +
                                   tr("The built-in profile binds nothing; pick or add a profile to bind keys."));
    {
        QSignalBlocker blockA(actions_), blockG(gestureMs_);
        int index = 0;
        if (b != nullptr) index = std::max(0, actions_->findData(WordOf(b->action)));
        actions_->setCurrentIndex(index);
        if (b != nullptr && b->gesture == Gesture::Hold) gestureMs_->setValue(b->holdMs);
        if (b != nullptr && b->gesture == Gesture::Double) gestureMs_->setValue(b->doubleMs);
    }
    showArgumentChoices();
    argument_->setEditText(b != nullptr ? ArgumentOf(b->action) : QString());
    save_->setEnabled(readable_ && !builtin);
}

void KeysPage::showArgumentChoices() {
    const int index = std::max(0, actions_->currentIndex());
    const ActionChoice& choice = kActions[index];
    const QString text = argument_->currentText();
    argument_->clear();
    QStringList examples;
    for (const char* const* e = choice.examples; *e != nullptr; ++e) examples << QString::fromLatin1(*e);
    const QString word = QString::fromLatin1(choice.word);
    if (word == QLatin1String("profile")) {
        examples << QStringLiteral("next") << QString::fromLatin1(kBuiltinProfile);
        for (const Profile& p : bindings_.profiles) examples << QString::fromStdString(p.name);
    } else if (word == QLatin1String("ir")) {
        const QFileInfo saved(QString::fromStdString(SavedIrCodePath("name")));
        for (const QFileInfo& code : saved.dir().entryInfoList({QStringLiteral("*.ir")}, QDir::Files, QDir::Name))
            examples << code.completeBaseName();
    }
    argument_->addItems(examples);
    argument_->setEditText(text);
    argument_->setEnabled(readable_ && choice.hint != nullptr);
    record_->setEnabled(readable_ && word == QLatin1String("key"));
    argumentHint_->setText(choice.hint != nullptr ? tr(choice.hint)
                           : word == QLatin1String("builtin")
                               ? tr("Removes the binding: the key does what the kit does with it.")
                               : tr("Takes no argument."));
}

std::string KeysPage::trigger() const {
    std::string t;
    if (handset() >= 0) t = "handset " + std::to_string(handset() + 1) + " ";
    t += KeypadKeyName(keypad_->selected());
    switch (static_cast<Gesture>(gesture())) {
        case Gesture::Press: break;
        case Gesture::Hold: t += " hold " + std::to_string(gestureMs_->value()); break;
        case Gesture::Double: t += " double " + std::to_string(gestureMs_->value()); break;
        case Gesture::Chord: t += std::string("+") + KeypadKeyName(chordWith_->currentData().toInt()); break;
    }
    return t;
}

std::string KeysPage::action() const {
    const ActionChoice& choice = kActions[std::max(0, actions_->currentIndex())];
    const std::string argument = argument_->currentText().trimmed().toStdString();
    if (choice.hint == nullptr || argument.empty()) return choice.word;
    return std::string(choice.word) + " " + argument;
}

void KeysPage::save() {
    if (!readable_) return say(tr("Nothing is saved: the bindings file has errors (above); fix them first."), true);
    if (keypad_->selected() < 0) return say(tr("Pick a key first."), true);
    const std::string name = profile().toStdString();
    if (name == kBuiltinProfile)
        return say(tr("The built-in profile cannot be changed: pick a profile or add one."), true);
    const std::string trigger = this->trigger(), action = this->action();
    if (action == "builtin" && exactBinding() == nullptr)
        return say(tr("Nothing to save: %1 is not bound in profile %2, it acts built in.")
                       .arg(QString::fromStdString(trigger), profile()),
                   false);
    std::string text, edited, error;
    // The file as it is now, so that a change made elsewhere since is kept.
    if (!ReadUserFile(path_, "a bindings file (see tavro-bindings(5))", &text, &error)) {
        reload();
        return say(tr("Not saved: %1").arg(QString::fromStdString(error)), true);
    }
    if (!EditBinding(text, path_, name, trigger, action, &edited, &error)) {
        reload();
        showSelected();
        return say(tr("Not saved: %1").arg(QString::fromStdString(error)), true);
    }
    if (edited == text) return say(tr("Nothing to save: %1 = %2 is what the file says.")
                                       .arg(QString::fromStdString(trigger), QString::fromStdString(action)),
                                   false);
    if (!ReplaceFileThroughLinks(path_, edited, &error)) {
        reload();
        showSelected();
        return say(tr("Not saved: %1").arg(QString::fromStdString(error)), true);
    }
    reload();
    showSelected();
    if (action == "builtin")
        say(tr("%1 acts built in again in profile %2 (%3).").arg(QString::fromStdString(trigger), profile(), path()),
            false);
    else
        say(tr("Saved %1 = %2 in profile %3 (%4).")
                .arg(QString::fromStdString(trigger), QString::fromStdString(action), profile(), path()),
            false);
}

void KeysPage::switchDaemon() {
    const cli::DaemonView view = cli::ReadDaemonView();
    std::string wanted, error;
    if (!cli::RequestProfile(bindings_, profile().toStdString(), view, &wanted, &error))
        return say(tr("The profile is not switched: %1.").arg(QString::fromStdString(error)), true);
    wantedProfile_ = QString::fromStdString(wanted);
    wantedDeadlineMs_ = clock_.elapsed() + kSwitchTimeoutMs;
    say(tr("Asked the running daemon for profile %1…").arg(wantedProfile_), false);
}

void KeysPage::followHandsetKeys() {
    const KitState& state = reader_->state();
    const int shown = handset() >= 0 ? handset() : state.activeHandset;
    const HandsetState& h = state.handsets[shown];
    keypad_->setButtons(h.seen ? h.buttons : -1, HandsetColour(shown), h.fresh);
    for (int u = 0; u < kHandsets; ++u) {
        const HandsetState& s = state.handsets[u];
        const unsigned pressed = s.fresh && s.buttons >= 0 ? ~static_cast<unsigned>(s.buttons) & 0x3ffu : 0u;
        const unsigned newly = pressed & ~held_[u];
        held_[u] = pressed;
        if (newly == 0 || !byPressing_->isChecked() || !isVisible()) continue;
        if (handset() >= 0 && u != handset()) continue;
        const int key = __builtin_ctz(newly);
        if (__builtin_popcount(pressed) == 2) {
            // Two held together: their chord.
            const int other = __builtin_ctz(pressed & ~(1u << key));
            QSignalBlocker blockG(gestures_), blockC(chordWith_);
            gestures_->setCurrentIndex(static_cast<int>(Gesture::Chord));
            chordWith_->setCurrentIndex(chordWith_->findData(key));
            selectKey(other);
        } else {
            if (gesture() == static_cast<int>(Gesture::Chord)) {
                QSignalBlocker block(gestures_);
                gestures_->setCurrentIndex(static_cast<int>(Gesture::Press));
            }
            selectKey(key);
        }
    }
}

void KeysPage::refresh() {
    followHandsetKeys();
    if (!isVisible()) return;
    const qint64 now = clock_.elapsed();
    const KitState& state = reader_->state();
    const QString running = state.profile.isEmpty() ? QString::fromLatin1(kBuiltinProfile) : state.profile;
    const QString line = state.daemonRunning
                             ? tr("The running daemon uses profile <b>%1</b>.").arg(running.toHtmlEscaped())
                             : tr("No daemon runs; it would start with profile %1.")
                                   .arg(QString::fromStdString(bindings_.StartProfile()).toHtmlEscaped());
    if (daemonLine_->text() != line) daemonLine_->setText(line);
    const bool known = profile() == QLatin1String(kBuiltinProfile) || bindings_.Find(profile().toStdString()) != nullptr;
    useProfile_->setEnabled(state.daemonRunning && known && running != profile());
    if (!wantedProfile_.isEmpty()) {
        if (state.daemonRunning && running == wantedProfile_) {
            say(tr("The running daemon uses profile %1 now.").arg(wantedProfile_), false);
            wantedProfile_.clear();
        } else if (now >= wantedDeadlineMs_) {
            say(tr("The running daemon (process %1) did not switch to %2; see journalctl -t Tavro.")
                    .arg(state.daemonPid)
                    .arg(wantedProfile_),
                true);
            wantedProfile_.clear();
        }
    }
}

void KeysPage::say(const QString& text, bool failure) {
    message_->setStyleSheet(failure ? QStringLiteral("color: #b03a2e; font-weight: bold") : QString());
    message_->setText(text);
}

}  // namespace tavro::control
