#include "capture/buffer_processing.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>

#include "app/state.h"
#include "writing/sink.h"
#include "writing/writer.h"

namespace quilltap {
namespace {

// Four floats at a time (GCC's and clang's vector extension).
using Floats = float __attribute__((vector_size(16)));
using Bits = std::uint32_t __attribute__((vector_size(16)));

// Copies `frames` samples of `from` into `to` (when `to` is not null) and
// raises `peak` to the largest |x| on the way, in one pass over the input. A
// NaN sample never raises the peak: the comparison is false. Two vector
// maxima run side by side; a single scalar chain would wait on itself.
float copyWithPeak(float* to, const float* from, std::uint32_t frames, float peak) {
  const Bits noSign = {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu};
  Floats m0 = {peak, peak, peak, peak};
  Floats m1 = m0;
  std::uint32_t i = 0;
  for (; i + 8 <= frames; i += 8) {
    Floats a, b;
    std::memcpy(&a, from + i, sizeof a);
    std::memcpy(&b, from + i + 4, sizeof b);
    if (to) {
      std::memcpy(to + i, &a, sizeof a);
      std::memcpy(to + i + 4, &b, sizeof b);
    }
    a = reinterpret_cast<Floats>(reinterpret_cast<Bits>(a) & noSign);
    b = reinterpret_cast<Floats>(reinterpret_cast<Bits>(b) & noSign);
    m0 = a > m0 ? a : m0;
    m1 = b > m1 ? b : m1;
  }
  for (int k = 0; k < 4; ++k) {
    peak = m0[k] > peak ? m0[k] : peak;
    peak = m1[k] > peak ? m1[k] : peak;
  }
  for (; i < frames; ++i) {
    if (to) to[i] = from[i];
    float a = std::fabs(from[i]);
    peak = a > peak ? a : peak;
  }
  return peak;
}

float peakOf(const float* x, std::uint32_t frames, float peak) { return copyWithPeak(nullptr, x, frames, peak); }

// The stereo mix, each channel ramping from `appliedGains` to the target
// across the buffer. Arithmetic in single precision, in this order, so that
// the last frame stops one step short and the next buffer starts on target.
PcmBuffer mix(const AudioBuffer& in, std::vector<float>& peaks) {
  Recording& r = rec();
  const std::uint32_t n = in.frames;
  PcmBuffer out(2, n);
  float* left = out.channel(0);
  float* right = out.channel(1);
  std::memset(left, 0, n * sizeof(float));
  std::memset(right, 0, n * sizeof(float));

  std::vector<float> target;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    target = r.gains;
  }
  const float frames = static_cast<float>(n);
  std::size_t g = 0;
  for (std::size_t t = 0; t < r.tracks.size(); ++t) {
    for (std::int64_t c : r.tracks[t].channels) {
      if (c - 1 < static_cast<std::int64_t>(in.channelCount) && n > 0) {
        const float* x = in.channels[c - 1];
        const float a0 = r.appliedGains[2 * g], b0 = r.appliedGains[2 * g + 1];
        const float da = (target[2 * g] - a0) / frames, db = (target[2 * g + 1] - b0) / frames;
        for (std::uint32_t i = 0; i < n; ++i) {
          const float fi = static_cast<float>(i);
          left[i] += (da * fi + a0) * x[i];
          right[i] += (db * fi + b0) * x[i];
        }
        peaks[t] = peakOf(x, n, peaks[t]);
      }
      ++g;
    }
  }
  r.appliedGains = std::move(target);
  return out;
}

std::vector<PcmBuffer> splitTracks(const AudioBuffer& in, std::vector<float>& peaks) {
  Recording& r = rec();
  const std::uint32_t n = in.frames;
  std::vector<PcmBuffer> outs;
  outs.reserve(r.tracks.size());
  for (std::size_t t = 0; t < r.tracks.size(); ++t) {
    const Track& track = r.tracks[t];
    PcmBuffer& out = outs.emplace_back(static_cast<std::uint32_t>(track.channels.size()), n);
    for (std::uint32_t j = 0; j < track.channels.size(); ++j) {
      std::int64_t c = track.channels[j];
      if (c - 1 < static_cast<std::int64_t>(in.channelCount)) {
        peaks[t] = copyWithPeak(out.channel(j), in.channels[c - 1], n, peaks[t]);
      } else {
        std::memset(out.channel(j), 0, n * sizeof(float));
      }
    }
  }
  return outs;
}

// The chunk of one captured buffer; throws std::bad_alloc when memory runs out.
ChunkRef makeChunk(const AudioBuffer& buffer, std::vector<float>& peaks) {
  Recording& r = rec();
  std::vector<PcmBuffer> outputs;
  if (r.mixing) {
    outputs.push_back(mix(buffer, peaks));
  } else {
    outputs = splitTracks(buffer, peaks);
  }
  const std::int64_t position = r.capturedFrames;  // only this thread changes it
  if (position == 0) {
    // The first buffer arrives just after its last frame was captured.
    r.takeStart = std::chrono::system_clock::now() -
                  std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      std::chrono::duration<double>(buffer.frames / r.sampleRate));
  }
  return std::make_shared<const Chunk>(std::move(outputs), buffer.frames, r.nextSequence++,
                                       buffer.offline, position, r.takeStart);
}

}  // namespace

void handleBuffer(const AudioBuffer& buffer) {
  if (!buffer.channels) return;
  Recording& r = rec();
  const std::int64_t frames = buffer.frames;
  SinkRef sink;
  // A buffer that cannot be processed is dropped and counted as lost input;
  // the capture thread must outlive a moment without memory.
  try {
    std::vector<float> peaks(r.tracks.size(), 0.0f);
    ChunkRef chunk = makeChunk(buffer, peaks);
    std::lock_guard<std::mutex> hold(r.lock);
    r.pending.push_back(chunk);
    r.capturedFrames += frames;
    for (std::size_t k = 0; k < r.peaks.size() && k < peaks.size(); ++k) {
      if (r.peaks[k] <= peaks[k]) r.peaks[k] = peaks[k];
    }
    sink = r.current;
  } catch (const std::bad_alloc&) {
    r.droppedFrames += frames;
    return;
  }
  try {
    sink->queue().async([sink] { drain(sink); });
  } catch (const std::bad_alloc&) {
    // The chunk is queued; the drain that the next buffer asks for writes it.
  }
}

}  // namespace quilltap
