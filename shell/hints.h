// Hints in the form "short|long": the short part is a control's tooltip, the long part goes to the
// first status panel while the mouse rests on the control or a menu item is highlighted.
// Main thread only (Qt widgets).
#pragma once

#include <QString>

class QWidget;

namespace tapline::shell {

// The text after the first "|"; a hint without "|" is its own long part.
QString LongHint(const QString& hint);
// The text before the first "|"; a hint without "|" is its own short part.
QString ShortHint(const QString& hint);
// Sets a control's tooltip and status tip from one hint.
void SetHint(QWidget* control, const QString& hint);

}  // namespace tapline::shell
