// The traffic log of a relay run: every line is time-stamped, written to the log file at once and queued
// for the view through the display queue; received blocks are rendered as text lines and hex dump.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "log/log_file.h"
#include "log/log_record.h"
#include "log/log_view.h"
#include "log/request_processor.h"
#include "platform/event_loop.h"
#include "platform/heap.h"

namespace tapline::log {

class TrafficLog {
 public:
  TrafficLog(platform::Heap& heap, platform::EventLoop& loop);
  ~TrafficLog();  // abandons every worker and waits for it to end; the view is not touched again
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // 0 Low, 1 Medium, 2 High; anything above 2 acts as High.
  std::uint32_t DetailLevel = 2;
  // The relay run's log file (closed between runs).
  LogFile File;

  // The relay run's display queue: made by each start, finished by each stop.
  void CreateProcessor(LogView& view);
  RequestProcessor* Processor() { return processor_.get(); }
  void FinishProcessor();  // Finish, and forget it; it ends by itself once it has delivered everything
  bool DrainOneBatch();    // the answer to a failed allocation
  // No display queue exists any more and every finished one has delivered all it held.
  bool WorkersEnded();

  // Log operations; true when the line was queued or not meant for the view.
  bool LogLine(const char* text, Colour colour, std::int32_t socket, std::int32_t length, std::uint32_t minimumDetail);
  bool LogMessage(const char* text) { return LogLine(text, MessageLine, -1, -1, 0); }
  bool LogMessage(std::int32_t socket, const char* text) { return LogLine(text, MessageLine, socket, -1, 0); }
  bool LogInform(const char* text) { return LogLine(text, InformLine, -1, -1, 0); }
  bool LogInform(std::int32_t socket, const char* text) { return LogLine(text, InformLine, socket, -1, 0); }
  bool LogError(const char* text) { return LogLine(text, ErrorLine, -1, -1, 0); }

  // A received block: header line, the chain's text lines (taken over), and the hex dump of the bytes
  // from `textBytes` on.
  void LogData(std::int32_t clientSocket, LogRecord*& head, std::int32_t textBytes, bool incomplete,
               const char* direction, std::int32_t blockLength, const char* block, LogRecord*& tail);
  // Dumps the block from `start` on; false when a line could not be queued (the rest is dropped).
  bool LogHexDump(const char* block, std::int32_t length, std::int32_t start);

  platform::Heap& Heap() { return heap_; }

  // The clock behind the time stamps (tests fix it).
  using Clock = std::chrono::system_clock::time_point (*)();
  void SetClock(Clock clock) { clock_ = clock; }

 private:
  void Enqueue(LogRecord* head, LogRecord* tail);
  std::size_t FormatPrefix(char* out, std::size_t size, std::int32_t socket);
  void ReapEnded();

  platform::Heap& heap_;
  platform::EventLoop& loop_;
  std::unique_ptr<RequestProcessor> processor_;
  std::vector<std::unique_ptr<RequestProcessor>> finishing_;  // finished, still delivering
  Clock clock_ = &std::chrono::system_clock::now;
  // The date and time up to the seconds change once a second; they are formatted once for all lines.
  std::int64_t cachedSecond_ = -1;
  char cachedStamp_[64] = {};
  std::size_t cachedStampLength_ = 0;
};

}  // namespace tapline::log
