#include "log/traffic_log.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <utility>

#include "log/format_count.h"

namespace tapline::log {

TrafficLog::TrafficLog(platform::Heap& heap, platform::EventLoop& loop) : heap_(heap), loop_(loop) {}

TrafficLog::~TrafficLog() {
  if (processor_) finishing_.push_back(std::move(processor_));
  for (auto& p : finishing_) p->Abandon();
  // A worker may be waiting for its hand-over; run those calls (they only note the end) until all are done.
  for (auto& p : finishing_) {
    while (!p->Ended()) {
      loop_.RunHandOvers();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  finishing_.clear();
  if (File.IsOpen()) File.Close();  // the front end is going; nobody is left to tell of a failure
}

void TrafficLog::ReapEnded() {
  for (auto it = finishing_.begin(); it != finishing_.end();) {
    if ((*it)->Ended()) {
      it = finishing_.erase(it);
    } else {
      ++it;
    }
  }
}

void TrafficLog::CreateProcessor(LogView& view) {
  ReapEnded();
  if (processor_) FinishProcessor();
  processor_ = std::make_unique<RequestProcessor>(view, heap_, loop_);
}

void TrafficLog::FinishProcessor() {
  if (!processor_) return;
  // Lines skipped near the end are still said, after what the queue holds.
  if (std::int64_t lines = processor_->TakeNotShown(true)) EnqueueNotShown(lines);
  processor_->Finish();
  finishing_.push_back(std::move(processor_));
  ReapEnded();
}

bool TrafficLog::WorkersEnded() {
  ReapEnded();
  return !processor_ && finishing_.empty();
}

bool TrafficLog::DrainOneBatch() {
  if (processor_ && processor_->DrainOneBatch()) return true;
  // Records of a finished run still waiting for their worker free memory just as well.
  for (auto& p : finishing_) {
    if (p->DrainOneBatch()) return true;
  }
  return false;
}

void TrafficLog::Enqueue(LogRecord* head, LogRecord* tail) {
  if (!processor_) {
    FreeLogRecords(heap_, head);  // no relay run, nobody to show it to
    return;
  }
  std::size_t bytes = 0;
  for (const LogRecord* r = head; r != nullptr; r = r->Next) bytes += LogRecordBytes(static_cast<std::size_t>(r->Length));
  if (!processor_->Admits(bytes)) {
    processor_->Skip(head);
    return;
  }
  if (std::int64_t lines = processor_->TakeNotShown()) EnqueueNotShown(lines);
  processor_->Enqueue(head, tail);
}

bool TrafficLog::ViewSkips() const {
  return DetailLevel >= 2 && processor_ && processor_->Skipping();
}

void TrafficLog::EnqueueNotShown(std::int64_t lines) {
  // Said in the view only: the log file holds every one of those lines.
  std::string text = FormatCount(lines) + (lines == 1 ? " line not shown" : " lines not shown");
  char prefix[96];
  std::size_t prefixLength = FormatPrefix(prefix, sizeof prefix, -1);
  text.insert(0, prefix, prefixLength);
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  if (NewLogRecord(heap_, head, tail, MessageLine, static_cast<std::int32_t>(text.size()), text.c_str())) {
    processor_->Enqueue(head, tail);
  }
}

std::size_t TrafficLog::FormatPrefix(char* out, std::size_t size, std::int32_t socket) {
  auto now = clock_();
  auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::int64_t second = sinceEpoch / 1000;
  int millis = static_cast<int>(sinceEpoch % 1000);
  if (millis < 0) {
    millis += 1000;
    --second;
  }
  if (second != cachedSecond_) {
    std::time_t t = static_cast<std::time_t>(second);
    std::tm local{};
    localtime_r(&t, &local);
    // The user's short date, then the 24-hour time to the second.
    cachedStampLength_ = std::strftime(cachedStamp_, sizeof cachedStamp_, "%x %H:%M:%S", &local);
    cachedSecond_ = second;
  }
  // "<stamp>.<millis>; " and for a connection's line "<socket>: " too, put together by hand: snprintf
  // was a good part of the cost of every line a short connection logs.
  char* p = out;
  char* end = out + size;
  if (cachedStampLength_ + 24 > size) return 0;  // never with the prefix buffers used here
  std::memcpy(p, cachedStamp_, cachedStampLength_);
  p += cachedStampLength_;
  *p++ = '.';
  *p++ = static_cast<char>('0' + millis / 100);
  *p++ = static_cast<char>('0' + millis / 10 % 10);
  *p++ = static_cast<char>('0' + millis % 10);
  *p++ = ';';
  *p++ = ' ';
  if (socket != -1) {
    p = std::to_chars(p, end, socket).ptr;
    *p++ = ':';
    *p++ = ' ';
  }
  return static_cast<std::size_t>(p - out);
}

bool TrafficLog::LogLine(const char* text, Colour colour, std::int32_t socket, std::int32_t length,
                         std::uint32_t minimumDetail) {
  // A line that neither the file nor the view will hold is not even formatted.
  if (!File.IsOpen() && minimumDetail > DetailLevel) return true;
  if (length < 0) length = static_cast<std::int32_t>(std::strlen(text));
  // The stamped line is put together on the stack, or for a long text in a block of the relay's heap, so
  // that a shortage of memory takes the drain-and-retry path like every other allocation of the log.
  char local[512];
  char* stamped = nullptr;
  if (!IsDataColour(colour)) {
    char prefix[96];
    std::size_t prefixLength = FormatPrefix(prefix, sizeof prefix, socket);
    std::size_t total = prefixLength + static_cast<std::size_t>(length);
    if (total <= sizeof local) {
      stamped = local;
    } else {
      stamped = static_cast<char*>(heap_.AllocateOrDrain(total));
      if (stamped == nullptr) return false;
    }
    std::memcpy(stamped, prefix, prefixLength);
    std::memcpy(stamped + prefixLength, text, static_cast<std::size_t>(length));
    text = stamped;
    length = static_cast<std::int32_t>(total);
  }
  struct FreeLater {
    platform::Heap& heap;
    char* block;
    ~FreeLater() { heap.Free(block); }
  } freeLater{heap_, stamped != local ? stamped : nullptr};
  if (File.IsOpen()) {
    File.Write(text, static_cast<std::size_t>(length), colour);
    File.Write("\r\n", 2, colour);
  }
  if (minimumDetail > DetailLevel) return true;
  LogRecord* head = nullptr;
  LogRecord* tail = nullptr;
  if (!NewLogRecord(heap_, head, tail, colour, length, text)) return false;
  Enqueue(head, tail);
  return true;
}

void TrafficLog::Flush() {
  // Once the view's queue has room again, the lines it skipped are said at once, not only when the
  // next line comes (after a flood there may be none for a long time).
  if (processor_) {
    if (std::int64_t lines = processor_->TakeNotShown()) EnqueueNotShown(lines);
  }
  if (!File.IsOpen()) return;
  if (int error = File.Flush()) FileFailed(error);
}

void TrafficLog::CloseFile() {
  if (!File.IsOpen()) return;
  if (int error = File.Close()) FileFailed(error);
}

void TrafficLog::FileFailed(int error) {
  // Lines lost to a failed write would leave a file that looks whole: it stops here, once, and says so;
  // the relay goes on without it.
  File.Abandon();
  fileIncomplete_ = true;
  LogInform("Could not write log file");
  LogInform(std::strerror(error));
}

}  // namespace tapline::log
