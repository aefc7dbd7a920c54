#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "audio/audio_system.h"
#include "common/options.h"
#include "dispatch/clock.h"
#include "dispatch/mutex.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {

/// Turns each captured buffer into a Chunk of per-track buffers (or one
/// gain-ramped stereo mix), raises the track peaks, queues the chunk in the
/// take's `pending` and asks the current Sink's writer to drain. handleBuffer
/// runs on the capture thread, one buffer at a time, and never waits for the
/// disk; the gains may be changed from any thread.
class BufferProcessor {
 public:
  BufferProcessor(const Options& options, Take& take, Writer& writer, const Clock& clock);

  void handleBuffer(const AudioBuffer& buffer) EXCLUDES(take_.lock, gainsLock_);

  /// Takes the mix gains of the options, as start-up completed them.
  void primeGains() EXCLUDES(gainsLock_);

  /// Replaces the mix gains when `gains` has as many as they do; the mix
  /// ramps to them over the next buffer.
  bool setGains(std::vector<float> gains) EXCLUDES(gainsLock_);
  std::vector<float> gains() EXCLUDES(gainsLock_);

  /// Frames of buffers that had to be dropped (memory ran out) since the
  /// last call.
  std::int64_t takeDroppedFrames() { return droppedFrames_.exchange(0); }

 private:
  /// Throws std::bad_alloc when memory runs out.
  ChunkRef makeChunk(const AudioBuffer& buffer, std::vector<float>& peaks);
  void waitForWriter() EXCLUDES(take_.lock);

  const Options& options_;
  Take& take_;
  Writer& writer_;
  const Clock& clock_;

  Mutex gainsLock_;
  std::vector<float> gains_ GUARDED_BY(gainsLock_);  // the target of the mix

  // Capture thread only.
  std::vector<float> appliedGains_;  // the gains the last buffer ended on
  std::int64_t nextSequence_ = 1;
  std::int64_t capturedFrames_ = 0;
  std::chrono::system_clock::time_point takeStart_;  // wall-clock time of the first frame
  std::int64_t stalledAt_ = -1;  // writtenFrames when a stalled writer was left behind

  std::atomic<std::int64_t> droppedFrames_{0};
};

}  // namespace quilltap
