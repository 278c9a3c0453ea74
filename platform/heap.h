// The heap through which every allocation that may fail goes (records, buffers, dumps, batches).
// Main thread only. Tests make it fail on purpose; a drain hook frees memory before a retry.
#pragma once

#include <cstddef>
#include <functional>

namespace tapline::platform {

class Heap {
 public:
  // Answers true when it freed something (one batch of the display queue), false when nothing is left.
  using DrainHook = std::function<bool()>;

  // Sets the process's allocator up for relaying (see heap.cpp); a front end calls it once at start.
  static void TuneForRelay();

  void* Allocate(std::size_t size);                 // nullptr on failure
  void* Reallocate(void* block, std::size_t size);  // nullptr on failure; the old block stays valid
  void Free(void* block);
  // Hands memory that is free again back to the system (after a load has gone).
  void GiveBack();

  // Allocate, and while that fails drain one batch and try again; nullptr only when nothing is left.
  void* AllocateOrDrain(std::size_t size);
  void* ReallocateOrDrain(void* block, std::size_t size);

  void SetDrainHook(DrainHook hook) { drain_ = std::move(hook); }
  bool Drain() { return drain_ ? drain_() : false; }

  // Fault injection: the next `count` allocations fail, or every one while `failing` is set.
  void FailNext(int count) { failNext_ = count; }
  void SetFailing(bool failing) { failing_ = failing; }
  long Failures() const { return failures_; }  // allocations refused so far

 private:
  bool ShouldFail();

  DrainHook drain_;
  int failNext_ = 0;
  bool failing_ = false;
  long failures_ = 0;
};

}  // namespace tapline::platform
