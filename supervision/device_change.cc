#include "supervision/device_change.h"

#include "app/events.h"
#include "app/state.h"
#include "audio/devices.h"
#include "capture/capture_engine.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

bool present(const InputDevice& device) {
  for (const InputDevice& candidate : inputDevices()) {
    if (candidate.uid == device.uid) return true;
  }
  return false;
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

  if (!present(device)) {
    endDisconnected(device);
    return;
  }
  if (std::optional<Error> error = startEngine()) {
    // The device may have left again while capture was being resumed.
    if (!present(device)) {
      endDisconnected(device);
      return;
    }
    emit({{"event", "warning"},
          {"message", "Could not resume recording: " + error->description + ". Saved what was recorded."}});
    finish("device-changed");
  }
}

}  // namespace quilltap
