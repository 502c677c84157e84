#include "PageParts.h"

#include <QLabel>
#include <QPalette>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tavro::control {

QLabel* Description(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QLabel* OutcomeLine(const QString& accessibleName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAccessibleName(accessibleName);
    return label;
}

void StackPage(QWidget* page, QWidget* content, QLabel* daemonLine, QLabel* outcome) {
    auto* scroll = new QScrollArea(page);
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(daemonLine);
    layout->addWidget(scroll, 1);
    layout->addWidget(outcome);
}

}  // namespace tavro::control
