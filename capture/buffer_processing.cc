#include "capture/buffer_processing.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

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

float peakOf(const float* x, std::uint32_t frames, float peak) {
  return copyWithPeak(nullptr, x, frames, peak);
}

// The stereo mix, each channel ramping from `applied` to `target` across the
// buffer. Arithmetic in single precision, in this order, so that the last
// frame stops one step short and the next buffer starts on target.
PcmBuffer mix(const Options& options, const AudioBuffer& in, const std::vector<float>& applied,
              const std::vector<float>& target, std::vector<float>& peaks) {
  const std::uint32_t n = in.frames;
  PcmBuffer out(2, n);
  float* left = out.channel(0);
  float* right = out.channel(1);
  std::memset(left, 0, n * sizeof(float));
  std::memset(right, 0, n * sizeof(float));
  const float frames = static_cast<float>(n);
  std::size_t g = 0;
  for (std::size_t t = 0; t < options.tracks.size(); ++t) {
    for (std::int64_t c : options.tracks[t].channels) {
      if (c - 1 < static_cast<std::int64_t>(in.channelCount) && n > 0) {
        const float* x = in.channels[c - 1];
        const float a0 = applied[2 * g], b0 = applied[2 * g + 1];
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
  return out;
}

std::vector<PcmBuffer> splitTracks(const Options& options, const AudioBuffer& in,
                                   std::vector<float>& peaks) {
  const std::uint32_t n = in.frames;
  std::vector<PcmBuffer> outs;
  outs.reserve(options.tracks.size());
  for (std::size_t t = 0; t < options.tracks.size(); ++t) {
    const Track& track = options.tracks[t];
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

}  // namespace

BufferProcessor::BufferProcessor(const Options& options, Take& take, Writer& writer,
                                 const Clock& clock)
    : options_(options), take_(take), writer_(writer), clock_(clock) {}

void BufferProcessor::primeGains() {
  MutexLock hold(gainsLock_);
  gains_ = options_.gains;
  appliedGains_ = options_.gains;
}

bool BufferProcessor::setGains(std::vector<float> gains) {
  MutexLock hold(gainsLock_);
  if (gains.size() != gains_.size()) return false;
  gains_ = std::move(gains);
  return true;
}

std::vector<float> BufferProcessor::gains() {
  MutexLock hold(gainsLock_);
  return gains_;
}

ChunkRef BufferProcessor::makeChunk(const AudioBuffer& buffer, std::vector<float>& peaks) {
  std::vector<PcmBuffer> outputs;
  if (options_.mixing) {
    std::vector<float> target = gains();
    outputs.push_back(mix(options_, buffer, appliedGains_, target, peaks));
    appliedGains_ = std::move(target);
  } else {
    outputs = splitTracks(options_, buffer, peaks);
  }
  if (capturedFrames_ == 0) {
    // The first buffer arrives just after its last frame was captured.
    takeStart_ = std::chrono::system_clock::now() -
                 std::chrono::duration_cast<std::chrono::system_clock::duration>(
                     std::chrono::duration<double>(buffer.frames / options_.sampleRate));
  }
  return std::make_shared<const Chunk>(std::move(outputs), buffer.frames, clock_.now(),
                                       nextSequence_++, buffer.offline, capturedFrames_,
                                       takeStart_);
}

void BufferProcessor::handleBuffer(const AudioBuffer& buffer) {
  if (!buffer.channels) return;
  const std::int64_t frames = buffer.frames;
  SinkRef sink;
  // A buffer that cannot be processed is dropped and counted as lost input;
  // the capture thread must outlive a moment without memory.
  try {
    std::vector<float> peaks(options_.tracks.size(), 0.0f);
    ChunkRef chunk = makeChunk(buffer, peaks);
    MutexLock hold(take_.lock);
    take_.pending.push_back(chunk);
    take_.capturedFrames += frames;
    for (std::size_t k = 0; k < take_.peaks.size() && k < peaks.size(); ++k) {
      if (take_.peaks[k] <= peaks[k]) take_.peaks[k] = peaks[k];
    }
    sink = take_.current;
  } catch (const std::bad_alloc&) {
    droppedFrames_ += frames;
    return;
  }
  capturedFrames_ += frames;
  try {
    writer_.queueDrain(sink);
  } catch (const std::bad_alloc&) {
    // The chunk is queued; the drain that the next buffer asks for writes it.
  }
  if (buffer.offline) waitForWriter();
}

// Offline, capture runs faster than any drive; it waits while the writer is
// more than a couple of seconds behind and still making progress. A writer
// that makes none for a second is left behind as it would be in real time,
// and not waited for again until it moves, so that the watchdogs judge the
// drive the same way.
void BufferProcessor::waitForWriter() {
  using Clock = std::chrono::steady_clock;
  const double most = 2.0 * options_.sampleRate;
  std::int64_t written = -1;
  Clock::time_point progressed = Clock::now();
  for (;;) {
    std::int64_t backlog = 0;
    std::int64_t nowWritten;
    {
      MutexLock hold(take_.lock);
      for (const ChunkRef& chunk : take_.pending) backlog += chunk->frames;
      nowWritten = take_.writtenFrames;
    }
    if (static_cast<double>(backlog) <= most || nowWritten == stalledAt_) return;
    if (nowWritten != written) {
      written = nowWritten;
      progressed = Clock::now();
    } else if (Clock::now() - progressed > std::chrono::seconds(1)) {
      stalledAt_ = nowWritten;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quilltap
