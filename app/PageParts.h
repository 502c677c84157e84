// Small pieces every page of the app is made of, so that they look and
// read alike.
#ifndef TAVRO_CONTROL_PAGE_PARTS_H
#define TAVRO_CONTROL_PAGE_PARTS_H

#include <QString>

class QLabel;
class QWidget;

namespace tavro::control {

// A line that says what a control does, in the placeholder text's colour.
QLabel* Description(const QString& text, QWidget* parent);

// The line under a page that tells how the last change or request went;
// selectable, so that an error can be copied.
QLabel* OutcomeLine(const QString& accessibleName, QWidget* parent);

// Lays `page` out as the daemon's line above `content` (which scrolls when
// the page is smaller than it) and the outcome line below.
void StackPage(QWidget* page, QWidget* content, QLabel* daemonLine, QLabel* outcome);

}  // namespace tavro::control

#endif
