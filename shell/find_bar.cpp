#include "shell/find_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

#include "shell/log_memo.h"

namespace tapline::shell {

FindBar::FindBar(LogMemo* memo, QWidget* parent) : QWidget(parent), memo_(memo) {
  setObjectName(QStringLiteral("FindBar"));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 2, 0, 4);
  layout->setSpacing(4);

  // No Alt keys here: the window's own ones keep one target each.
  auto* label = new QLabel(QStringLiteral("Find:"), this);
  text_ = new QLineEdit(this);
  text_->setObjectName(QStringLiteral("FindText"));
  text_->setClearButtonEnabled(true);
  text_->setToolTip(QStringLiteral("Enter: next match; Shift+Enter: previous; Esc: close"));
  label->setBuddy(text_);
  previous_ = new QToolButton(this);
  previous_->setObjectName(QStringLiteral("FindPrevious"));
  previous_->setArrowType(Qt::UpArrow);
  previous_->setToolTip(QStringLiteral("Previous match (Shift+F3)"));
  next_ = new QToolButton(this);
  next_->setObjectName(QStringLiteral("FindNext"));
  next_->setArrowType(Qt::DownArrow);
  next_->setToolTip(QStringLiteral("Next match (F3)"));
  case_ = new QCheckBox(QStringLiteral("Case"), this);
  case_->setToolTip(QStringLiteral("Match case"));
  case_->setObjectName(QStringLiteral("FindCase"));
  count_ = new QLabel(this);
  count_->setObjectName(QStringLiteral("FindCount"));
  // The bar fits the window's design width at the fonts of today's desktops: the text takes what is
  // left, the others no more than they need.
  text_->setMinimumWidth(text_->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 10);
  count_->setMinimumWidth(count_->fontMetrics().horizontalAdvance(QStringLiteral("00 of 00")));
  count_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  filter_ = new QComboBox(this);
  filter_->setObjectName(QStringLiteral("FilterMode"));
  filter_->addItem(QStringLiteral("All lines"));
  filter_->addItem(QStringLiteral("No data"));
  filter_->addItem(QStringLiteral("Connection"));
  filter_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  filter_->setMinimumContentsLength(10);
  filter_->setToolTip(QStringLiteral(
      "Show every line, hide the data lines, or show only the lines of the connection whose number is "
      "given beside"));
  socket_ = new QSpinBox(this);
  socket_->setObjectName(QStringLiteral("FilterSocket"));
  socket_->setRange(1, 9999999);
  socket_->setFixedWidth(socket_->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 30);
  socket_->setEnabled(false);
  socket_->setToolTip(QStringLiteral("The connection's number, as the log lines show it"));
  close_ = new QToolButton(this);
  close_->setObjectName(QStringLiteral("FindClose"));
  close_->setText(QStringLiteral("\u00d7"));
  close_->setAutoRaise(true);
  close_->setToolTip(QStringLiteral("Close the find bar (Esc) and show every line"));

  layout->addWidget(label);
  layout->addWidget(text_, 1);
  layout->addWidget(previous_);
  layout->addWidget(next_);
  layout->addWidget(case_);
  layout->addWidget(count_, 1);
  layout->addSpacing(4);
  layout->addWidget(filter_);
  layout->addWidget(socket_);
  layout->addWidget(close_);

  connect(text_, &QLineEdit::textEdited, this, [this] {
    // Typing searches from the start of the current match, so that the match grows in place.
    QTextCursor from = memo_->textCursor();
    from.setPosition(from.selectionStart());
    memo_->setTextCursor(from);
    FindNext(false);
  });
  connect(text_, &QLineEdit::returnPressed, this, [this] {
    FindNext((QApplication::keyboardModifiers() & Qt::ShiftModifier) != 0);
  });
  connect(next_, &QToolButton::clicked, this, [this] { FindNext(false); });
  connect(previous_, &QToolButton::clicked, this, [this] { FindNext(true); });
  connect(case_, &QCheckBox::toggled, this, [this] { UpdateCount(memo_->textCursor()); });
  connect(filter_, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
  connect(socket_, &QSpinBox::valueChanged, this, [this] { ApplyFilter(); });
  connect(close_, &QToolButton::clicked, this, &FindBar::Close);
}

void FindBar::Open() {
  show();
  text_->setFocus(Qt::ShortcutFocusReason);
  text_->selectAll();
  UpdateCount(memo_->textCursor());
}

void FindBar::Close() {
  filter_->setCurrentIndex(0);
  hide();
  memo_->setFocus(Qt::OtherFocusReason);
}

void FindBar::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    Close();
    return;
  }
  QWidget::keyPressEvent(e);
}

QTextCursor FindBar::FindShown(const QTextCursor& from, bool backward) const {
  QTextDocument::FindFlags flags;
  if (case_->isChecked()) flags |= QTextDocument::FindCaseSensitively;
  if (backward) flags |= QTextDocument::FindBackward;
  QTextCursor at = from;
  for (;;) {
    QTextCursor found = memo_->document()->find(text_->text(), at, flags);
    if (found.isNull() || found.block().isVisible()) return found;
    at = found;  // a match in a hidden line: go on past it
  }
}

void FindBar::FindNext(bool backward) {
  if (text_->text().isEmpty()) {
    Open();
    return;
  }
  if (!isVisible()) show();
  memo_->ShowWaiting();
  memo_->ApplyPendingRemoval();
  QTextCursor found = FindShown(memo_->textCursor(), backward);
  bool wrapped = false;
  if (found.isNull()) {
    QTextCursor edge(memo_->document());
    edge.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
    found = FindShown(edge, backward);
    wrapped = !found.isNull();
  }
  if (!found.isNull()) memo_->SelectMatch(found);
  UpdateCount(found);
  if (wrapped) count_->setText(count_->text() + QStringLiteral(", wrapped"));
}

void FindBar::UpdateCount(const QTextCursor& current) {
  const QString needle = text_->text();
  if (needle.isEmpty()) {
    count_->clear();
    return;
  }
  const Qt::CaseSensitivity cs = case_->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
  // Matches in the shown lines (a match does not span lines in the view), and which one is current.
  qsizetype total = 0;
  qsizetype index = 0;
  const int at = current.isNull() ? -1 : current.selectionStart();
  for (QTextBlock block = memo_->document()->begin(); block.isValid(); block = block.next()) {
    if (!block.isVisible()) continue;
    const QString text = block.text();
    for (qsizetype i = text.indexOf(needle, 0, cs); i >= 0; i = text.indexOf(needle, i + needle.size(), cs)) {
      ++total;
      if (block.position() + i == at) index = total;
    }
  }
  if (total == 0) {
    count_->setText(QStringLiteral("No matches"));
  } else if (index > 0) {
    count_->setText(QStringLiteral("%1 of %2").arg(index).arg(total));
  } else {
    count_->setText(total == 1 ? QStringLiteral("1 match") : QStringLiteral("%1 matches").arg(total));
  }
}

QString FindBar::CountText() const { return count_->text(); }

void FindBar::ApplyFilter() {
  const int mode = filter_->currentIndex();
  socket_->setEnabled(mode == 2);
  memo_->SetFilter(mode == 1   ? LogMemo::LineFilter::NoData
                   : mode == 2 ? LogMemo::LineFilter::Connection
                               : LogMemo::LineFilter::All,
                   socket_->value());
  if (!text_->text().isEmpty()) UpdateCount(memo_->textCursor());
}

}  // namespace tapline::shell
