// An auto-reset event: one Set wakes one Wait; a Set with nobody waiting stays pending until the next Wait.
// Any thread may Set; one thread waits.
#pragma once

#include <condition_variable>
#include <mutex>

namespace tapline::platform {

class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace tapline::platform
