#pragma once

#include <functional>
#include <string>
#include <vector>

#include "audio/audio_system.h"

namespace quilltap {

class FakeAudioSystem;

/// An engine whose input a test drives: `deliver` calls the tap as the
/// capture thread would, `changeConfiguration` posts the notification.
class FakeEngine : public AudioEngine {
 public:
  explicit FakeEngine(FakeAudioSystem& system) : system_(system) {}
  ~FakeEngine() override;

  Status selectDevice(const InputDevice& device,
                      const std::vector<std::int64_t>& channels) override;
  InputFormat inputFormat() override;
  void installTap(std::uint32_t bufferSize, TapBlock block) override;
  void removeTap() override;
  Status start() override;
  void stop() override;
  void onConfigurationChange(std::function<void()> handler) override;
  std::int64_t takeLostFrames() override;

  /// Calls the tap with `channels` (one vector per input channel, equal
  /// lengths); false when no tap is installed or the engine is stopped.
  bool deliver(const std::vector<std::vector<float>>& channels);
  /// Posts the configuration-change notification to the main queue.
  void changeConfiguration();

  bool running() const { return running_; }
  bool tapInstalled() const { return static_cast<bool>(tap_); }
  std::uint32_t tapBufferSize() const { return tapBufferSize_; }
  int starts() const { return starts_; }
  const InputDevice& selected() const { return selected_; }
  const std::vector<std::int64_t>& usedChannels() const { return used_; }

 private:
  FakeAudioSystem& system_;
  InputDevice selected_;
  std::vector<std::int64_t> used_;
  TapBlock tap_;
  std::uint32_t tapBufferSize_ = 0;
  bool running_ = false;
  int starts_ = 0;
  std::function<void()> changed_;
};

/// The scripted audio system of unit tests.
class FakeAudioSystem : public AudioSystem {
 public:
  std::vector<InputDevice> devices;
  bool engineAvailable = true;
  std::string selectError;       // not empty: selecting the device fails with it
  InputFormat format{48000, 0};  // channelCount 0: the selected device's channels
  std::string startError;        // not empty: start refuses with it
  std::int64_t lostFrames = 0;

  FakeEngine* engine = nullptr;  // the last engine made; owned by the recording

  std::vector<InputDevice> inputDevices() override { return devices; }
  std::unique_ptr<AudioEngine> makeEngine() override;
};

}  // namespace quilltap
