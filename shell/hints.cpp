#include "shell/hints.h"

#include <QWidget>

namespace tapline::shell {

QString LongHint(const QString& hint) {
  qsizetype bar = hint.indexOf(u'|');
  return bar < 0 ? hint : hint.mid(bar + 1);
}

QString ShortHint(const QString& hint) {
  qsizetype bar = hint.indexOf(u'|');
  return bar < 0 ? hint : hint.left(bar);
}

void SetHint(QWidget* control, const QString& hint) {
  control->setToolTip(ShortHint(hint));
  control->setStatusTip(LongHint(hint));
}

}  // namespace tapline::shell
