#include "supervision/device_change.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "app/events.h"
#include "app/state.h"
#include "audio/devices.h"
#include "capture/capture_engine.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

// A JACK client registers its ports one at a time, so a device that is just
// coming back may show fewer inputs than it has for a moment.
constexpr auto kSettleTime = std::chrono::seconds(1);
constexpr auto kSettleStep = std::chrono::milliseconds(20);

std::optional<InputDevice> lookUp(const InputDevice& device) {
  for (const InputDevice& candidate : inputDevices()) {
    if (candidate.uid == device.uid) return candidate;
  }
  return std::nullopt;
}

// The device as it is once it shows every input the recording uses, or as
// it is after the settle time; nothing when it is gone.
std::optional<InputDevice> settled(const InputDevice& device) {
  std::int64_t needed = 0;
  for (const Track& track : rec().tracks) {
    for (std::int64_t c : track.channels) needed = std::max(needed, c);
  }
  auto deadline = std::chrono::steady_clock::now() + kSettleTime;
  std::optional<InputDevice> found = lookUp(device);
  while (found && found->channels < needed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kSettleStep);
    found = lookUp(device);
  }
  return found;
}

void endDisconnected(const InputDevice& device) {
  emit({{"event", "warning"}, {"message", device.name + " disconnected. Recording stopped and saved."}});
  finish("device-disconnected");
}

}  // namespace

void handleConfigurationChange(const InputDevice& device) {
  Recording& r = rec();
  if (r.stopping) return;
  r.engine->stop();
  r.engine->removeTap();

  if (!settled(device)) {
    endDisconnected(device);
    return;
  }
  if (std::optional<Error> error = startEngine()) {
    // The device may have left again while capture was being resumed.
    if (!lookUp(device)) {
      endDisconnected(device);
      return;
    }
    emit({{"event", "warning"},
          {"message", "Could not resume recording: " + error->description + ". Saved what was recorded."}});
    finish("device-changed");
  }
}

}  // namespace quilltap
