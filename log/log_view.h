// What the display queue needs from a log view (the window's Memo1, the terminal, a test double), and the
// two steps that feed it: ProcessLogBatch inserts one batch, TrimLogBuffer keeps the view within its size.
// A view is fed on the main thread (the worker hands its batches over).
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/log_record.h"
#include "platform/heap.h"

namespace tapline::log {

class LogView {
 public:
  virtual ~LogView() = default;
  // Characters to keep (32768, 131072, 524288, 2097152), or -1 for no limit.
  virtual std::int32_t BufferSize() const = 0;
  // Length of the view's whole text, each line break counted as CR LF.
  virtual std::int64_t TextLength() const = 0;
  // Removes the first line (the first displayed row when wrapping) with its line break.
  virtual void DeleteFirstLine() = 0;
  // Puts the caret at the end and inserts `text` (lines ending in CR LF) there in `colour`.
  virtual void InsertAtEnd(const char* text, std::size_t length, Colour colour) = 0;
  // ScrollLogToEnd: brings the caret into sight (once the window has been activated).
  virtual void ScrollToEnd() = 0;
  // The display queue has inserted all it will for now (one or more batches): a view that holds its
  // insertions back to write them together puts them out here.
  virtual void BatchesDone() {}
  // A view whose reader has fallen behind (a terminal that is not read) answers false: the display
  // queue then holds its lines back, and past its bound skips them, instead of handing them over.
  virtual bool Ready() const { return true; }
  // A view that must get every line (standard output to a regular file): past the bound the display
  // queue hands batches over at once, and so holds the relay back, rather than skip.
  virtual bool Lossless() const { return false; }
};

// Makes room for `incoming` characters and answers the view's text length afterwards.
std::int64_t TrimLogBuffer(LogView& view, std::int64_t incoming);

// Moves the longest run of same-coloured records at the queue's head into the view with one insertion,
// freeing them, and answers the bytes they held (LogRecordBytes of each). The queue must not be empty. A
// failed merge allocation cuts the batch short.
std::size_t ProcessLogBatch(LogView& view, platform::Heap& heap, LogRecord*& queueHead);

}  // namespace tapline::log
