#include "writing/finish.h"

#include <cmath>
#include <vector>

#include "capture/capture.h"

namespace quilltap {
namespace {
constexpr double kFlushTimeout = 20.0;
}  // namespace

SinkRef Finish::current() {
  MutexLock hold(take_.lock);
  return take_.current;
}

void Finish::finish(const std::string& reason) {
  if (stopping_) return;
  stopping_ = true;

  capture_.stop();  // hands over what the engine still held

  bool unsaved = false;
  if (!writer_.flushAndClose(current(), kFlushTimeout)) {
    unsaved = true;
    if (failover_.switchToFallback("The drive stopped responding while saving")) {
      unsaved = !writer_.flushAndClose(current(), kFlushTimeout);
    }
  }

  std::int64_t captured;
  std::vector<std::string> files, interrupted;
  std::int64_t unsavedFrames = 0;
  {
    MutexLock hold(take_.lock);
    captured = take_.capturedFrames;
    for (const SinkRef& gone : take_.abandoned) {
      files.insert(files.end(), gone->paths().begin(), gone->paths().end());
      interrupted.insert(interrupted.end(), gone->paths().begin(), gone->paths().end());
    }
    files.insert(files.end(), take_.current->paths().begin(), take_.current->paths().end());
    for (const ChunkRef& chunk : take_.pending) unsavedFrames += chunk->frames;
  }
  double unsavedSeconds = static_cast<double>(unsavedFrames) / options_.sampleRate;
  if (unsaved && unsavedSeconds > 0) {
    events_.emit(
        {{"event", "warning"},
         {"message", "The last " +
                         std::to_string(static_cast<long long>(std::round(unsavedSeconds))) +
                         " s couldn’t be written: the drive stopped responding."}});
  }
  events_.emit({{"event", "stopped"},
                {"reason", reason},
                {"seconds", static_cast<double>(captured) / options_.sampleRate},
                {"files", files},
                {"interrupted", interrupted}});
  exit_(0);
}

}  // namespace quilltap
