// Every control of the Pointing page changes exactly the record field, the
// settings key or the configuration line it names, and nothing else: the
// record, the settings file and the daemon's configuration are compared
// before and after each change, with a daemon whose receiver sends nothing
// (so that the record is still).
#include "AppTest.h"
#include "PointingPage.h"
#include "RecordAccess.h"
#include "SettingsKeys.h"
#include "SharedDeviceState.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QSpinBox>

#include <cstring>
#include <set>

using namespace tavro::test;

namespace {

struct Snapshot {
    std::vector<uint8_t> record;
    std::string settings, config;
};

std::string ConfigPath() { return std::string(getenv("HOME")) + "/.config/tavro/tavrod.conf"; }
std::string SettingsPath() { return std::string(getenv("HOME")) + "/.QuorVel/Tavro.xml"; }

Snapshot Take(const SharedDeviceState* record) {
    Snapshot s;
    s.record.resize(sizeof(SharedDeviceState));
    tavro::LoadBytes(record, s.record.data(), s.record.size());
    s.settings = ReadFile(SettingsPath());
    s.config = ReadFile(ConfigPath());
    return s;
}

// The record's changed bytes outside [offset, offset + size) of the fields named.
QString RecordChangesOutside(const Snapshot& a, const Snapshot& b,
                             const std::vector<std::pair<size_t, size_t>>& fields) {
    QStringList outside;
    for (size_t i = 0; i < a.record.size(); ++i) {
        if (a.record[i] == b.record[i]) continue;
        bool named = false;
        for (const auto& f : fields) named = named || (i >= f.first && i < f.first + f.second);
        if (!named) outside << QStringLiteral("0x%1").arg(i, 4, 16, QLatin1Char('0'));
    }
    return outside.join(QLatin1Char(' '));
}

// The lines that differ between two texts of the same number of lines, or
// all of them when the counts differ.
QStringList ChangedLines(const std::string& a, const std::string& b) {
    const QStringList la = QString::fromStdString(a).split(QLatin1Char('\n'));
    const QStringList lb = QString::fromStdString(b).split(QLatin1Char('\n'));
    QStringList changed;
    if (la.size() != lb.size()) return lb;
    for (int i = 0; i < la.size(); ++i)
        if (la[i] != lb[i]) changed << lb[i].trimmed();
    return changed;
}

}  // namespace

#define FIELD(name) std::make_pair(offsetof(SharedDeviceState, name), sizeof(SharedDeviceState::name))

class PointingPageTest : public QObject {
    Q_OBJECT
private slots:
    void everyControlChangesOnlyWhatItNames() {
        SimulatedDevice device({"--pattern", "still", "--rate", "0"});
        QVERIFY(device.running);
        AppWindow app;
        app.window.showPage(QStringLiteral("pointing"));
        auto* page = app.window.pointingPage();
        SharedDeviceState* record = app.reader.record();
        QVERIFY(record != nullptr);
        QTest::qWait(300);
        // Showing the page wrote nothing.
        const Snapshot start = Take(record);
        QTest::qWait(300);
        const Snapshot shown = Take(record);
        QCOMPARE(RecordChangesOutside(start, shown, {}), QString());
        QCOMPARE(shown.settings, start.settings);
        QCOMPARE(shown.config, start.config);

        // Each settings key: one line of the file, its field of the record.
        for (const char* key : tavro::control::PointingPage::Keys()) {
            const Snapshot before = Take(record);
            auto* editor = page->findChild<QWidget*>(QString::fromLatin1(key));
            QVERIFY2(editor != nullptr && editor->isEnabled(), key);
            if (auto* box = qobject_cast<QCheckBox*>(editor)) box->click();
            else if (auto* spin = qobject_cast<QSpinBox*>(editor))
                spin->setValue(spin->value() < spin->maximum() ? spin->value() + 1 : spin->value() - 1);
            else if (auto* spin = qobject_cast<QDoubleSpinBox*>(editor)) spin->setValue(spin->value() + spin->singleStep());
            const Snapshot after = Take(record);
            const SettingKey* setting = nullptr;
            for (const SettingKey& k : kSettingKeys)
                if (std::strcmp(k.name, key) == 0) setting = &k;
            QVERIFY(setting != nullptr);
            QCOMPARE(RecordChangesOutside(before, after, {{setting->offset, setting->size}}), QString());
            QVERIFY2(before.record != after.record, key);
            const QStringList lines = ChangedLines(before.settings, after.settings);
            QVERIFY2(lines.size() == 1 && lines[0].startsWith(QStringLiteral("<%1>").arg(QLatin1String(key))),
                     qPrintable(QStringLiteral("%1 changed: %2").arg(QLatin1String(key), lines.join(QLatin1String(" | ")))));
            QCOMPARE(after.config, before.config);
            QVERIFY2(page->message().startsWith(QLatin1String(key)), qPrintable(page->message()));
        }

        // The record's fields of the daemon: the settings file stays as it is.
        struct Control {
            const char* name;
            std::vector<std::pair<size_t, size_t>> fields;
        };
        const std::vector<Control> controls = {
            {"mode-smart", {FIELD(DirectPoint), FIELD(SmartPoint), FIELD(MoveAtBoundary)}},
            {"mode-game", {FIELD(DirectPoint), FIELD(SmartPoint), FIELD(MoveAtBoundary)}},
            {"mode-direct", {FIELD(DirectPoint), FIELD(SmartPoint), FIELD(MoveAtBoundary)}},
            {"ActivateCursor", {FIELD(ActivateCursor)}},
            {"CurrentUser-2", {FIELD(CurrentUser)}},
        };
        for (const Control& control : controls) {
            const Snapshot before = Take(record);
            auto* button = page->findChild<QAbstractButton*>(QString::fromLatin1(control.name));
            QVERIFY2(button != nullptr && button->isEnabled(), control.name);
            button->click();
            const Snapshot after = Take(record);
            QCOMPARE(RecordChangesOutside(before, after, control.fields), QString());
            QVERIFY2(before.record != after.record, control.name);
            QCOMPARE(after.settings, before.settings);
            QCOMPARE(after.config, before.config);
        }

        // The filter: one line of the daemon's configuration.
        const Snapshot before = Take(record);
        page->findChild<QAbstractButton*>(QStringLiteral("filter-adaptive"))->click();
        const Snapshot after = Take(record);
        QCOMPARE(QString::fromStdString(after.config).trimmed().split(QLatin1Char('\n')).filter(QStringLiteral("filter")),
                 QStringList{QStringLiteral("filter = adaptive")});
        QCOMPARE(ChangedLines(before.config, after.config).size() <= 1 || before.config.empty(), true);
        QCOMPARE(after.settings, before.settings);
        QCOMPARE(RecordChangesOutside(before, after, {}), QString());
    }
};

TAVRO_APP_TEST_MAIN(PointingPageTest)
#include "pointing_page_test.moc"
