#pragma once

#include <atomic>

namespace quilltap {

/// The next this many calls of fdatasync (resp. ftruncate) in the unit-test
/// binary fail with EIO. The test binary's own definitions of both take the
/// place of libc's for the product code linked into it.
extern std::atomic<int> failingDatasyncs;
extern std::atomic<int> failingTruncates;

/// While set, every operator new on the calling thread throws std::bad_alloc.
extern thread_local bool failingAllocations;

}  // namespace quilltap
