#include "supervision/device_change.h"

#include "app/events.h"
#include "app/state.h"
#include "audio/devices.h"
#include "capture/capture_engine.h"
#include "writing/finish.h"

namespace quilltap {

void handleConfigurationChange(const InputDevice& device) {
  Recording& r = rec();
  if (r.stopping) return;
  r.engine->stop();
  r.engine->removeTap();

  bool present = false;
  for (const InputDevice& candidate : inputDevices()) {
    if (candidate.uid == device.uid) {
      present = true;
      break;
    }
  }
  if (!present) {
    emit({{"event", "warning"}, {"message", device.name + " disconnected. Recording stopped and saved."}});
    finish("device-disconnected");
    return;
  }
  if (std::optional<Error> error = startEngine()) {
    emit({{"event", "warning"},
          {"message", "Could not resume recording: " + error->description + ". Saved what was recorded."}});
    finish("device-changed");
  }
}

}  // namespace quilltap
