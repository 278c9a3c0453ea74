#include "shell/log_memo.h"

#include <QAbstractTextDocumentLayout>
#include <QFont>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextLayout>
#include <limits>

#include "log/log_record.h"

namespace tapline::shell {

namespace {

// Characters laid into the document at once: about 10 ms of work, so the loop keeps turning.
constexpr qsizetype SliceCharacters = 128 * 1024;

// Whether the text holds any byte of a UTF-8 sequence (the rest is ASCII, one character a byte).
bool AnyHighByte(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  }
  return false;
}

// What the bytes of a text that is not all ASCII add to or take from its count of characters once decoded.
qsizetype DecodedDifference(const char* text, std::size_t length) {
  if (!AnyHighByte(text, length)) return 0;
  return QString::fromUtf8(text, static_cast<qsizetype>(length)).size() - static_cast<qsizetype>(length);
}

// The text with every line break (CR LF, lone CR, lone LF) as "\n", and its length as the limit counts
// it: each line break as two. Data lines are UTF-8 (a character cut by the end of a read shows as U+FFFD).
QString WithLineBreaks(const char* text, std::size_t length, std::int64_t& counted) {
  QString out(static_cast<qsizetype>(length), Qt::Uninitialized);
  QChar* to = out.data();
  qsizetype n = 0;
  qsizetype breaks = 0;
  bool high = false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < length && text[i + 1] == '\n') ++i;
      to[n++] = u'\n';
      ++breaks;
    } else {
      high = high || static_cast<unsigned char>(c) >= 0x80;
      to[n++] = QChar(static_cast<unsigned char>(c));
    }
  }
  out.truncate(n);
  if (high) {
    // Decoded apart from the line breaks, which are ASCII and so never inside a sequence.
    QByteArray bytes(static_cast<qsizetype>(n), Qt::Uninitialized);
    for (qsizetype k = 0; k < n; ++k) bytes[k] = static_cast<char>(out.at(k).unicode());
    out = QString::fromUtf8(bytes);
    n = out.size();
  }
  counted = n + breaks;
  return out;
}

// How the view will count a text: its characters with each line break as two (`counted`) and with each
// line break as one (`characters`).
void Measure(const char* text, std::size_t length, std::int64_t& counted, qsizetype& characters) {
  qsizetype pairs = 0;
  qsizetype lone = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\r') {
      if (i + 1 < length && text[i + 1] == '\n') {
        ++pairs;
        ++i;
      } else {
        ++lone;
      }
    } else if (text[i] == '\n') {
      ++lone;
    }
  }
  const qsizetype decoded = DecodedDifference(text, length);
  counted = static_cast<std::int64_t>(length) + lone + decoded;
  characters = static_cast<qsizetype>(length) - pairs + decoded;
}

// Where the first line of `text` from `start` ends, past its line break; `broken` tells whether it had one.
qsizetype LineEnd(const QByteArray& text, qsizetype start, bool& broken) {
  const char* data = text.constData();
  const qsizetype size = text.size();
  for (qsizetype i = start; i < size; ++i) {
    if (data[i] == '\n') {
      broken = true;
      return i + 1;
    }
    if (data[i] == '\r') {
      broken = true;
      return i + 1 < size && data[i + 1] == '\n' ? i + 2 : i + 1;
    }
  }
  broken = false;
  return size;
}

// The client socket a time-stamped line names ("<date> <time>.<ms>; <socket>: <text>"), or -1.
int SocketOfLine(const QString& line) {
  qsizetype at = line.indexOf(QStringLiteral("; "));
  if (at < 0) return -1;
  at += 2;
  int socket = 0;
  qsizetype digits = 0;
  while (at < line.size() && line.at(at).isDigit() && digits < 9) {
    socket = socket * 10 + line.at(at).digitValue();
    ++at;
    ++digits;
  }
  if (digits == 0 || at + 1 >= line.size() || line.at(at) != u':' || line.at(at + 1) != u' ') return -1;
  return socket;
}

// Data lines (received text and hex dumps of either direction, a rewritten Host line) have colours of their
// own; every other colour is a time-stamped line.
bool IsDataBlock(const QTextBlock& block) {
  QTextBlock::iterator it = block.begin();
  const QTextCharFormat format = it.atEnd() ? block.charFormat() : it.fragment().charFormat();
  const QRgb colour = format.foreground().color().rgb() & 0xFFFFFF;
  return log::IsDataColour(colour);
}

}  // namespace

