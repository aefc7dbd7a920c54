#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace quilltap {

/// Non-interleaved 32-bit float audio of one output: `channelCount` runs of
/// `frames` samples in one allocation.
class PcmBuffer {
 public:
  PcmBuffer(std::uint32_t channelCount, std::int64_t frames)
      : channelCount_(channelCount),
        frames_(frames),
        samples_(
            new float[static_cast<std::size_t>(channelCount) * static_cast<std::size_t>(frames)]) {}

  std::uint32_t channelCount() const { return channelCount_; }
  std::int64_t frames() const { return frames_; }
  float* channel(std::uint32_t k) { return samples_.get() + k * frames_; }
  const float* channel(std::uint32_t k) const { return samples_.get() + k * frames_; }

 private:
  std::uint32_t channelCount_;
  std::int64_t frames_;
  std::unique_ptr<float[]> samples_;
};

/// One captured buffer turned into one PcmBuffer per output, shared by
/// `pending`, the writer and `recent`. Immutable once made.
struct Chunk {
  Chunk(std::vector<PcmBuffer> buffers, std::int64_t frames,
        std::chrono::steady_clock::time_point captured, std::int64_t sequence = 0,
        bool offline = false, std::int64_t position = 0,
        std::chrono::system_clock::time_point takeStart = {})
      : buffers(std::move(buffers)),
        frames(frames),
        captured(captured),
        sequence(sequence),
        offline(offline),
        position(position),
        takeStart(takeStart) {}

  const std::vector<PcmBuffer> buffers;  // one per entry of `outputs`, in order
  const std::int64_t frames;
  /// When it was captured, on the monotonic clock, which the stall watchdog
  /// reads so that a wall-clock jump can neither fake nor hide a stall.
  const std::chrono::steady_clock::time_point captured;
  /// Capture order, counted from 1; tells which chunks a sync made durable.
  const std::int64_t sequence;
  /// Captured offline (JACK's freewheel), faster than real time.
  const bool offline;
  /// The frames captured in the take before this chunk: its place on the
  /// take's timeline (audio never captured, as during a device change, is
  /// not counted).
  const std::int64_t position;
  /// Wall-clock time of the take's first frame.
  const std::chrono::system_clock::time_point takeStart;
};

using ChunkRef = std::shared_ptr<const Chunk>;

}  // namespace quilltap
