// An auto-reset event: one Set wakes one Wait; a Set with nobody waiting stays pending until the next Wait.
// Any thread may Set; one thread waits.
#pragma once

#include <atomic>

#include "platform/futex.h"

namespace tapline::platform {

class AutoResetEvent {
 public:
  // A futex word rather than a mutex and condition: Set is on the relay's path for every batch of log
  // lines, and this way it takes no lock the waiter may hold and makes a system call only for a sleeper.
  void Set() {
    if (state_.exchange(1) == 0 && sleeping_.load() != 0) FutexWake(&state_, 1);
  }

  void Wait() {
    while (state_.exchange(0) == 0) {
      sleeping_.store(1);
      // A Set between the exchange and here saw nobody asleep; the check below sees its signal instead.
      if (state_.load() == 0) FutexWait(state_, 0);
      sleeping_.store(0);
    }
  }

 private:
  std::atomic<int> state_{0};
  std::atomic<int> sleeping_{0};
};

}  // namespace tapline::platform
