// The Keys page: a binding chosen on it changes exactly its line of the
// bindings file (through a symbolic link, comments kept); a key pressed on
// the simulated handset is picked; a file with errors is shown with its line
// and left as it is, as is one that cannot be written; and the running
// daemon switches to the profile picked.
#include "AppTest.h"
#include "HandsetWidgets.h"
#include "Kit.h"
#include "KeysPage.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <filesystem>

using namespace tavro::test;
using tavro::control::KeysPage;

namespace {

std::string ConfigDir() { return std::string(getenv("HOME")) + "/.config/tavro"; }
std::string BindingsPath() { return ConfigDir() + "/bindings.conf"; }

const char kBindings[] =
    "# my keys\n"
    "start = slides\n"
    "[slides]\n"
    "right = key Page_Down   # next slide\n"
    "left = key Page_Up\n"
    "handset 2 menu = profile next\n"
    "\n"
    "[browser]\n"
    "right = key alt+Right\n";

template <typename T>
T* Control(KeysPage* page, const char* name) {
    T* control = page->findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) qFatal("no control %s on the Keys page", name);
    return control;
}

void Choose(QComboBox* box, const QVariant& data) {
    const int index = box->findData(data);
    if (index < 0) qFatal("no item %s", qPrintable(data.toString()));
    box->setCurrentIndex(index);
}

void ClickKey(KeysPage* page, int bit) {
    QTest::mouseClick(page->keypad(), Qt::LeftButton, {}, page->keypad()->keyRect(bit).center().toPoint());
}

// The page's window on the Keys page, the file read.
struct KeysWindow : AppWindow {
    KeysWindow() {
        window.showPage(QStringLiteral("keys"));
        page = window.keysPage();
        page->reload();
        QTest::qWait(50);
    }
    KeysPage* page;
};

}  // namespace

