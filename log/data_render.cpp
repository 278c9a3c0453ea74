#include <cstdio>
#include <cstring>
#include <string>

#include "log/traffic_log.h"

namespace tapline::log {

void TrafficLog::LogData(std::int32_t clientSocket, LogRecord*& head, std::int32_t textBytes, bool incomplete,
                         const char* direction, std::int32_t blockLength, const char* block, LogRecord*& tail) {
  static constexpr char kIncomplete[] = ", Incomplete last line";
  std::string header;
  header.resize(std::strlen(direction) + 64);  // room for two numbers and the fixed words
  int n = std::snprintf(header.data(), header.size(), "%d: %s (%d bytes%s)", clientSocket, direction,
                        blockLength, incomplete ? kIncomplete : "");
  header.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  LogLine(header.c_str(), MessageLine, -1, static_cast<std::int32_t>(header.size()), 1);

  if (head != nullptr) {
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
    head = nullptr;
    tail = nullptr;
  }

  if (textBytes != blockLength) LogHexDump(block, blockLength, textBytes);
}

}  // namespace tapline::log
