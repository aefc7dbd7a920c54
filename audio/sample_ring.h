#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace quilltap {

/// A lock-free ring of non-interleaved float frames for exactly one producer
/// (JACK's real-time process callback) and one consumer (the tap thread).
/// Neither side allocates, locks or blocks: the indexes are monotonic frame
/// counters, published with release and read with acquire ordering.
class SampleRing {
 public:
  /// `capacityFrames` is rounded up to a power of two.
  SampleRing(std::size_t channels, std::size_t capacityFrames)
      : channels_(channels), capacity_(roundUp(capacityFrames)), mask_(capacity_ - 1) {
    for (std::size_t c = 0; c < channels_; ++c) storage_.emplace_back(new float[capacity_]());
  }

  std::size_t channels() const { return channels_; }
  std::size_t capacity() const { return capacity_; }

  /// Producer side: frames that fit now.
  std::size_t writable() const {
    return capacity_ -
           (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
  }
  /// Producer side: appends `frames` frames (at most writable()) of each channel.
  void write(const float* const* source, std::size_t frames) {
    std::size_t at = written_.load(std::memory_order_relaxed);
    for (std::size_t c = 0; c < channels_; ++c) copyIn(storage_[c].get(), at, source[c], frames);
    written_.store(at + frames, std::memory_order_release);
  }

  /// Producer side: appends the `frames` frames when they fit, else drops
  /// them whole and counts them as lost.
  void push(const float* const* source, std::size_t frames) {
    if (writable() < frames) {
      dropped_.fetch_add(static_cast<std::int64_t>(frames), std::memory_order_relaxed);
    } else {
      write(source, frames);
    }
  }
  /// Frames dropped since the last call (any thread).
  std::int64_t takeDropped() { return dropped_.exchange(0); }

  /// Consumer side: frames waiting.
  std::size_t readable() const {
    return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
  }
  /// Consumer side: moves `frames` frames (at most readable()) into `dest`.
  void read(float* const* dest, std::size_t frames) {
    std::size_t at = read_.load(std::memory_order_relaxed);
    for (std::size_t c = 0; c < channels_; ++c) copyOut(dest[c], storage_[c].get(), at, frames);
    consume(frames);
  }
  /// Consumer side: where the next `frames` frames (at most readable()) are,
  /// one pointer per channel, if they do not wrap around the ring's end.
  /// They stay there until consume().
  bool peek(const float** dest, std::size_t frames) const {
    std::size_t start = read_.load(std::memory_order_relaxed) & mask_;
    if (start + frames > capacity_) return false;
    for (std::size_t c = 0; c < channels_; ++c) dest[c] = storage_[c].get() + start;
    return true;
  }
  /// Consumer side: gives the next `frames` frames' room to the producer.
  void consume(std::size_t frames) {
    read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
  }

 private:
  static std::size_t roundUp(std::size_t n) {
    std::size_t size = 1;
    while (size < n) size <<= 1;
    return size;
  }
  void copyIn(float* ring, std::size_t at, const float* from, std::size_t frames) const {
    std::size_t start = at & mask_;
    std::size_t first = std::min(frames, capacity_ - start);
    std::memcpy(ring + start, from, first * sizeof(float));
    std::memcpy(ring, from + first, (frames - first) * sizeof(float));
  }
  void copyOut(float* to, const float* ring, std::size_t at, std::size_t frames) const {
    std::size_t start = at & mask_;
    std::size_t first = std::min(frames, capacity_ - start);
    std::memcpy(to, ring + start, first * sizeof(float));
    std::memcpy(to + first, ring, (frames - first) * sizeof(float));
  }

  const std::size_t channels_;
  const std::size_t capacity_;
  const std::size_t mask_;
  std::vector<std::unique_ptr<float[]>> storage_;
  alignas(64) std::atomic<std::size_t> written_{0};
  alignas(64) std::atomic<std::size_t> read_{0};
  std::atomic<std::int64_t> dropped_{0};
};

}  // namespace quilltap
