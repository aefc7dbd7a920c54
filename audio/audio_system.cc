#include "audio/audio_system.h"

#include "audio/jack_audio.h"
#include "common/text.h"

namespace quilltap {

std::unique_ptr<AudioSystem> makeAudioSystem() { return std::make_unique<JackAudioSystem>(); }

std::optional<InputDevice> findDevice(const std::vector<InputDevice>& devices,
                                      const std::string& query) {
  for (const InputDevice& device : devices) {
    if (device.uid == query || device.name == query) return device;
  }
  std::string needle = lowercase(query);
  for (const InputDevice& device : devices) {
    if (lowercase(device.name).find(needle) != std::string::npos) return device;
  }
  return std::nullopt;
}

}  // namespace quilltap
