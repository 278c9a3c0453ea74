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
