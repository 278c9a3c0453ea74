#include "log/request_processor.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <utility>

namespace tapline::log {

RequestProcessor::RequestProcessor(LogView& form, platform::Heap& heap, platform::EventLoop& loop)
    : Form(&form), heap_(heap), loop_(loop) {
  thread_ = std::thread([this] { Execute(); });
}

RequestProcessor::~RequestProcessor() {
  if (thread_.joinable()) thread_.join();
  FreeLogRecords(heap_, QueueHead);
}

void RequestProcessor::Execute() {
  for (;;) {
    WakeEvent.Wait();
    if (abandoned_.load()) break;
    // Woken by a first line after a quiet spell, give the lines of the next moment a chance to join it:
    // small blocks in quick succession then cost one hand-over and one insertion together instead of
    // one each, for a millisecond's delay on screen. A queue that is being worked off is not held up.
    if (ViewBusy) {
      // The view's reader is behind: ask again in a moment rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else if (!MoreWaiting) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!loop_.HandOver([this] { DeliverStep(); })) break;
    if (Done) break;  // written during the hand-over, which orders it before this read
  }
  ended_.store(true);
}

void RequestProcessor::Enqueue(LogRecord* head, LogRecord* tail) {
  for (const LogRecord* r = head; r != nullptr; r = r->Next) {
    queuedBytes_ += LogRecordBytes(static_cast<std::size_t>(r->Length));
  }
  if (QueueHead != nullptr) {
    QueueTail->Next = head;
    QueueTail = tail;
    return;  // a wake-up is pending already, or the queue is paused
  }
  QueueHead = head;
  QueueTail = tail;
  if (!QueuePaused) WakeEvent.Set();
}

bool RequestProcessor::Admits(std::size_t bytes) {
  if (Form != nullptr && Form->Lossless()) {
    while (queuedBytes_ > 0 && queuedBytes_ + bytes > bound_ && DrainOneBatch()) {
    }
    return true;
  }
  if (skipping_) {
    if (queuedBytes_ >= bound_ / 2) return false;
    skipping_ = false;
  }
  // One record larger than the bound still goes to an empty queue: the bound is on what waits.
  if (queuedBytes_ > 0 && queuedBytes_ + bytes > bound_) {
    skipping_ = true;
    return false;
  }
  return true;
}

void RequestProcessor::Skip(LogRecord*& head) {
  for (const LogRecord* r = head; r != nullptr; r = r->Next) {
    const char* text = r->Text();
    notShown_ += std::count(text, text + r->Length, '\n');
  }
  FreeLogRecords(heap_, head);
}

std::int64_t RequestProcessor::TakeNotShown(bool atEnd) {
  if (Skipping() && !atEnd) return 0;
  skipping_ = false;
  return std::exchange(notShown_, 0);
}

std::size_t RequestProcessor::Deliver() {
  std::size_t freed = ProcessLogBatch(*Form, heap_, QueueHead);
  assert(freed <= queuedBytes_);
  queuedBytes_ -= freed;
  if (QueueHead == nullptr) queuedBytes_ = 0;
  return freed;
}

void RequestProcessor::Pause() { QueuePaused = true; }

void RequestProcessor::Resume() {
  QueuePaused = false;
  if (QueueHead != nullptr) WakeEvent.Set();
}

void RequestProcessor::Finish() {
  StopRequested = true;
  QueuePaused = false;
  // Signalled even with nothing queued, so that the worker learns it is to end.
  WakeEvent.Set();
}

void RequestProcessor::Discard() {
  FreeLogRecords(heap_, QueueHead);
  queuedBytes_ = 0;
  skipping_ = false;
  notShown_ = 0;  // what was skipped would not have been shown either
}

bool RequestProcessor::DrainOneBatch() {
  if (QueueHead == nullptr || Form == nullptr) return false;
  Deliver();
  Form->BatchesDone();
  return true;
}

void RequestProcessor::DeliverStep() {
  if (abandoned_.load() || Form == nullptr) {
    Done = true;
    return;
  }
  if (QueueHead == nullptr) {
    Done = StopRequested;
    return;
  }
  ViewBusy = !Form->Ready();
  if (ViewBusy) {
    if (!QueuePaused) WakeEvent.Set();
    return;
  }
  // Several batches per hand-over: a block logs a header and a dump, two batches, while the main thread
  // answers at most one hand-over per turn of its loop. With one batch a step, a flood of blocks left the
  // queue ever longer (hundreds of megabytes of dumps waiting); a short queue also lets each dump's
  // memory be used again for the next one. The bound keeps the view's own events coming in between.
  Deliver();
  for (int batches = 1; batches < kBatchesPerStep && QueueHead != nullptr && !QueuePaused && Form->Ready();
       ++batches) {
    Deliver();
  }
  Form->BatchesDone();
  MoreWaiting = false;
  if (QueuePaused) return;
  if (QueueHead != nullptr) {
    MoreWaiting = true;
    WakeEvent.Set();
    return;
  }
  Done = StopRequested;
}

void RequestProcessor::Abandon() {
  Form = nullptr;
  abandoned_.store(true);
  WakeEvent.Set();
}

}  // namespace tapline::log
