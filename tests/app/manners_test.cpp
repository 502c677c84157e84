// The app's manners: every control has an accessible name and takes the
// keyboard, and the window shrinks to a small screen.
#include "AppTest.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabBar>

using namespace tavro::test;

class MannersTest : public QObject {
    Q_OBJECT
private slots:
    void everyControlHasANameAndTakesTheKeyboard() {
        AppWindow app;
        QStringList faults;
        int controls = 0;
        for (QWidget* widget : app.window.findChildren<QWidget*>()) {
            // A combo box's list, a spin box's text field and a list's header are parts of theirs.
            const bool part = qobject_cast<QComboBox*>(widget->parentWidget()) != nullptr ||
                              qobject_cast<QAbstractItemView*>(widget->parentWidget()) != nullptr ||
                              widget->parent()->inherits("QComboBoxPrivateContainer") ||
                              qobject_cast<QAbstractSpinBox*>(widget->parentWidget()) != nullptr;
            const bool control = qobject_cast<QAbstractButton*>(widget) || qobject_cast<QAbstractSpinBox*>(widget) ||
                                 qobject_cast<QTabBar*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
                                 qobject_cast<QComboBox*>(widget) || (qobject_cast<QLineEdit*>(widget) && !part) ||
                                 (qobject_cast<QAbstractItemView*>(widget) && !part);
            // Buttons of Qt's own inside other widgets (the scroll bars' and the tab bar's arrows) are theirs.
            if (!control || widget->parent()->inherits("QTabBar") || widget->parent()->inherits("QScrollBar")) continue;
            ++controls;
            auto* button = qobject_cast<QAbstractButton*>(widget);
            const bool named = !widget->accessibleName().isEmpty() || qobject_cast<QTabBar*>(widget) != nullptr ||
                               (button != nullptr && !button->text().isEmpty());
            if (!named) faults << QStringLiteral("%1 has no accessible name").arg(QString::fromLatin1(widget->metaObject()->className()));
            if ((widget->focusPolicy() & Qt::TabFocus) == 0)
                faults << QStringLiteral("%1 \"%2\" cannot be reached with Tab")
                              .arg(QString::fromLatin1(widget->metaObject()->className()), widget->accessibleName());
        }
        QVERIFY(controls > 20);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
    }

    void shrinksToASmallScreen() {
        AppWindow app;
        app.window.resize(480, 360);
        QTest::qWait(100);
        const QSize smallest = app.window.minimumSizeHint();
        QVERIFY2(smallest.width() <= 640 && smallest.height() <= 480,
                 qPrintable(QStringLiteral("%1 x %2").arg(smallest.width()).arg(smallest.height())));
        QCOMPARE(app.window.size(), QSize(480, 360));
    }
};

TAVRO_APP_TEST_MAIN(MannersTest)
#include "manners_test.moc"
