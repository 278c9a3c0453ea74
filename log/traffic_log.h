// The traffic log of a relay run: every line is time-stamped, written to the log file at once and queued
// for the view through the display queue; received blocks are rendered as text lines and hex dump.
// Main thread only (the display queue's workers are its own).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "log/log_file.h"
#include "log/log_record.h"
#include "log/log_view.h"
#include "log/request_processor.h"
#include "log/traffic_sink.h"
#include "platform/event_loop.h"
#include "platform/heap.h"

namespace tapline::log {

class TrafficLog : public TrafficSink {
 public:
  TrafficLog(platform::Heap& heap, platform::EventLoop& loop);
  ~TrafficLog() override;  // abandons every worker and waits for it to end; the view is not touched again
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

  // As a traffic sink: a received block is its header line, its text lines and the hex dump of the rest;
  // the connection's other events have lines of the relay's own.
  void Opened(const ConnectionOpened&) override {}
  void ServerConnected(std::int32_t, const platform::Endpoint&, TimePoint) override {}
  void ConnectFailed(std::int32_t, const platform::Endpoint&, TimePoint) override {}
  void Data(const DataRead& event) override;
  void StreamEnded(std::int32_t, Direction, TimePoint) override {}
  void Closed(std::int32_t, bool, TimePoint) override {}
  // Lines of this turn reach the log file's descriptor. A failed write closes the file and says so once.
  void Flush() override;
  // Completes and closes the log file at the end of a run, saying so if that failed.
  void CloseFile();
  // A write of this run's log file failed: it holds less than the log said.
  bool FileIncomplete() const { return fileIncomplete_; }
  void ForgetFileFailure() { fileIncomplete_ = false; }
  // Dumps the block from `start` on in `colour`; false when a line could not be queued (the rest is dropped).
  bool LogHexDump(const char* block, std::int32_t length, std::int32_t start, Colour colour = DataLine);

  platform::Heap& Heap() { return heap_; }

  // The clock behind the time stamps and the traffic events (tests fix it).
  using Clock = std::chrono::system_clock::time_point (*)();
  void SetClock(Clock clock) { clock_ = clock; }
  TimePoint Now() const { return clock_(); }

 private:
  void Enqueue(LogRecord* head, LogRecord* tail);  // to the view, or skipped past the queue's bound
  void EnqueueNotShown(std::int64_t lines);        // the view's note of lines it skipped
  bool ViewSkips() const;                           // High detail lines would be skipped now
  void FileFailed(int error);
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
  bool fileIncomplete_ = false;
};

}  // namespace tapline::log
