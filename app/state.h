#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_system.h"
#include "capture/chunk.h"
#include "dispatch/main_queue.h"

namespace quilltap {

class Sink;
using SinkRef = std::shared_ptr<Sink>;

/// One requested track: 1-based device channels (one or two) and a name.
struct Track {
  std::vector<std::int64_t> channels;
  std::string name;
  bool operator==(const Track&) const = default;
};

/// One file to write: a track's or the mix's name and 1 or 2 channels.
struct Output {
  std::string name;
  std::int64_t channels = 1;
  bool operator==(const Output&) const = default;
};

/// The processing format of one output: 32-bit float, non-interleaved.
struct OutputFormat {
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
};

/// The state of the one recording a process makes. Fields under "guarded by
/// lock" are shared by the capture thread, the writer queues and the main
/// queue and are touched only while holding `lock`, for short list and counter
/// operations, never across a write, a wait or an event.
struct Recording {
  // Options (set by the command line, read-only afterwards).
  std::vector<std::string> args;
  std::string deviceQuery = "XR18";
  std::string outDir;
  std::string fallbackDir;
  std::string volumePath;
  std::int64_t bitDepth = 24;
  std::vector<Track> tracks;
  std::string mixName;
  std::int64_t i = 0;  // option being parsed

  // Derived at start-up, read-only afterwards.
  bool mixing = false;
  std::int64_t trackChannels = 0;
  std::vector<Output> outputs;
  InputDevice device;  // the device found at start-up

  // The audio engine. It stands for both the engine and its input node; after
  // start-up it is operated from the main queue only.
  std::unique_ptr<AudioEngine> engine;
  std::uint32_t devID = 0;
  std::int32_t setErr = 0;
  InputFormat hwFormat;
  double sampleRate = 0;
  std::vector<OutputFormat> formats;

  std::mutex lock;
  // guarded by lock
  std::vector<float> gains;
  SinkRef current;
  std::vector<SinkRef> abandoned;
  std::deque<ChunkRef> pending;
  std::deque<ChunkRef> recent;
  std::int64_t capturedFrames = 0;
  std::int64_t writtenFrames = 0;
  std::vector<float> peaks;
  bool failedOver = false;
  /// The newest chunk that the current Sink's drive has durably taken (a
  /// successful fdatasync); `recent` keeps every chunk after it.
  std::int64_t durableSequence = 0;
  // end of guarded by lock

  SinkRef firstSink;  // set at start-up, read-only afterwards

  // Capture thread only, after start-up.
  std::vector<float> appliedGains;
  std::int64_t nextSequence = 1;
  /// Wall-clock time of the take's first frame.
  std::chrono::system_clock::time_point takeStart;
  /// Frames of buffers capture had to drop (memory ran out); the progress
  /// tick reports and resets them.
  std::atomic<std::int64_t> droppedFrames{0};

  double maxPendingSeconds = 120.0;

  // Main queue only.
  bool stopping = false;
  MainQueue::TimerId progress = 0;
  /// The filesystem `volumePath` was on at start-up (0 when not watched).
  dev_t volumeDevice = 0;
  bool volumeDeviceKnown = false;
};

/// The process-wide recording.
Recording& rec();

/// Replaces the recording with a fresh one (tests).
void resetRecordingForTesting();

}  // namespace quilltap
