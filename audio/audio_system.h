#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"

// The platform layer: everything the recorder asks of the audio system, behind
// one interface. makeAudioSystem() gives the product's (JACK, jack_audio.cc);
// unit tests use a scripted fake of their own.
namespace quilltap {

/// One device that can deliver input.
struct InputDevice {
  std::string uid;   // persistent identifier (on JACK the client name)
  std::string name;  // display name
  std::int64_t channels = 0;

  bool operator==(const InputDevice&) const = default;
};

/// The format the engine's input delivers.
struct InputFormat {
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
};

/// One captured buffer: non-interleaved 32-bit float, every input channel.
/// A view; the memory belongs to the engine and is valid during the tap call.
struct AudioBuffer {
  const float* const* channels = nullptr;  // null when the buffer has no data
  std::uint32_t channelCount = 0;
  std::uint32_t frames = 0;
  /// The audio system runs offline (JACK's freewheel): nothing is real-time,
  /// and capture may wait for the writer instead of racing ahead of it.
  bool offline = false;
};

using TapBlock = std::function<void(const AudioBuffer&)>;

/// The capture engine of one recording.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  /// Makes `device` the engine's input, of which the recording uses the
  /// 1-based `channels`. The message names the device on failure.
  virtual Status selectDevice(const InputDevice& device,
                              const std::vector<std::int64_t>& channels) = 0;

  /// The input's current format.
  virtual InputFormat inputFormat() = 0;

  /// The tap delivers every captured buffer to `block` on a thread of the
  /// engine, one buffer at a time, `bufferSize` frames each where it can.
  virtual void installTap(std::uint32_t bufferSize, TapBlock block) = 0;
  /// Removes the tap. Frames the engine captured but had not yet delivered
  /// reach the block first, as one shorter buffer, so a stop loses nothing.
  virtual void removeTap() = 0;

  /// Starts capture; fails when the engine refuses or cannot reach every
  /// channel the recording uses.
  virtual Status start() = 0;
  /// Stops capture; no new audio is taken after it returns.
  virtual void stop() = 0;

  /// `handler` runs on the main queue after the engine's configuration
  /// changed (the device went away, its rate changed, the server quit);
  /// notifications that arrive before it ran merge into one.
  virtual void onConfigurationChange(std::function<void()> handler) = 0;

  /// Input lost since the last call, in frames (the engine could not keep
  /// it, or the audio system skipped cycles); reset by the call.
  virtual std::int64_t takeLostFrames() = 0;
};

class AudioSystem {
 public:
  virtual ~AudioSystem() = default;

  /// The input devices, in the order in which the system lists them, asked
  /// afresh on every call.
  virtual std::vector<InputDevice> inputDevices() = 0;

  /// A new engine, or null when the system's audio input cannot be reached.
  virtual std::unique_ptr<AudioEngine> makeEngine() = 0;
};

/// The audio system of this platform: JACK (jackd or PipeWire's JACK).
std::unique_ptr<AudioSystem> makeAudioSystem();

/// The device a query designates among `devices`: the first whose uid or
/// name equals it, else the first whose name contains it ignoring case.
std::optional<InputDevice> findDevice(const std::vector<InputDevice>& devices,
                                      const std::string& query);

}  // namespace quilltap
