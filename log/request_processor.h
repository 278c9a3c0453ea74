// The display queue: log records wait here until a worker thread has the main thread move them into the
// view, one batch per hand-over; bounded in bytes, past which lines are skipped and counted. Everything
// but the worker's own loop runs on the main thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "log/log_record.h"
#include "log/log_view.h"
#include "platform/auto_reset_event.h"
#include "platform/event_loop.h"
#include "platform/heap.h"

namespace tapline::log {

class RequestProcessor {
 public:
  // Starts the worker, which at once waits for the first wake-up.
  RequestProcessor(LogView& form, platform::Heap& heap, platform::EventLoop& loop);
  ~RequestProcessor();  // joins the worker; it must have ended (Ended) or be abandoned
  RequestProcessor(const RequestProcessor&) = delete;
  RequestProcessor& operator=(const RequestProcessor&) = delete;

  void Enqueue(LogRecord* head, LogRecord* tail);  // takes a non-empty chain

  // The bound: the view is a view, and a flood it cannot keep up with must not grow the queue. Once
  // `bytes` more would pass the bound, lines are skipped until the queue has drained to half of it; a
  // lossless view is fed at once instead, and so holds the caller back. Answers whether to enqueue.
  bool Admits(std::size_t bytes);
  bool Skipping() const { return skipping_ && queuedBytes_ >= bound_ / 2; }
  // Frees a chain that was not admitted and counts its lines as not shown.
  void Skip(LogRecord*& head);
  void CountNotShown(std::int64_t lines) { notShown_ += lines; }
  // Lines skipped since the last time, once lines are admitted again (0 otherwise), or with `atEnd`
  // whatever the queue holds; the count restarts.
  std::int64_t TakeNotShown(bool atEnd = false);
  std::int64_t NotShown() const { return notShown_; }
  std::size_t QueuedBytes() const { return queuedBytes_; }
  void SetBound(std::size_t bytes) { bound_ = bytes; }
  static constexpr std::size_t kDefaultBound = std::size_t{8} << 20;
  void Pause();
  void Resume();
  void Discard();  // frees every queued record
  void Finish();   // deliver what is queued, then end (also when nothing is queued)
  bool DrainOneBatch();  // one batch into the view now, whatever the pause; false when nothing is queued
  void DeliverStep();    // what the worker has the main thread run

  // The front end is going away: the view is never touched again and the worker ends without handing
  // over. The owner then waits for Ended, running hand-over calls meanwhile (EventLoop::RunHandOvers).
  void Abandon();
  bool Ended() const { return ended_.load(); }
  bool Empty() const { return QueueHead == nullptr; }
  bool Paused() const { return QueuePaused; }

 private:
  void Execute();

  static constexpr int kBatchesPerStep = 16;

  LogView* Form;
  LogRecord* QueueHead = nullptr;
  LogRecord* QueueTail = nullptr;
  platform::AutoResetEvent WakeEvent;
  bool StopRequested = false;
  bool QueuePaused = false;
  bool Done = false;  // written by DeliverStep while the worker waits for it
  bool MoreWaiting = false;  // likewise: the step left records queued and signalled for them
  bool ViewBusy = false;     // likewise: the view was not ready; the worker asks again a little later

  std::size_t queuedBytes_ = 0;  // LogRecordBytes of every queued record
  std::size_t bound_ = kDefaultBound;
  bool skipping_ = false;
  std::int64_t notShown_ = 0;
  std::size_t Deliver();  // one batch into the view; answers the bytes freed

  platform::Heap& heap_;
  platform::EventLoop& loop_;
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace tapline::log
