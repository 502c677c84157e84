#include "MainWindow.h"

#include "CalibrationPage.h"
#include "DaemonPage.h"
#include "KeysPage.h"
#include "LivePage.h"
#include "PointingPage.h"
#include "ReceiverPage.h"

#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

namespace tavro::control {

MainWindow::MainWindow(RecordReader* reader, QWidget* parent) : QMainWindow(parent), reader_(reader) {
    setWindowTitle(tr("Tavro Control"));
    setWindowIcon(AppIcon());
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    note_ = new QLabel(central);
    note_->setWordWrap(true);
    note_->setAccessibleName(tr("Demo"));
    note_->setStyleSheet(QStringLiteral("QLabel { background: #dbe8f7; color: #1d3557; padding: 6px; border-radius: 4px; }"));
    note_->hide();
    problem_ = new QLabel(central);
    problem_->setWordWrap(true);
    problem_->setAccessibleName(tr("Problem"));
    problem_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problem_->setStyleSheet(QStringLiteral("QLabel { background: #f9e0dc; color: #7b1f14; padding: 6px; border-radius: 4px; font-weight: bold; }"));
    problem_->hide();
    tabs_ = new QTabWidget(central);
    tabs_->setDocumentMode(true);
    live_ = new LivePage(reader, tabs_);
    pointing_ = new PointingPage(reader, tabs_);
    daemon_ = new DaemonPage(reader, tabs_);
    keys_ = new KeysPage(reader, tabs_);
    receiver_ = new ReceiverPage(reader, tabs_);
    calibration_ = new CalibrationPage(reader, tabs_);
    // Every page scrolls when the window is smaller than it can shrink to.
    auto scrolled = [this](QWidget* page) {
        auto* scroll = new QScrollArea(tabs_);
        scroll->setWidget(page);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        return scroll;
    };
    tabs_->addTab(scrolled(live_), tr("&Handsets"));
    tabs_->addTab(scrolled(pointing_), tr("&Pointing"));
    tabs_->addTab(scrolled(calibration_), tr("&Calibration"));
    tabs_->addTab(scrolled(keys_), tr("&Keys"));
    tabs_->addTab(scrolled(receiver_), tr("&Receiver"));
    tabs_->addTab(scrolled(daemon_), tr("&Daemon"));
    tabs_->setAccessibleName(tr("Pages"));
    layout->addWidget(note_);
    layout->addWidget(problem_);
    layout->addWidget(tabs_, 1);
    setCentralWidget(central);
    // Ctrl+1, Ctrl+2, ... reach the pages from anywhere.
    for (int page = 0; page < tabs_->count(); ++page) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | (Qt::Key_1 + page)), this);
        connect(shortcut, &QShortcut::activated, this, [this, page] { tabs_->setCurrentIndex(page); });
    }
    auto* quit = new QShortcut(QKeySequence::Quit, this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);
    connect(reader_, &RecordReader::updated, this, &MainWindow::refresh);
    resize(1100, 760);
}

QStringList MainWindow::PageNames() {
    return {QStringLiteral("handsets"), QStringLiteral("pointing"), QStringLiteral("calibration"),
            QStringLiteral("keys"), QStringLiteral("receiver"), QStringLiteral("daemon")};
}

bool MainWindow::showPage(const QString& name) {
    const int index = PageNames().indexOf(name);
    if (index < 0) return false;
    tabs_->setCurrentIndex(index);
    return true;
}

void MainWindow::setNote(const QString& text) {
    note_->setText(text);
    note_->setVisible(!text.isEmpty());
}

QString MainWindow::problemLine() const { return problem_->isVisible() ? problem_->text() : QString(); }

void MainWindow::refresh() {
    const QString text = reader_->state().problemText;
    if (problem_->text() != text) problem_->setText(text);
    problem_->setVisible(!text.isEmpty());
}

QIcon AppIcon() {
    // The installed icon when the desktop's theme has it; else the same
    // picture drawn: a screen with an aim point and its trail.
    QIcon themed = QIcon::fromTheme(QStringLiteral("com.quorvel.TavroControl"));
    if (!themed.isNull()) return themed;
    QIcon icon;
    for (int side : {16, 32, 64, 128}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(side / 128.0, side / 128.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x22, 0x2e, 0x44));
        p.drawRoundedRect(QRectF(8, 14, 112, 76), 8, 8);
        p.setBrush(QColor(0x5d, 0x6b, 0x80));
        p.drawRect(QRectF(52, 90, 24, 10));
        p.drawRoundedRect(QRectF(36, 100, 56, 6), 3, 3);
        const QColor aim(0xf5, 0xa6, 0x23);
        const QPointF trail[] = {{30, 66}, {42, 56}, {56, 48}};
        for (int i = 0; i < 3; ++i) {
            QColor c = aim;
            c.setAlphaF(0.35 + 0.2 * i);
            p.setBrush(c);
            p.drawEllipse(trail[i], 3 + i, 3 + i);
        }
        p.setBrush(aim);
        p.drawEllipse(QPointF(74, 44), 4, 4);
        p.setPen(QPen(aim, 3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(74, 44), 9, 9);
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace tavro::control
