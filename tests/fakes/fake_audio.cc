#include "tests/fakes/fake_audio.h"

#include <array>
#include <utility>

#include "dispatch/main_queue.h"

namespace quilltap {

FakeEngine::~FakeEngine() {
  if (system_.engine == this) system_.engine = nullptr;
}

Status FakeEngine::selectDevice(const InputDevice& device,
                                const std::vector<std::int64_t>& channels) {
  selected_ = device;
  used_ = channels;
  return system_.selectError.empty() ? Status() : Status::error(system_.selectError);
}

InputFormat FakeEngine::inputFormat() {
  InputFormat format = system_.format;
  if (format.channelCount == 0)
    format.channelCount = static_cast<std::uint32_t>(selected_.channels);
  return format;
}

void FakeEngine::installTap(std::uint32_t bufferSize, TapBlock block) {
  tapBufferSize_ = bufferSize;
  tap_ = std::move(block);
}

void FakeEngine::removeTap() { tap_ = nullptr; }

Status FakeEngine::start() {
  if (!system_.startError.empty()) return Status::error(system_.startError);
  running_ = true;
  ++starts_;
  return Status();
}

void FakeEngine::stop() { running_ = false; }

void FakeEngine::onConfigurationChange(std::function<void()> handler) {
  changed_ = std::move(handler);
}

std::int64_t FakeEngine::takeLostFrames() { return std::exchange(system_.lostFrames, 0); }

bool FakeEngine::deliver(const std::vector<std::vector<float>>& channels) {
  if (!tap_ || !running_) return false;
  // No allocation here: tests make the tap's own allocations fail.
  std::array<const float*, 64> pointers{};
  for (std::size_t c = 0; c < channels.size() && c < pointers.size(); ++c)
    pointers[c] = channels[c].data();
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

std::unique_ptr<AudioEngine> FakeAudioSystem::makeEngine() {
  if (!engineAvailable) return nullptr;
  auto made = std::make_unique<FakeEngine>(*this);
  engine = made.get();
  return made;
}

}  // namespace quilltap
