// The display queue: log records wait here until a worker thread has the main thread move them into the
// view, one batch per hand-over. Everything but the worker's own loop runs on the main thread.
#pragma once

#include <atomic>
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

  platform::Heap& heap_;
  platform::EventLoop& loop_;
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace tapline::log
