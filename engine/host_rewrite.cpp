// The Host line of an HTTP/1.x request is replaced by one naming the remote host and port as entered;
// the header lines of the answer to such a request are shown as text even when its body is not.
#include <cstring>
#include <string>

#include "engine/host_rewrite.h"

namespace tapline::engine {

namespace {

bool StartsWith(const log::LogRecord* record, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  return static_cast<std::size_t>(record->Length) >= n && std::memcmp(record->Text(), prefix, n) == 0;
}

// Bytes a line takes in the block: its characters (the record's text without the CR LF it always gets)
// and the line ending it really had there: CR LF, LF, a lone CR at the block's end, or none.
std::int32_t LineExtent(const char* block, std::int32_t n, std::int32_t at, const log::LogRecord* record,
                        int& ending) {
  std::int32_t end = at + record->Length - 2;
  ending = 0;
  if (end < n && block[end] == '\r') {
    ending = (end + 1 < n && block[end + 1] == '\n') ? 2 : 1;
  } else if (end < n && block[end] == '\n') {
    ending = 1;
  }
  return record->Length - 2 + ending;
}

}  // namespace

std::int32_t RewriteHostHeader(platform::Heap& heap, TransferBuffer& buffer, const std::string& hostText,
                               const std::string& portText, std::int32_t& httpRequestSeen, log::LogRecord*& head,
                               log::LogRecord*& tail, std::int32_t old, std::int32_t n) {
  std::int32_t firstLength = head->Length;
  if (firstLength < 10 || std::memcmp(head->Text() + firstLength - 10, "HTTP/1.", 7) != 0) {
    httpRequestSeen = 0;
    return n;
  }
  httpRequestSeen = 1;

  const char* block = buffer.Data + old;
  int ending = 0;
  std::int32_t at = LineExtent(block, n, 0, head, ending);
  log::LogRecord* host = nullptr;
  log::LogRecord* hostPrev = nullptr;
  std::int32_t hostAt = 0;
  int hostEnding = 0;
  bool proxy = false;
  for (log::LogRecord *prev = head, *r = head->Next; r != nullptr; prev = r, r = r->Next) {
    std::int32_t extent = LineExtent(block, n, at, r, ending);
    if (StartsWith(r, "Host: ")) {
      host = r;
      hostPrev = prev;
      hostAt = at;
      hostEnding = ending;
    } else if (StartsWith(r, "Proxy-Connection: ")) {
      proxy = true;
    }
    at += extent;
  }
  if (host == nullptr || proxy) return n;
  // Only a line ended by CR LF is replaced; any other line is forwarded and shown as it was sent.
  if (hostEnding != 2) return n;

  std::string line = "Host: " + hostText + ":" + portText + "\r\n";
  std::int32_t newLength = static_cast<std::int32_t>(line.size());
  std::int32_t oldLength = host->Length;
  std::int32_t diff = newLength - oldLength;

  auto* record = static_cast<log::LogRecord*>(heap.AllocateOrDrain(log::LogRecordBytes(line.size())));
  if (record == nullptr) return -2;
  // The waiting bytes must never run past the block: make room first, and treat no room as no memory.
  if (buffer.Length + diff > buffer.Capacity) {
    std::int32_t want = (buffer.Length + diff) / 4096 * 4096 + 4096;
    ResizeBuffer(heap, buffer, want);
    if (buffer.Length + diff > buffer.Capacity) {
      heap.Free(record);
      return -2;
    }
  }
  std::memcpy(record->Text(), line.c_str(), line.size() + 1);
  record->Colour = log::RewrittenHostLine;
  record->Length = newLength;
  record->Next = host->Next;
  hostPrev->Next = record;
  if (tail == host) tail = record;
  heap.Free(host);

  // Replace the line at its own place in the block (the data may have moved while growing).
  char* lineStart = buffer.Data + old + hostAt;
  char* after = lineStart + oldLength;
  std::size_t rest = static_cast<std::size_t>(buffer.Data + buffer.Length - after);
  std::memmove(lineStart + newLength, after, rest);
  std::memcpy(lineStart, line.data(), line.size());
  buffer.Length += diff;
  return n + diff;
}

std::int32_t KeepResponseHeader(platform::Heap& heap, std::int32_t httpRequestSeen, log::LogRecord*& head,
                                log::LogRecord*& tail, const char* block, std::int32_t n, std::int32_t textLength) {
  if (httpRequestSeen != 1 || head == nullptr || !StartsWith(head, "HTTP/1.")) {
    log::FreeLogRecords(heap, head);
    tail = nullptr;
    return 0;
  }
  std::int32_t at = 0;
  int ending = 0;
  for (log::LogRecord* r = head; r != nullptr; r = r->Next) {
    at += LineExtent(block, n, at, r, ending);
    if (r->Length == 2) {
      log::LogRecord* rest = r->Next;
      r->Next = nullptr;
      tail = r;
      log::FreeLogRecords(heap, rest);
      return at;
    }
  }
  return textLength;
}

}  // namespace tapline::engine
