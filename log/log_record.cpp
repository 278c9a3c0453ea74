#include "log/log_record.h"

#include <cstring>

namespace tapline::log {

bool NewLogRecord(platform::Heap& heap, LogRecord*& head, LogRecord*& tail, Colour colour, std::int32_t length,
                  const char* text) {
  auto* record = static_cast<LogRecord*>(heap.AllocateOrDrain(LogRecordBytes(static_cast<std::size_t>(length) + 2)));
  if (record == nullptr) return false;
  char* out = record->Text();
  if (length > 0) std::memcpy(out, text, static_cast<std::size_t>(length));
  out[length] = '\r';
  out[length + 1] = '\n';
  out[length + 2] = '\0';
  AppendLogRecord(head, tail, colour, length + 2, record);
  return true;
}

void AppendLogRecord(LogRecord*& head, LogRecord*& tail, Colour colour, std::int32_t length, LogRecord* record) {
  record->Next = nullptr;
  record->Colour = colour;
  record->Length = length;
  if (head == nullptr) {
    head = record;
  } else {
    tail->Next = record;
  }
  tail = record;
}

void FreeLogRecords(platform::Heap& heap, LogRecord*& head) {
  while (head != nullptr) {
    LogRecord* next = head->Next;
    heap.Free(head);
    head = next;
  }
}

}  // namespace tapline::log
