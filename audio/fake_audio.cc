#include "audio/fake_audio.h"

#include <thread>

#include "dispatch/main_queue.h"

namespace quilltap {

FakeEngine::~FakeEngine() {
  if (system_.engine == this) system_.engine = nullptr;
}

std::int32_t FakeEngine::selectDevice(const InputDevice& device) {
  selected_ = device;
  return system_.selectStatus;
}

InputFormat FakeEngine::inputFormat() {
  InputFormat format = system_.format;
  if (format.channelCount == 0) format.channelCount = static_cast<std::uint32_t>(selected_.channels);
  return format;
}

void FakeEngine::installTap(std::uint32_t bufferSize, TapBlock block) {
  tapBufferSize_ = bufferSize;
  tap_ = std::move(block);
}

void FakeEngine::removeTap() { tap_ = nullptr; }

bool FakeEngine::start(std::string* error) {
  if (!system_.startError.empty()) {
    *error = system_.startError;
    return false;
  }
  running_ = true;
  ++starts_;
  return true;
}

void FakeEngine::stop() { running_ = false; }

void FakeEngine::onConfigurationChange(std::function<void()> handler) { changed_ = std::move(handler); }

AudioEngine::Losses FakeEngine::takeLosses() {
  Losses taken = system_.losses;
  system_.losses = Losses{};
  return taken;
}

bool FakeEngine::deliver(const std::vector<std::vector<float>>& channels) {
  if (!tap_ || !running_) return false;
  std::vector<const float*> pointers;
  for (const auto& channel : channels) pointers.push_back(channel.data());
  std::uint32_t frames = channels.empty() ? 0 : static_cast<std::uint32_t>(channels[0].size());
  tap_(AudioBuffer{pointers.data(), static_cast<std::uint32_t>(channels.size()), frames});
  return true;
}

void FakeEngine::changeConfiguration() {
  running_ = false;  // the engine stops when its configuration changes
  mainQueue().post([this] {
    if (changed_) changed_();
  });
}

void FakeAudioSystem::requestPermission(std::function<void()> answered) {
  ++permissionRequests;
  permission = permissionAfterRequest;
  std::thread(std::move(answered)).detach();  // the answer comes on a thread of its own
}

std::unique_ptr<AudioEngine> FakeAudioSystem::makeEngine() {
  if (!engineAvailable) return nullptr;
  auto made = std::make_unique<FakeEngine>(*this);
  engine = made.get();
  return made;
}

}  // namespace quilltap
