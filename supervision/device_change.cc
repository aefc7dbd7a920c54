#include "supervision/device_change.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

namespace quilltap {
namespace {

// A device that went away may be back at once (a JACK client that restarts,
// a bridge that reconnects), and a JACK client registers its ports one at a
// time, so it may show fewer inputs than it has for a moment.
constexpr auto kSettleTime = std::chrono::seconds(1);
constexpr auto kSettleStep = std::chrono::milliseconds(20);

std::optional<InputDevice> lookUp(AudioSystem& audio, const InputDevice& device) {
  for (const InputDevice& candidate : audio.inputDevices()) {
    if (candidate.uid == device.uid) return candidate;
  }
  return std::nullopt;
}

// The device as it is once it shows every input the recording uses, or as
// it is after the settle time; nothing when it is gone by then.
std::optional<InputDevice> settled(AudioSystem& audio, const InputDevice& device,
                                   const Options& options) {
  std::int64_t needed = 0;
  for (const Track& track : options.tracks) {
    for (std::int64_t c : track.channels) needed = std::max(needed, c);
  }
  auto deadline = std::chrono::steady_clock::now() + kSettleTime;
  std::optional<InputDevice> found = lookUp(audio, device);
  while ((!found || found->channels < needed) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kSettleStep);
    found = lookUp(audio, device);
  }
  return found;
}

void endDisconnected(const InputDevice& device, Finish& finish, const EventStream& events) {
  events.emit({{"event", "warning"},
               {"message", device.name + " disconnected. Recording stopped and saved."}});
  finish.finish("device-disconnected");
}

}  // namespace

void handleConfigurationChange(const InputDevice& device, const Options& options,
                               AudioSystem& audio, Capture& capture, Finish& finish,
                               const EventStream& events) {
  if (finish.stopping()) return;
  capture.stop();

  if (!settled(audio, device, options)) {
    endDisconnected(device, finish, events);
    return;
  }
  if (Status resumed = capture.start(); !resumed.ok()) {
    // The device may have left again while capture was being resumed.
    if (!lookUp(audio, device)) {
      endDisconnected(device, finish, events);
      return;
    }
    events.emit({{"event", "warning"},
                 {"message", "Could not resume recording: " + resumed.message() +
                                 ". Saved what was recorded."}});
    finish.finish("device-changed");
  }
}

}  // namespace quilltap
