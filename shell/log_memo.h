// The log view Memo1: read-only, coloured, fixed-pitch text that counts itself as the size limit does
// (line breaks as CR LF), drops its first lines cheaply and keeps the loop turning under large batches.
// Main thread only (Qt widgets).
#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace tapline::shell {

class LogMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogMemo(QWidget* parent = nullptr);

  // Characters of the whole text, each line break counted as two (CR LF). Kept as a running count; it
  // includes text that is still waiting to be laid into the document (see AppendColoured).
  std::int64_t TextLength() const { return shownLength_ + waitingLength_; }

  // Adds `text` at the end in `colour` (0x00BBGGRR) and puts the caret at the end, dropping any
  // selection. Line breaks (CR LF, or a lone CR or LF) become line breaks of the view. A large text is
  // laid into the document in slices, one per turn of the message loop, since a document insertion
  // costs tens of milliseconds per megabyte; until then it waits, counted and trimmable, in memory.
  void AppendColoured(const char* text, std::size_t length, std::uint32_t colour);

  // Removes the first line with its line break; with wrapping on, the first displayed row.
  void DeleteFirstLine();

  // Empties the view, waiting text included.
  void ClearAll();

  // Word wrap on or off; the caret stays where it was (the selection is dropped).
  void SetWrap(bool on);
  bool Wrap() const { return lineWrapMode() != QPlainTextEdit::NoWrap; }

  // Scrolls the caret into sight, now and after each slice of waiting text laid in from now on.
  void ScrollCaretIntoView();

  // The whole text, lines separated by "\n" (lays in what waits first).
  QString Text();
  // Characters the caret's selection spans, and characters of the whole text, both counting a line
  // break as one, so that the two can be compared (Select All is pointless when they are equal).
  int SelectionLength();
  int CharacterCount();
  // Select All over the whole text (lays in what waits first).
  void SelectAllText();
  // Lays everything that waits into the document now.
  void ShowWaiting();
  bool Waiting() const { return !waiting_.empty(); }

  // Applies the line removals that DeleteFirstLine has noted. They are collected so that trimming many
  // lines before one insertion costs one edit of the document instead of one per line; every other
  // operation applies them first, so nobody ever sees the view in between.
  void ApplyPendingRemoval();

  // The filter over what the view holds: every line, every line but the data lines (the received
  // blocks' text lines and hex dumps), or only the lines of the connection whose client socket has the
  // given number (its time-stamped lines and the data lines that follow them). Lines that arrive while a
  // filter is on are filtered as they are laid in; with none on, insertion costs nothing more.
  enum class LineFilter { All, NoData, Connection };
  void SetFilter(LineFilter filter, int socket = -1);
  LineFilter Filter() const { return filter_; }
  int FilterSocket() const { return filterSocket_; }
  // Puts the caret on a match found in the document and scrolls it into sight.
  void SelectMatch(const QTextCursor& match);

 protected:
  bool event(QEvent* e) override;
  bool viewportEvent(QEvent* e) override;

 private:
  struct Part {
    QByteArray text;  // as given: 8-bit characters, line breaks as CR LF, CR or LF
    std::uint32_t colour;
    qsizetype start;  // what lies before it has been laid in or trimmed
  };

  void ShowSlice(qsizetype budget);
  void Insert(const QString& text, std::uint32_t colour);
  void MoveCaret(int position);
  // Sets the visibility of the blocks from `from` on; `owner` is the socket of the lines before it.
  void FilterBlocks(int fromBlock);

  std::int64_t shownLength_ = 0;    // TextLength of the document, less the removals noted
  std::int64_t waitingLength_ = 0;  // TextLength of the waiting parts
  qsizetype waitingCharacters_ = 0;  // the same, counting a line break as one
  std::deque<Part> waiting_;
  int removeTo_ = 0;  // document position up to which the text is to be removed
  bool follow_ = false;  // scroll to the caret after each slice
  LineFilter filter_ = LineFilter::All;
  int filterSocket_ = -1;
  int filterOwner_ = -1;  // socket of the last time-stamped line filtered
  QTimer sliceTimer_;
};

}  // namespace tapline::shell
