// The process's one message loop: stands in for the main window and its message queue.
// Messages and handed-over calls are delivered on the main thread, one at a time, in order of arrival.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tapline::platform {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

class EventLoop {
 public:
  using MessageHandler = std::function<void(unsigned message, WPARAM wParam, LPARAM lParam)>;
  using ReadyHandler = std::function<void(std::uint32_t epollEvents)>;

  EventLoop();
  ~EventLoop();  // cancels hand-overs still queued; threads that hand over must have ended first
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The one receiver of every message (the engine's HandleSocketEvent behind the front end).
  void SetMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

  // Any thread: queue a message behind everything already queued.
  void PostMessage(unsigned message, WPARAM wParam, LPARAM lParam);

  // Any thread but the main one: run `call` on the main thread between two messages and wait until it has
  // run. Answers false, without running it, when the loop has been closed.
  bool HandOver(std::function<void()> call);

  // Main thread: drop every undelivered `message` whose wParam is `wParam`.
  void RemoveMessages(unsigned message, WPARAM wParam);

  // Main thread: `hook` runs at the end of every turn, before the loop may wait again (what a turn
  // buffered for a file goes out there).
  void SetTurnEndHook(std::function<void()> hook) { turnEnd_ = std::move(hook); }
  // Main thread: readiness of a descriptor (level-triggered epoll events) reaches `handler` while polling.
  // False when epoll cannot watch it (a regular file, say); nothing is registered then.
  bool Watch(int fd, std::uint32_t events, ReadyHandler handler);
  void Rewatch(int fd, std::uint32_t events);  // change the events of a watched descriptor
  void Unwatch(int fd);
  // The descriptor is about to be closed, which takes it out of epoll by itself: forget its handler only.
  void Forget(int fd) { watches_.erase(fd); }
  bool Watching(int fd) const { return watches_.count(fd) != 0; }

  // Main thread: run `call` once, on a turn at least `milliseconds` from now.
  void Schedule(int milliseconds, std::function<void()> call);

  // The descriptor a host loop (Qt) watches: readable while anything is ready, queued or due.
  int Descriptor() const { return epollFd_; }

  // Main thread: one turn without waiting: poll the descriptors, then deliver what was queued.
  // Answers whether anything was delivered or polled.
  bool ProcessReady();
  // Main thread: wait up to `timeoutMs` (-1 = no limit) for something to do, then take one turn.
  bool RunOnce(int timeoutMs);
  // Main thread: take turns until Quit.
  void Run();
  // Main thread: run the handed-over calls queued now and leave the messages (used while shutting down).
  void RunHandOvers();
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }

  std::size_t Pending() const;  // messages and calls queued now

 private:
  struct HandOverCall {
    std::function<void()> call;
    std::atomic<int> outcome{0};  // 0 waiting, 1 ran, 2 dropped unrun; the caller sleeps on it
  };
  struct Item {
    unsigned message;
    WPARAM wParam;
    LPARAM lParam;
    HandOverCall* call;  // non-null for a handed-over call
  };
  // What other threads touch. A thread waiting for its hand-over sleeps on the call's own outcome, not
  // here, so it never wakes up to a loop that has gone meanwhile.
  struct Shared {
    std::mutex mutex;  // guards queue, closed and signalled
    std::deque<Item> queue;
    bool closed = false;
    bool signalled = false;  // the wake descriptor has been written since the queue last emptied
  };
  struct WatchEntry {
    ReadyHandler handler;
    std::uint64_t generation;
  };

  void Push(const Item& item);
  bool PopFront(Item& item);
  void RunCall(HandOverCall& call);
  static void Complete(HandOverCall& call, int outcome);
  void Poll(int timeoutMs);
  bool Turn(int timeoutMs);
  void SignalLocked();
  void ClearWakeLocked();

  void RunDueTimers();
  void ArmTimer();

  int epollFd_ = -1;
  int wakeFd_ = -1;   // eventfd, readable exactly while the queue holds something
  int timerFd_ = -1;  // timerfd, readable once the earliest scheduled call is due
  std::multimap<std::int64_t, std::function<void()>> timers_;  // by due time (monotonic nanoseconds)
  MessageHandler handler_;
  std::function<void()> turnEnd_;
  std::unordered_map<int, WatchEntry> watches_;
  std::uint64_t nextGeneration_ = 1;
  bool quit_ = false;
  // While the main thread takes a turn, what it posts itself is delivered before the turn ends or
  // signalled at its end, so the wake descriptor is left alone meanwhile (two system calls a message).
  bool inTurn_ = false;
  std::thread::id mainThread_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tapline::platform
