#include "tests/unit/fault_injection.h"

#include <cstdlib>
#include <new>

namespace quilltap {
thread_local bool failingAllocations = false;
}  // namespace quilltap

// The allocation functions are replaced as a set, so that every delete meets
// the allocator of its new, also in sanitizer builds.
void* operator new(std::size_t size) {
  if (quilltap::failingAllocations) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
