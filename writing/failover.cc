#include "writing/failover.h"

#include "app/events.h"
#include "app/state.h"
#include "dispatch/main_queue.h"
#include "writing/finish.h"
#include "writing/writer.h"

namespace quilltap {

void requestFailover(const std::string& message, const SinkRef& from) {
  mainQueue().post([message, from] { failover(message, from); });
}

void failover(const std::string& message, const SinkRef& from) {
  Recording& r = rec();
  if (r.stopping) return;
  bool failedOver;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    if (from && from != r.current) return;
    failedOver = r.failedOver;
  }
  if (!failedOver && switchToFallback(message)) return;
  emit({{"event", "error"}, {"message", message + ". Recording stopped; what was written is saved."}});
  finish("write-error");
}

bool switchToFallback(const std::string& reason) {
  Recording& r = rec();
  SinkRef old;
  bool allowed;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    allowed = !r.failedOver && !r.fallbackDir.empty();
    old = r.current;
  }
  if (!allowed) return false;

  Error error;
  SinkRef fresh = Sink::create(r.fallbackDir, " (part 2)", &error);
  if (!fresh) {
    emit({{"event", "warning"},
          {"message", reason + ", and the backup folder on this computer failed too: " + error.description}});
    return false;
  }

  std::int64_t overlapFrames = 0;
  std::int64_t startFrames;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    r.failedOver = true;
    r.abandoned.push_back(old);
    r.current = fresh;
    for (const ChunkRef& chunk : r.recent) overlapFrames += chunk->frames;
    r.pending.insert(r.pending.begin(), r.recent.begin(), r.recent.end());
    r.recent.clear();
    r.durableSequence = 0;  // nothing is durable on the new drive yet
    startFrames = r.writtenFrames - overlapFrames;
  }

  // Closing waits behind whatever the old drive's writer is still doing.
  old->queue().async([old] { old->files().clear(); });

  emit({{"event", "failover"},
        {"reason", reason},
        {"from", old->dir()},
        {"to", fresh->dir()},
        {"seconds", static_cast<double>(startFrames) / r.sampleRate},
        {"overlap", static_cast<double>(overlapFrames) / r.sampleRate},
        {"interrupted", old->paths()},
        {"files", fresh->paths()}});

  fresh->queue().async([fresh] { drain(fresh); });
  return true;
}

}  // namespace quilltap
