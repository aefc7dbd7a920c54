#include "app/state.h"

#include <vector>

namespace quilltap {
namespace {
Recording* recording = new Recording();  // lives until exit: threads may still use it
}  // namespace

Recording& rec() { return *recording; }

void resetRecordingForTesting() {
  // Earlier recordings stay reachable: queued work of a test may still use them.
  static std::vector<Recording*> earlier;
  earlier.push_back(recording);
  recording = new Recording();
}

}  // namespace quilltap
