// A received block in the log: its header line, its text lines, and the hex dump of what is not text.
#include <cstdio>
#include <cstring>

#include "log/text_lines.h"
#include "log/traffic_log.h"

namespace tapline::log {

void TrafficLog::Data(const DataRead& event) {
  static constexpr char kIncomplete[] = ", Incomplete last line";
  const char* direction = event.direction == Direction::ClientToServer ? "Client to Server" : "Server to Client";
  char header[96];
  int n = std::snprintf(header, sizeof header, "%d: %s (%d bytes%s)", event.id, direction, event.length,
                        event.incomplete ? kIncomplete : "");
  LogLine(header, MessageLine, -1, n < 0 ? 0 : n, 1);

  // The text lines are made only for whoever will see them: the file, or the view at the highest detail.
  if (event.textBytes > 0 && (File.IsOpen() || DetailLevel >= 2)) {
    LogRecord* head = nullptr;
    LogRecord* tail = nullptr;
    bool incomplete = false;
    if (SplitTextLines(heap_, event.bytes, event.textBytes, head, tail, incomplete, event.hostLine) >= 0) {
      if (File.IsOpen()) {
        // A rewritten Host line is purple only in the view; the file shows every data line alike.
        for (const LogRecord* r = head; r != nullptr; r = r->Next) {
          File.Write(r->Text(), static_cast<std::size_t>(r->Length), DataLine);
        }
      }
      if (DetailLevel >= 2) {
        Enqueue(head, tail);
      } else {
        FreeLogRecords(heap_, head);
      }
    }
  }

  if (event.textBytes != event.length) LogHexDump(event.bytes, event.length, event.textBytes);
}

}  // namespace tapline::log
