#include "capture/capture_engine.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <string>

#include "app/state.h"
#include "capture/buffer_processing.h"

namespace quilltap {
namespace {

using Clock = std::chrono::steady_clock;

// Offline, capture runs faster than any drive; it waits while the writer is
// more than a couple of seconds behind and still making progress. A writer
// that makes none for a second is left behind as it would be in real time,
// and not waited for again until it moves, so that the watchdogs judge the
// drive the same way. Capture thread only.
void waitForWriter() {
  static std::int64_t stalledAt = -1;  // writtenFrames when the writer was given up
  Recording& r = rec();
  const double most = 2.0 * r.sampleRate;
  std::int64_t written = -1;
  Clock::time_point progressed = Clock::now();
  for (;;) {
    std::int64_t backlog = 0;
    std::int64_t nowWritten;
    {
      std::lock_guard<std::mutex> hold(r.lock);
      for (const ChunkRef& chunk : r.pending) backlog += chunk->frames;
      nowWritten = r.writtenFrames;
    }
    if (static_cast<double>(backlog) <= most || nowWritten == stalledAt) return;
    if (nowWritten != written) {
      written = nowWritten;
      progressed = Clock::now();
    } else if (Clock::now() - progressed > std::chrono::seconds(1)) {
      stalledAt = nowWritten;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

std::optional<Error> startEngine() {
  Recording& r = rec();
  InputFormat format = r.engine->inputFormat();
  if (format.sampleRate != r.sampleRate) {
    return Error{kErrorDomain, kSampleRateChanged,
                 "sample rate changed from " + std::to_string(static_cast<std::int64_t>(r.sampleRate)) +
                     " to " + std::to_string(static_cast<std::int64_t>(format.sampleRate)) + " Hz"};
  }
  r.engine->installTap(4096, [](const AudioBuffer& buffer) {
    handleBuffer(buffer);
    if (buffer.offline) waitForWriter();
  });
  std::string description;
  if (!r.engine->start(&description)) return Error{"jack", 0, description};
  return std::nullopt;
}

}  // namespace quilltap
