#include "log/text_lines.h"
#include "log/traffic_log.h"

namespace tapline::log {

bool TrafficLog::LogHexDump(const char* block, std::int32_t length, std::int32_t start) {
  if (!File.IsOpen() && DetailLevel < 2) return true;  // nobody would see the dump
  if (start < 0) start = 0;
  if (start >= length) return true;
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
      if (!LogLine(line, DataLine, -1, HexDumpLineLength, 2)) return false;
    }
    return true;
  }

  char* text = record->Text();
  std::size_t used = FormatHexDump(text, bytes, length, start);
  text[used] = '\0';
  if (File.IsOpen()) File.WriteHexDump(text, used);
  if (DetailLevel >= 2) {
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;
    AppendLogRecord(head, tail, DataLine, static_cast<std::int32_t>(used), record);
    Enqueue(head, tail);
  } else {
    heap_.Free(record);
  }
  return true;
}

}  // namespace tapline::log
