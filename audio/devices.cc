#include "audio/devices.h"

#include "app/text.h"
#include "audio/jack_audio.h"

namespace quilltap {
namespace {
AudioSystem* installed = nullptr;
}  // namespace

AudioSystem& audioSystem() {
  if (!installed) installed = new JackAudioSystem();  // lives until exit
  return *installed;
}

void setAudioSystem(AudioSystem* system) { installed = system; }

std::vector<InputDevice> inputDevices() { return audioSystem().inputDevices(); }

std::optional<InputDevice> findDevice(const std::string& query) {
  std::vector<InputDevice> devices = inputDevices();
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
