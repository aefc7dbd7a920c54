// The unit-test binary's allocation functions: while `failingAllocations` is
// set, every operator new on that thread throws std::bad_alloc. Replaced as a
// set, so that every delete meets the allocator of its new, also under ASan.
#include <cstdlib>
#include <new>

thread_local bool failingAllocations = false;

void* operator new(std::size_t size) {
  void* p = failingAllocations ? nullptr : std::malloc(size ? size : 1);
  return p ? p : throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
