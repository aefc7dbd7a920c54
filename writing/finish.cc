#include "writing/finish.h"

#include <cmath>
#include <vector>

#include "app/events.h"
#include "app/state.h"
#include "writing/failover.h"
#include "writing/writer.h"

namespace quilltap {
namespace {
constexpr double kFlushTimeout = 20.0;
}  // namespace

void finish(const std::string& reason) {
  Recording& r = rec();
  if (r.stopping) return;
  r.stopping = true;

  r.engine->stop();
  r.engine->removeTap();  // hands over what the engine still held

  SinkRef sink;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    sink = r.current;
  }
  bool unsaved = false;
  if (!flushAndClose(sink, kFlushTimeout)) {
    unsaved = true;
    if (switchToFallback("The drive stopped responding while saving")) {
      {
        std::lock_guard<std::mutex> hold(r.lock);
        sink = r.current;
      }
      unsaved = !flushAndClose(sink, kFlushTimeout);
    }
  }

  std::int64_t captured;
  std::vector<std::string> files, interrupted;
  std::int64_t unsavedFrames = 0;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    captured = r.capturedFrames;
    for (const SinkRef& gone : r.abandoned) {
      files.insert(files.end(), gone->paths().begin(), gone->paths().end());
      interrupted.insert(interrupted.end(), gone->paths().begin(), gone->paths().end());
    }
    files.insert(files.end(), r.current->paths().begin(), r.current->paths().end());
    for (const ChunkRef& chunk : r.pending) unsavedFrames += chunk->frames;
  }
  double unsavedSeconds = static_cast<double>(unsavedFrames) / r.sampleRate;
  if (unsaved && unsavedSeconds > 0) {
    emit({{"event", "warning"},
          {"message", "The last " + std::to_string(static_cast<long long>(std::round(unsavedSeconds))) +
                          " s couldn’t be written: the drive stopped responding."}});
  }
  emit({{"event", "stopped"},
        {"reason", reason},
        {"seconds", static_cast<double>(captured) / r.sampleRate},
        {"files", files},
        {"interrupted", interrupted}});
  exitProcess(0);
}

}  // namespace quilltap