LogMemo::LogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  QFont font(QStringLiteral("Courier New"));
  font.setPointSize(10);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  setFont(font);
  setReadOnly(true);
  // Read-only, but the caret can still be moved and text selected with the keyboard, as in an edit.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // The view can hold megabytes of log; an undo history of it would only cost memory.
  setUndoRedoEnabled(false);
  sliceTimer_.setSingleShot(true);
  sliceTimer_.setInterval(0);
  connect(&sliceTimer_, &QTimer::timeout, this, [this] { ShowSlice(SliceCharacters); });
}

bool LogMemo::event(QEvent* e) {
  ApplyPendingRemoval();
  return QPlainTextEdit::event(e);
}

bool LogMemo::viewportEvent(QEvent* e) {
  ApplyPendingRemoval();
  return QPlainTextEdit::viewportEvent(e);
}

void LogMemo::ApplyPendingRemoval() {
  if (removeTo_ == 0) return;
  QTextCursor cursor(document());
  cursor.setPosition(removeTo_, QTextCursor::KeepAnchor);
  removeTo_ = 0;
  cursor.removeSelectedText();
}

void LogMemo::AppendColoured(const char* text, std::size_t length, std::uint32_t colour) {
  if (length == 0) return;
  if (waiting_.empty() && static_cast<qsizetype>(length) <= SliceCharacters) {
    std::int64_t counted = 0;
    Insert(WithLineBreaks(text, length, counted), colour);
    shownLength_ += counted;
    return;
  }
  // Kept as it came; only what is laid in is ever converted, and much of a flood is trimmed before.
  std::int64_t counted = 0;
  qsizetype characters = 0;
  Measure(text, length, counted, characters);
  waiting_.push_back(Part{QByteArray(text, static_cast<qsizetype>(length)), colour, 0});
  waitingLength_ += counted;
  waitingCharacters_ += characters;
  if (!sliceTimer_.isActive()) sliceTimer_.start();
}

