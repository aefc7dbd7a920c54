#include "app/state.h"

#include <atomic>
#include <vector>

namespace quilltap {
namespace {
// Lives until exit: threads may still use it. Atomic because tests replace it
// while work of an earlier test may still be running.
std::atomic<Recording*> recording{new Recording()};
}  // namespace

Recording& rec() { return *recording.load(std::memory_order_acquire); }

void resetRecordingForTesting() {
  // Earlier recordings stay reachable: queued work of a test may still use them.
  static std::vector<Recording*> earlier;
  earlier.push_back(recording.exchange(new Recording(), std::memory_order_acq_rel));
}

}  // namespace quilltap
