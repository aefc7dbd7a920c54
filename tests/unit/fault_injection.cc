#include "tests/unit/fault_injection.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace quilltap {

std::atomic<int> failingDatasyncs{0};
std::atomic<int> failingTruncates{0};
thread_local bool failingAllocations = false;

namespace {

bool takeFailure(std::atomic<int>& count) {
  int left = count.load();
  while (left > 0 && !count.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace
}  // namespace quilltap

extern "C" int fdatasync(int fd) {
  static auto next = quilltap::real<int (*)(int)>("fdatasync");
  if (quilltap::takeFailure(quilltap::failingDatasyncs)) {
    errno = EIO;
    return -1;
  }
  return next(fd);
}

extern "C" int ftruncate(int fd, off_t length) {
  static auto next = quilltap::real<int (*)(int, off_t)>("ftruncate");
  if (quilltap::takeFailure(quilltap::failingTruncates)) {
    errno = EIO;
    return -1;
  }
  return next(fd, length);
}

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
