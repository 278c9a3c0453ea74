#include "platform/event_loop.h"

#include "platform/futex.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tapline::platform {

EventLoop::EventLoop() : mainThread_(std::this_thread::get_id()), shared_(std::make_shared<Shared>()) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (epollFd_ < 0 || wakeFd_ < 0 || timerFd_ < 0) {
    std::perror("tapline: event loop");
    std::abort();
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = wakeFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
  ev.data.fd = timerFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev);
}

namespace {
std::int64_t NowNanoseconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

void EventLoop::Schedule(int milliseconds, std::function<void()> call) {
  timers_.emplace(NowNanoseconds() + static_cast<std::int64_t>(milliseconds) * 1000000, std::move(call));
  ArmTimer();
}

void EventLoop::ArmTimer() {
  itimerspec spec{};
  if (!timers_.empty()) {
    std::int64_t due = timers_.begin()->first;
    spec.it_value.tv_sec = static_cast<time_t>(due / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(due % 1000000000);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  }
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void EventLoop::RunDueTimers() {
  std::uint64_t expirations;
  ssize_t r = read(timerFd_, &expirations, sizeof expirations);
  (void)r;
  std::int64_t now = NowNanoseconds();
  std::vector<std::function<void()>> due;
  while (!timers_.empty() && timers_.begin()->first <= now) {
    due.push_back(std::move(timers_.begin()->second));
    timers_.erase(timers_.begin());
  }
  ArmTimer();
  for (auto& call : due) call();
}

EventLoop::~EventLoop() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closed = true;
    for (Item& item : shared_->queue) {
      if (item.call) Complete(*item.call, 2);
    }
    shared_->queue.clear();
  }
  close(timerFd_);
  close(wakeFd_);
  close(epollFd_);
}

void EventLoop::Push(const Item& item) {
  // Called with the shared mutex held.
  shared_->queue.push_back(item);
  if (std::this_thread::get_id() == mainThread_ && inTurn_) return;  // the turn's end signals
  SignalLocked();
}

void EventLoop::SignalLocked() {
  if (shared_->signalled) return;
  std::uint64_t one = 1;
  ssize_t r = write(wakeFd_, &one, sizeof one);
  (void)r;  // a full counter is still readable, which is all we need
  shared_->signalled = true;
}

void EventLoop::ClearWakeLocked() {
  if (!shared_->signalled) return;
  std::uint64_t value;
  ssize_t r = read(wakeFd_, &value, sizeof value);
  (void)r;
  shared_->signalled = false;
}

bool EventLoop::PopFront(Item& item) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto& queue = shared_->queue;
  if (queue.empty()) return false;
  item = queue.front();
  queue.pop_front();
  if (queue.empty()) ClearWakeLocked();
  return true;
}

void EventLoop::PostMessage(unsigned message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->closed) return;
  Push(Item{message, wParam, lParam, nullptr});
}

bool EventLoop::HandOver(std::function<void()> call) {
  HandOverCall request;
  request.call = std::move(call);
  {
    std::shared_ptr<Shared> shared = shared_;
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->closed) return false;
    Push(Item{0, 0, 0, &request});
  }
  for (;;) {
    int outcome = request.outcome.load(std::memory_order_acquire);
    if (outcome != 0) return outcome == 1;
    FutexWait(request.outcome, 0);
  }
}

void EventLoop::RemoveMessages(unsigned message, WPARAM wParam) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto& queue = shared_->queue;
  bool hadItems = !queue.empty();
  for (auto it = queue.begin(); it != queue.end();) {
    if (!it->call && it->message == message && it->wParam == wParam) {
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
  if (hadItems && queue.empty()) ClearWakeLocked();
}

std::size_t EventLoop::Pending() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->queue.size();
}

bool EventLoop::Watch(int fd, std::uint32_t events, ReadyHandler handler) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) != 0) return false;
    it->second = WatchEntry{std::move(handler), nextGeneration_++};
    return true;
  }
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  watches_.emplace(fd, WatchEntry{std::move(handler), nextGeneration_++});
  return true;
}

void EventLoop::Rewatch(int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
}

void EventLoop::Unwatch(int fd) {
  if (watches_.erase(fd) != 0) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::Poll(int timeoutMs) {
  epoll_event events[256];
  int n = epoll_wait(epollFd_, events, 256, timeoutMs);
  if (n <= 0) return;
  // Note each ready descriptor's registration first: a handler may unwatch or re-watch another one.
  struct Ready {
    int fd;
    std::uint32_t events;
    std::uint64_t generation;
  };
  std::vector<Ready> ready;
  ready.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    int fd = events[i].data.fd;
    if (fd == wakeFd_) continue;
    if (fd == timerFd_) {
      RunDueTimers();
      continue;
    }
    auto it = watches_.find(fd);
    if (it == watches_.end()) continue;
    ready.push_back(Ready{fd, events[i].events, it->second.generation});
  }
  for (const Ready& r : ready) {
    auto it = watches_.find(r.fd);
    if (it == watches_.end() || it->second.generation != r.generation) continue;
    ReadyHandler handler = it->second.handler;  // the handler may unwatch itself
    handler(r.events);
  }
}

bool EventLoop::ProcessReady() { return Turn(0); }

bool EventLoop::Turn(int timeoutMs) {
  inTurn_ = true;
  Poll(timeoutMs);
  // Deliver what is queued now; what arrives meanwhile waits for the next turn, so polling keeps its share.
  std::size_t count = Pending();
  bool any = false;
  for (std::size_t i = 0; i < count; ++i) {
    Item item;
    if (!PopFront(item)) break;
    any = true;
    if (item.call) {
      RunCall(*item.call);
    } else if (handler_) {
      handler_(item.message, item.wParam, item.lParam);
    }
  }
  inTurn_ = false;
  if (turnEnd_) turnEnd_();
  // The descriptor must stay readable while anything waits, for a host loop that polls it.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (!shared_->queue.empty()) SignalLocked();
  return any;
}

void EventLoop::RunCall(HandOverCall& call) {
  call.call();
  Complete(call, 1);
}

void EventLoop::Complete(HandOverCall& call, int outcome) {
  // Once the outcome is stored the caller may return and its record be gone: only the address is kept.
  const void* address = &call.outcome;
  call.outcome.store(outcome, std::memory_order_release);
  FutexWake(address, 1);
}

void EventLoop::RunHandOvers() {
  for (;;) {
    HandOverCall* call = nullptr;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      auto& queue = shared_->queue;
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->call) {
          call = it->call;
          queue.erase(it);
          if (queue.empty()) ClearWakeLocked();
          break;
        }
      }
    }
    if (call == nullptr) return;
    RunCall(*call);
  }
}

bool EventLoop::RunOnce(int timeoutMs) { return Turn(Pending() == 0 ? timeoutMs : 0); }

void EventLoop::Run() {
  quit_ = false;
  while (!quit_) RunOnce(-1);
}

}  // namespace tapline::platform
