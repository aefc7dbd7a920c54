#pragma once

#include <memory>

#include "audio/audio_system.h"
#include "capture/buffer_processing.h"
#include "common/options.h"

namespace quilltap {

/// The capture side of a recording: the engine and the processing of what it
/// delivers. Start-up starts it, the device-change handler restarts it, and
/// finish stops it. Main queue only, but for the processor's gains.
class Capture {
 public:
  Capture(const Options& options, Take& take, Writer& writer, const Clock& clock)
      : options_(options), processor_(options, take, writer, clock) {}

  /// The engine to capture with, once the options is complete; before start().
  void prepare(std::unique_ptr<AudioEngine> engine) {
    engine_ = std::move(engine);
    processor_.primeGains();
  }

  /// Starts capture into the take: refuses when the input no longer runs at
  /// the recording's sample rate, installs the tap that feeds the processor,
  /// and starts the engine. No tap may be installed (stop() removes it).
  Status start();
  /// Stops the engine and removes the tap, handing over what it still held.
  void stop();

  /// Input lost since the last call, in frames: by the engine, or dropped
  /// by the processor.
  std::int64_t takeLostFrames() {
    return engine_->takeLostFrames() + processor_.takeDroppedFrames();
  }

  AudioEngine& engine() { return *engine_; }
  BufferProcessor& processor() { return processor_; }

 private:
  const Options& options_;
  std::unique_ptr<AudioEngine> engine_;
  BufferProcessor processor_;
};

}  // namespace quilltap
