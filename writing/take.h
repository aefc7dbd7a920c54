#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "capture/chunk.h"
#include "common/thread_annotations.h"
#include "dispatch/mutex.h"
#include "writing/sink.h"

namespace quilltap {

/// The take's queue between capture and the writers, and what they count.
/// Capture appends to `pending`, the current Sink's writer takes from its
/// front and keeps what it wrote in `recent`, a failover puts `recent` back
/// in front of `pending`. `lock` is held only for such list and counter
/// operations, never across a write, a wait or an event.
struct Take {
  Mutex lock;
  SinkRef current GUARDED_BY(lock);
  std::vector<SinkRef> abandoned GUARDED_BY(lock);  // given up by a failover, oldest first
  std::deque<ChunkRef> pending GUARDED_BY(lock);    // not yet written into `current`
  /// Written into `current`: at least the last second, and every chunk its
  /// drive may not hold durably yet.
  std::deque<ChunkRef> recent GUARDED_BY(lock);
  std::int64_t capturedFrames GUARDED_BY(lock) = 0;
  std::int64_t writtenFrames GUARDED_BY(lock) = 0;
  /// Per track, the largest absolute sample since the last progress tick.
  std::vector<float> peaks GUARDED_BY(lock);
  bool failedOver GUARDED_BY(lock) = false;
  /// The newest chunk that the current Sink's drive has durably taken (a
  /// successful sync); `recent` keeps every chunk after it.
  std::int64_t durableSequence GUARDED_BY(lock) = 0;

  /// The Sink in the recording folder; set before capture starts.
  SinkRef firstSink;
};

}  // namespace quilltap
