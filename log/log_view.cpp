#include "log/log_view.h"

#include <cstring>

namespace tapline::log {

std::int64_t TrimLogBuffer(LogView& view, std::int64_t incoming) {
  std::int64_t length = view.TextLength();
  std::int32_t limit = view.BufferSize();
  if (limit < 0) return length;
  while (length > 0 && incoming + length > limit) {
    view.DeleteFirstLine();
    std::int64_t after = view.TextLength();
    if (after >= length) break;  // a view that cannot shrink further must not hold us here
    length = after;
  }
  return length;
}

std::size_t ProcessLogBatch(LogView& view, platform::Heap& heap, LogRecord*& queueHead) {
  LogRecord* head = queueHead;
  Colour colour = head->Colour;
  char* merged = nullptr;
  std::size_t count = 0;
  std::size_t freed = 0;
  if (head->Next != nullptr && head->Next->Colour == colour) {
    // The run is measured first and copied into one block: growing the block record by record copied
    // it over and over, which a queue of many short lines made quadratic. A batch stops at the cap; the
    // rest of the run is the next batch.
    constexpr std::size_t kBatchCap = std::size_t{1} << 20;
    std::size_t total = 0;
    LogRecord* end = head;
    while (end != nullptr && end->Colour == colour && (total == 0 || total + end->Length <= kBatchCap)) {
      total += static_cast<std::size_t>(end->Length);
      end = end->Next;
    }
    merged = end != head->Next ? static_cast<char*>(heap.Allocate(total + 1)) : nullptr;
    while (merged != nullptr && queueHead != end) {
      LogRecord* record = queueHead;
      std::size_t length = static_cast<std::size_t>(record->Length);
      std::memcpy(merged + count, record->Text(), length);
      count += length;
      queueHead = record->Next;
      freed += LogRecordBytes(length);
      heap.Free(record);
    }
    if (merged != nullptr) merged[count] = '\0';
  }
  if (merged != nullptr) {
    TrimLogBuffer(view, static_cast<std::int64_t>(count));
    view.InsertAtEnd(merged, count, colour);
    heap.Free(merged);
  } else {
    count = static_cast<std::size_t>(head->Length);
    TrimLogBuffer(view, static_cast<std::int64_t>(count));
    view.InsertAtEnd(head->Text(), count, colour);
    queueHead = head->Next;
    freed += LogRecordBytes(count);
    heap.Free(head);
  }
  view.ScrollToEnd();
  return freed;
}

}  // namespace tapline::log
