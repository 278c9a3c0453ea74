#include "platform/heap.h"

#include <malloc.h>

#include <cstdlib>

namespace tapline::platform {

bool Heap::ShouldFail() {
  if (failing_ || failNext_ > 0) {
    if (failNext_ > 0) --failNext_;
    ++failures_;
    return true;
  }
  return false;
}

void* Heap::Allocate(std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* Heap::Reallocate(void* block, std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Heap::Free(void* block) { std::free(block); }

void Heap::GiveBack() { malloc_trim(0); }

void Heap::TuneForRelay() {
  // A busy direction's block grows to a read step, shrinks to 8 KB once sent, and grows again, thousands
  // of times a second; a hex dump record comes and goes with every block. By default such sizes are
  // mapped afresh each time and unmapped again after, so every byte lands in a new zeroed page. Kept in
  // the heap, the same memory is used over and over while it is still in the cache. Up to 16 MB of free
  // heap is kept for that; more goes back to the system, and GiveBack returns the rest after a load.
  mallopt(M_MMAP_THRESHOLD, 16 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
}

void* Heap::AllocateOrDrain(std::size_t size) {
  for (;;) {
    if (void* p = Allocate(size)) return p;
    if (!Drain()) return nullptr;
  }
}

void* Heap::ReallocateOrDrain(void* block, std::size_t size) {
  for (;;) {
    if (void* p = Reallocate(block, size)) return p;
    if (!Drain()) return nullptr;
  }
}

}  // namespace tapline::platform
