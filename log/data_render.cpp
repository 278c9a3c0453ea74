// A received block in the log: its header line, its text lines, and the hex dump of what is not text.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/hex_dump.h"
#include "log/text_lines.h"
#include "log/traffic_log.h"

namespace tapline::log {

void TrafficLog::Data(const DataRead& event) {
  // At the lowest detail without a file nobody sees any of it: not even the header is formatted.
  if (!File.IsOpen() && DetailLevel < 1) return;
  static constexpr char kIncomplete[] = ", Incomplete last line";
  const char* direction = event.direction == Direction::ClientToServer ? "Client to Server" : "Server to Client";
  char header[96];
  int n = std::snprintf(header, sizeof header, "%d: %s (%d %s%s)", event.id, direction, event.length,
                        event.length == 1 ? "byte" : "bytes", event.incomplete ? kIncomplete : "");
  LogLine(header, MessageLine, -1, n < 0 ? 0 : n, 1);
  const Colour colour = event.direction == Direction::ClientToServer ? ClientDataLine : ServerDataLine;

  // The text lines are made only for whoever will see them: the file, or the view at the highest detail
  // while its queue takes lines (past its bound they are only counted).
  bool view = DetailLevel >= 2 && !ViewSkips();
  if (event.textBytes > 0 && (File.IsOpen() || view)) {
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;
    bool incomplete = false;
    if (SplitTextLines(heap_, event.bytes, event.textBytes, head, tail, incomplete, event.hostLine,
                       event.continued, colour) >= 0) {
      if (File.IsOpen()) {
        for (const LogRecord* r = head; r != nullptr; r = r->Next) {
          File.Write(r->Text(), static_cast<std::size_t>(r->Length), r->Colour);
        }
      }
      if (view) {
        Enqueue(head, tail);
      } else if (DetailLevel >= 2) {
        processor_->Skip(head);
      } else {
        FreeLogRecords(heap_, head);
      }
    }
  } else if (event.textBytes > 0 && DetailLevel >= 2 && processor_) {
    const char* end = event.bytes + event.textBytes;
    processor_->CountNotShown(std::count(event.bytes, end, '\n') + (end[-1] != '\n' ? 1 : 0));
  }

  if (event.textBytes != event.length) LogHexDump(event.bytes, event.length, event.textBytes, colour);
}

bool TrafficLog::LogHexDump(const char* block, std::int32_t length, std::int32_t start, Colour colour) {
  if (start < 0) start = 0;
  if (start >= length) return true;
  bool view = DetailLevel >= 2 && !ViewSkips();
  if (!File.IsOpen() && !view) {  // nobody would see the dump
    if (DetailLevel >= 2 && processor_) processor_->CountNotShown((length - start + 15) / 16);
    return true;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);

  // The whole dump goes into one record so that the view takes it with a single insertion.
  std::size_t characters = HexDumpBytes(length - start);
  auto* record = static_cast<LogRecord*>(heap_.AllocateOrDrain(LogRecordBytes(characters)));
  if (record == nullptr) {
    // Memory is short even after draining: one small record per line, through the ordinary log path.
    char line[HexDumpLineLength + 1];
    for (std::int64_t o = start; o < length; o += 16) {
      FormatHexDumpLine(line, bytes, length, static_cast<std::int32_t>(o));
      line[HexDumpLineLength] = '\0';
      if (!LogLine(line, colour, -1, HexDumpLineLength, 2)) return false;
    }
    return true;
  }

  char* text = record->Text();
  std::size_t used = FormatHexDump(text, bytes, length, start);
  text[used] = '\0';
  if (File.IsOpen()) File.WriteHexDump(text, used, colour);
  if (view) {
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;
    AppendLogRecord(head, tail, colour, static_cast<std::int32_t>(used), record);
    Enqueue(head, tail);
  } else {
    if (DetailLevel >= 2 && processor_) processor_->CountNotShown((length - start + 15) / 16);
    heap_.Free(record);
  }
  return true;
}

}  // namespace tapline::log
