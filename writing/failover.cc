#include "writing/failover.h"

#include "dispatch/main_queue.h"
#include "writing/finish.h"

namespace quilltap {

void Failover::request(const std::string& message, const SinkRef& from) {
  mainQueue().post([this, message, from] { failover(message, from); });
}

void Failover::failover(const std::string& message, const SinkRef& from) {
  if (finish_.stopping()) return;
  bool failedOver;
  {
    MutexLock hold(take_.lock);
    if (from && from != take_.current) return;
    failedOver = take_.failedOver;
  }
  if (!failedOver && switchToFallback(message)) return;
  events_.emit({{"event", "error"},
                {"message", message + ". Recording stopped; what was written is saved."}});
  finish_.finish("write-error");
}

bool Failover::switchToFallback(const std::string& reason) {
  SinkRef old;
  bool allowed;
  {
    MutexLock hold(take_.lock);
    allowed = !take_.failedOver && !options_.fallbackDir.empty();
    old = take_.current;
  }
  if (!allowed) return false;

  SinkRef fresh;
  if (Status made = Sink::create(drive_, options_, options_.fallbackDir, " (part 2)", &fresh);
      !made.ok()) {
    events_.emit({{"event", "warning"},
                  {"message", reason + ", and the backup folder on this computer failed too: " +
                                  made.message()}});
    return false;
  }

  std::int64_t overlapFrames = 0;
  std::int64_t startFrames;
  {
    MutexLock hold(take_.lock);
    take_.failedOver = true;
    take_.abandoned.push_back(old);
    take_.current = fresh;
    for (const ChunkRef& chunk : take_.recent) overlapFrames += chunk->frames;
    take_.pending.insert(take_.pending.begin(), take_.recent.begin(), take_.recent.end());
    take_.recent.clear();
    take_.durableSequence = 0;  // nothing is durable on the new drive yet
    startFrames = take_.writtenFrames - overlapFrames;
  }

  // Closing waits behind whatever the old drive's writer is still doing.
  old->queue().async([old] { old->files().clear(); });

  events_.emit({{"event", "failover"},
                {"reason", reason},
                {"from", old->dir()},
                {"to", fresh->dir()},
                {"seconds", static_cast<double>(startFrames) / options_.sampleRate},
                {"overlap", static_cast<double>(overlapFrames) / options_.sampleRate},
                {"interrupted", old->paths()},
                {"files", fresh->paths()}});

  writer_.queueDrain(fresh);
  return true;
}

}  // namespace quilltap