class KeysPageTest : public QObject {
    Q_OBJECT
private slots:
    void savingRewritesOnlyThatLineThroughTheLink() {
        // The file is a dotfile linked into place.
        const std::string target = std::string(getenv("HOME")) + "/dotfiles/bindings.conf";
        WriteFile(target, kBindings);
        std::filesystem::create_directories(ConfigDir());
        std::filesystem::create_symlink(target, BindingsPath());
        KeysWindow app;
        QTest::qWait(300);
        QCOMPARE(ReadFile(target), std::string(kBindings));  // showing it wrote nothing

        struct Case {
            const char* profile;
            int handset;   // -1: every handset
            int key;       // its bit; -1: from the centre with the arrow key Up
            int gesture;   // 0 press, 1 hold
            const char* action;
            const char* argument;
            int line;      // of the file before the change
            int edit;      // 0 replace, 1 insert after, -1 remove
            const char* becomes;
        };
        const Case cases[] = {
            {"slides", -1, 3, 0, "key", "space", 4, 0, "right = key space   # next slide"},
            {"slides", 1, 9, 0, "nothing", "", 6, 0, "handset 2 menu = nothing"},
            {"browser", -1, -1, 1, "scroll", "up 5", 9, 1, "up hold 700 = scroll up 5"},
            {"slides", -1, 5, 0, "builtin", "", 5, -1, ""},
        };
        for (const Case& c : cases) {
            const std::string before = ReadFile(target);
            Choose(Control<QComboBox>(app.page, "profile"), QString::fromLatin1(c.profile));
            Choose(Control<QComboBox>(app.page, "handset"), c.handset);
            Control<QComboBox>(app.page, "gesture")->setCurrentIndex(c.gesture);
            if (c.key >= 0) {
                ClickKey(app.page, c.key);
            } else {
                ClickKey(app.page, 4);
                QTest::keyClick(app.page->keypad(), Qt::Key_Up);
            }
            if (c.gesture == 1) Control<QSpinBox>(app.page, "gestureMs")->setValue(700);
            Choose(Control<QComboBox>(app.page, "action"), QString::fromLatin1(c.action));
            Control<QComboBox>(app.page, "argument")->setEditText(QString::fromLatin1(c.argument));
            Control<QPushButton>(app.page, "save")->click();

            QStringList expected = QString::fromStdString(before).split(QLatin1Char('\n'));
            if (c.edit == 0) expected[c.line - 1] = QString::fromLatin1(c.becomes);
            else if (c.edit == 1) expected.insert(c.line, QString::fromLatin1(c.becomes));
            else expected.removeAt(c.line - 1);
            QCOMPARE(QString::fromStdString(ReadFile(target)), expected.join(QLatin1Char('\n')));
            QVERIFY2(std::filesystem::is_symlink(BindingsPath()), c.becomes);
            QVERIFY2(!app.page->message().startsWith(QLatin1String("Not saved")), qPrintable(app.page->message()));
        }
        // What is shown is the file's: the binding just removed acts built in.
        QVERIFY2(app.page->currentBinding().contains(QLatin1String("built in")), qPrintable(app.page->currentBinding()));
        // A key chord typed on the keyboard is recorded as the file writes it.
        Choose(Control<QComboBox>(app.page, "action"), QStringLiteral("key"));
        auto* record = Control<QPushButton>(app.page, "record");
        record->click();
        QTest::keyClick(record, Qt::Key_Control, Qt::ControlModifier);
        QTest::keyClick(record, Qt::Key_PageDown, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(Control<QComboBox>(app.page, "argument")->currentText(), QStringLiteral("ctrl+shift+Page_Down"));
        QVERIFY(!record->isChecked());
    }

    void aMissingFileIsMadeByTheFirstBinding() {
        KeysWindow app;
        QCOMPARE(Control<QComboBox>(app.page, "profile")->currentData().toString(), QStringLiteral("default"));
        ClickKey(app.page, 7);
        Choose(Control<QComboBox>(app.page, "action"), QStringLiteral("button"));
        Control<QComboBox>(app.page, "argument")->setEditText(QStringLiteral("right"));
        Control<QPushButton>(app.page, "save")->click();
        QCOMPARE(ReadFile(BindingsPath()), std::string("[default]\ndown = button right\n"));
    }

    void keypadPicksEveryKeyByClickAndByArrows() {
        KeysWindow app;
        auto* keypad = app.page->keypad();
        QSignalSpy picked(keypad, &tavro::control::KeypadView::keyPicked);
        for (int bit = 0; bit < 10; ++bit) {
            ClickKey(app.page, bit);
            QCOMPARE(keypad->selected(), bit);
        }
        QCOMPARE(picked.count(), 10);
        // The arrows walk the pad as it is laid out, the menu key below it.
        ClickKey(app.page, 4);
        const std::pair<Qt::Key, int> walk[] = {{Qt::Key_Up, 1},   {Qt::Key_Left, 2},  {Qt::Key_Down, 5},
                                                {Qt::Key_Down, 8}, {Qt::Key_Down, 9},  {Qt::Key_Up, 7},
                                                {Qt::Key_Right, 6}, {Qt::Key_Right, 6}};
        for (const auto& [key, bit] : walk) {
            QTest::keyClick(keypad, key);
            QCOMPARE(keypad->selected(), bit);
        }
        // The editor follows the keypad: down-right's built-in behaviour.
        QVERIFY2(app.page->currentBinding().contains(QLatin1String("Return")), qPrintable(app.page->currentBinding()));
    }

    void aRowOfTheListIsEditedAsItsTrigger() {
        WriteFile(BindingsPath(), kBindings);
        KeysWindow app;
        auto* list = Control<QTreeWidget>(app.page, "bindings");
        const QList<QTreeWidgetItem*> rows = list->findItems(QStringLiteral("handset 2 menu"), Qt::MatchExactly, 1);
        QCOMPARE(rows.size(), 1);
        list->setCurrentItem(rows[0]);
        QTRY_COMPARE_WITH_TIMEOUT(Control<QComboBox>(app.page, "handset")->currentData().toInt(), 1, 2000);
        QCOMPARE(app.page->keypad()->selected(), 9);
        QVERIFY2(app.page->currentBinding().contains(QLatin1String("handset 2 menu = profile next (line 6)")),
                 qPrintable(app.page->currentBinding()));
        QCOMPARE(Control<QComboBox>(app.page, "argument")->currentText(), QStringLiteral("next"));
    }

    void pressingAKeyOnTheHandsetPicksIt() {
        SimulatedDevice device({"--script", Script("keys.script", "at 0 0 x=176 y=144\n"
                                                                  "at 1 0 x=176 y=144 keys=down-left\n"
                                                                  "at 2 0 x=176 y=144\n"
                                                                  "at 2.5 0 x=176 y=144 keys=left,right\n"
                                                                  "at 3.5 0 x=176 y=144\n"
                                                                  "end 4\n")});
        QVERIFY(device.running);
        KeysWindow app;
        QCOMPARE(app.page->keypad()->selected(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(app.page->keypad()->selected(), 8, 5000);
        // Two held together pick their chord.
        auto* chordWith = Control<QComboBox>(app.page, "chordWith");
        QTRY_COMPARE_WITH_TIMEOUT(Control<QComboBox>(app.page, "gesture")->currentIndex(), 3, 5000);
        const QSet<int> chord{app.page->keypad()->selected(), chordWith->currentData().toInt()};
        QCOMPARE(chord, (QSet<int>{3, 5}));
    }

    void brokenFileShowsItsLineAndIsKeptAsIs() {
        const std::string broken = "[slides]\nright = key Page_Down\nup = jump\n";
        WriteFile(BindingsPath(), broken);
        KeysWindow app;
        const QString where = QString::fromStdString(BindingsPath()) + QStringLiteral(":3:6:");
        QVERIFY2(app.page->fileLine().contains(where), qPrintable(app.page->fileLine()));
        auto* save = Control<QPushButton>(app.page, "save");
        QVERIFY(!save->isEnabled());
        save->click();
        // Still usable to look: a key is picked on the keypad.
        ClickKey(app.page, 9);
        QCOMPARE(app.page->keypad()->selected(), 9);
        QTest::qWait(1200);
        QCOMPARE(ReadFile(BindingsPath()), broken);
        // Mended in an editor, the page takes it up by itself.
        WriteFile(BindingsPath(), "[slides]\nright = key Page_Down\nup = key Up\n");
        QTRY_VERIFY_WITH_TIMEOUT(!app.page->fileLine().contains(where), 3000);
        QVERIFY(save->isEnabled());
        // Broken again by an editor that writes a new file and renames it
        // over the old one: the new file is watched as well.
        WriteFile(BindingsPath() + ".new", broken);
        QCOMPARE(rename((BindingsPath() + ".new").c_str(), BindingsPath().c_str()), 0);
        QTRY_VERIFY_WITH_TIMEOUT(app.page->fileLine().contains(where), 3000);
        WriteFile(BindingsPath(), "[slides]\nup = key Up\n");
        QTRY_VERIFY_WITH_TIMEOUT(!app.page->fileLine().contains(where), 3000);
    }

    void readOnlyDirectorySaysWhyAndKeepsTheOld() {
        WriteFile(BindingsPath(), kBindings);
        // The directory made read-only for this process alone (root writes
        // through file modes).
        const std::string dir = ConfigDir();
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            QSKIP("no private mount namespace here");
        KeysWindow app;
        ClickKey(app.page, 3);
        const QString old = app.page->currentBinding();
        QVERIFY2(old.contains(QLatin1String("key Page_Down")), qPrintable(old));
        Choose(Control<QComboBox>(app.page, "action"), QStringLiteral("button"));
        Control<QComboBox>(app.page, "argument")->setEditText(QStringLiteral("right"));
        Control<QPushButton>(app.page, "save")->click();
        QVERIFY2(app.page->message().contains(QLatin1String("Not saved")) &&
                     app.page->message().contains(QLatin1String("Read-only file system")),
                 qPrintable(app.page->message()));
        QCOMPARE(app.page->currentBinding(), old);
        QCOMPARE(Control<QComboBox>(app.page, "action")->currentData().toString(), QStringLiteral("key"));
        QCOMPARE(Control<QComboBox>(app.page, "argument")->currentText(), QStringLiteral("Page_Down"));
        QCOMPARE(ReadFile(BindingsPath()), std::string(kBindings));
    }

    void pickingAProfileSwitchesTheDaemon() {
        WriteFile(BindingsPath(), kBindings);
        SimulatedDevice device({"--pattern", "still", "--rate", "0"});
        QVERIFY(device.running);
        KeysWindow app;
        QTRY_VERIFY_WITH_TIMEOUT(app.page->daemonLine().contains(QLatin1String("<b>slides</b>")), 5000);
        Choose(Control<QComboBox>(app.page, "profile"), QStringLiteral("browser"));
        auto* use = Control<QPushButton>(app.page, "useProfile");
        QTRY_VERIFY_WITH_TIMEOUT(use->isEnabled(), 3000);
        use->click();
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(tavro::cli::ReadDaemonView().profile), QStringLiteral("browser"),
                                  3000);
        QTRY_VERIFY_WITH_TIMEOUT(app.page->message().contains(QLatin1String("uses profile browser now")), 3000);
        QVERIFY(app.page->daemonLine().contains(QLatin1String("<b>browser</b>")));
        QCOMPARE(ReadFile(BindingsPath()), std::string(kBindings));
    }
};

TAVRO_APP_TEST_MAIN(KeysPageTest)
#include "keys_page_test.moc"
