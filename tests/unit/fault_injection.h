#pragma once

namespace quilltap {

/// While set, every operator new on the calling thread throws
/// std::bad_alloc. The unit-test binary replaces the allocation functions.
extern thread_local bool failingAllocations;

}  // namespace quilltap
