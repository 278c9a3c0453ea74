// An auto-reset event: one Set wakes one Wait; a Set with nobody waiting stays pending until the next Wait.
// Any thread may Set; one thread waits.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace tapline::platform {

class AutoResetEvent {
 public:
  // A futex word rather than a mutex and condition: Set is on the relay's path for every batch of log
  // lines, and this way it takes no lock the waiter may hold and makes a system call only for a sleeper.
  void Set() {
    if (state_.exchange(1) == 0 && sleeping_.load() != 0) Futex(FUTEX_WAKE_PRIVATE, 1);
  }

  void Wait() {
    while (state_.exchange(0) == 0) {
      sleeping_.store(1);
      // A Set between the exchange and here saw nobody asleep; the check below sees its signal instead.
      if (state_.load() == 0) Futex(FUTEX_WAIT_PRIVATE, 0);
      sleeping_.store(0);
    }
  }

 private:
  void Futex(int op, int value) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), op, value, nullptr, nullptr, 0);
  }

  static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);
  std::atomic<int> state_{0};
  std::atomic<int> sleeping_{0};
};

}  // namespace tapline::platform