void LogMemo::Insert(const QString& text, std::uint32_t colour) {
  ApplyPendingRemoval();
  QTextCharFormat format;
  format.setForeground(QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  // Without a filter nothing more is done here than before.
  const int firstNew = filter_ != LineFilter::All ? end.blockNumber() : 0;
  end.insertText(text, format);
  if (filter_ != LineFilter::All) FilterBlocks(firstNew);
  // A caret that sat at the end has moved along with the text; any other caret or selection is moved
  // there now. Whether the view follows is ScrollCaretIntoView's business.
  QTextCursor caret = textCursor();
  if (caret.hasSelection() || caret.position() != end.position()) MoveCaret(end.position());
}

void LogMemo::ShowSlice(qsizetype budget) {
  while (!waiting_.empty() && budget > 0) {
    Part& part = waiting_.front();
    qsizetype left = part.text.size() - part.start;
    qsizetype take = left;
    if (left > budget) {
      // Whole lines where possible, so that a slice ends where a line does (never inside a CR LF).
      qsizetype cut = part.text.lastIndexOf('\n', part.start + budget - 1);
      take = cut >= part.start ? cut + 1 - part.start : budget;
      if (cut < part.start && part.text.at(part.start + take - 1) == '\r') ++take;
      // Never inside a UTF-8 character, so that each slice decodes to what the whole was counted as.
      while (cut < part.start && take > 1 && part.start + take < part.text.size() &&
             (static_cast<unsigned char>(part.text.at(part.start + take)) & 0xC0) == 0x80) {
        --take;
      }
    }
    std::int64_t counted = 0;
    QString piece = WithLineBreaks(part.text.constData() + part.start, static_cast<std::size_t>(take), counted);
    const std::uint32_t colour = part.colour;
    part.start += take;
    if (part.start >= part.text.size()) waiting_.pop_front();
    waitingLength_ -= counted;
    waitingCharacters_ -= piece.size();
    shownLength_ += counted;
    budget -= take;
    Insert(piece, colour);
  }
  if (follow_) ensureCursorVisible();
  if (!waiting_.empty() && !sliceTimer_.isActive()) sliceTimer_.start();
}

void LogMemo::ShowWaiting() {
  sliceTimer_.stop();
  ShowSlice(std::numeric_limits<qsizetype>::max());
}

void LogMemo::DeleteFirstLine() {
  if (shownLength_ > 0) {
    QTextBlock block = document()->findBlock(removeTo_);
    if (!block.isValid()) return;
    int offset = removeTo_ - block.position();
    int textLength = block.length() - 1;  // without its line break
    if (Wrap()) {
      // Rows after the first one wrap the same whether or not the rows before them are still there,
      // so the rows of the block as laid out now tell where the next displayed row ends.
      document()->documentLayout()->blockBoundingRect(block);  // lays the block out if it is not yet
      QTextLine row = block.layout()->lineForTextPosition(offset);
      if (row.isValid()) {
        int rowEnd = row.textStart() + row.textLength();
        if (rowEnd > offset && rowEnd < textLength) {
          shownLength_ -= rowEnd - offset;
          removeTo_ += rowEnd - offset;
          return;
        }
      }
    }
    if (block.next().isValid()) {
      shownLength_ -= (textLength - offset) + 2;
      removeTo_ = block.next().position();
    } else {
      shownLength_ -= textLength - offset;
      removeTo_ = block.position() + textLength;
    }
    return;
  }
  // Then the text still waiting: whole lines, since it has not been laid out in rows yet.
  if (waiting_.empty()) return;
  Part& part = waiting_.front();
  bool broken = false;
  qsizetype end = LineEnd(part.text, part.start, broken);
  std::int64_t counted = 0;
  qsizetype characters = 0;
  Measure(part.text.constData() + part.start, static_cast<std::size_t>(end - part.start), counted, characters);
  waitingLength_ -= counted;
  waitingCharacters_ -= characters;
  part.start = end;
  if (part.start >= part.text.size()) waiting_.pop_front();
  if (waiting_.empty()) sliceTimer_.stop();
}

void LogMemo::SetFilter(LineFilter filter, int socket) {
  ShowWaiting();
  ApplyPendingRemoval();
  filter_ = filter;
  filterSocket_ = filter == LineFilter::Connection ? socket : -1;
  filterOwner_ = -1;
  FilterBlocks(0);
  ensureCursorVisible();
}

void LogMemo::FilterBlocks(int fromBlock) {
  QTextBlock block = document()->findBlockByNumber(fromBlock);
  if (!block.isValid()) return;
  const int start = block.position();
  for (; block.isValid(); block = block.next()) {
    bool shown = true;
    if (filter_ != LineFilter::All) {
      const QString text = block.text();
      // An empty line belongs with what is before it; the one after the last line break, which holds
      // the caret, is always shown.
      const bool data = text.isEmpty() || IsDataBlock(block);
      if (!data) filterOwner_ = SocketOfLine(text);
      shown = filter_ == LineFilter::NoData ? !data : filterOwner_ == filterSocket_ && filterOwner_ >= 0;
      if (!block.next().isValid()) shown = true;
    }
    if (block.isVisible() != shown) block.setVisible(shown);
  }
  // The layout takes the new visibility into account for what changed.
  document()->markContentsDirty(start, document()->characterCount() - start);
  viewport()->update();
}

void LogMemo::SelectMatch(const QTextCursor& match) {
  ApplyPendingRemoval();
  setTextCursor(match);
  ensureCursorVisible();
}

void LogMemo::ClearAll() {
  sliceTimer_.stop();
  waiting_.clear();
  waitingLength_ = 0;
  waitingCharacters_ = 0;
  removeTo_ = 0;
  clear();
  shownLength_ = 0;
  filterOwner_ = -1;
}

void LogMemo::SetWrap(bool on) {
  ApplyPendingRemoval();
  int caret = textCursor().selectionStart();
  setLineWrapMode(on ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
  MoveCaret(caret);
}

void LogMemo::MoveCaret(int position) {
  // Setting the cursor scrolls it into sight; keep the scroll position, since scrolling is decided apart.
  QScrollBar* h = horizontalScrollBar();
  QScrollBar* v = verticalScrollBar();
  int hValue = h->value();
  int vValue = v->value();
  QTextCursor cursor(document());
  cursor.setPosition(position);
  setTextCursor(cursor);
  h->setValue(hValue);
  v->setValue(vValue);
}

void LogMemo::ScrollCaretIntoView() {
  follow_ = true;
  ApplyPendingRemoval();
  ensureCursorVisible();
}

QString LogMemo::Text() {
  ShowWaiting();
  ApplyPendingRemoval();
  return toPlainText();
}

int LogMemo::SelectionLength() {
  ApplyPendingRemoval();
  QTextCursor caret = textCursor();
  return caret.selectionEnd() - caret.selectionStart();
}

int LogMemo::CharacterCount() {
  ApplyPendingRemoval();
  // The document's final paragraph mark is no character.
  return document()->characterCount() - 1 + static_cast<int>(waitingCharacters_);
}

void LogMemo::SelectAllText() {
  ShowWaiting();
  selectAll();
}

}  // namespace tapline::shell
