// Sleeping on a 32-bit atomic word and waking its sleepers: the Linux futex, for the two places where a
// thread waits for the main thread (the display worker's wake-up event and the hand-over call).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace tapline::platform {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

// Sleeps while `word` holds `expected`; may return early, so callers check again.
inline void FutexWait(std::atomic<int>& word, int expected) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

// Wakes up to `count` sleepers on the word at `address`. Only the address is used, never the memory, so
// it may be called after the word's owner, woken by the store that preceded this call, has gone on.
inline void FutexWake(const void* address, int count) {
  ::syscall(SYS_futex, address, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace tapline::platform
