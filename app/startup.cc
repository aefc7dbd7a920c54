#include "app/startup.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "app/command_line.h"
#include "app/events.h"
#include "app/state.h"
#include "audio/devices.h"
#include "capture/capture_engine.h"
#include "dispatch/main_queue.h"
#include "supervision/control_channel.h"
#include "supervision/device_change.h"
#include "supervision/progress.h"
#include "writing/finish.h"
#include "writing/sink.h"

namespace quilltap {
namespace {

constexpr auto kTick = std::chrono::milliseconds(250);

InputDevice findRecordingDevice(const std::string& query) {
  if (std::optional<InputDevice> device = findDevice(query)) return *device;
  std::string names;
  for (const InputDevice& device : inputDevices()) {
    if (!names.empty()) names += ", ";
    names += device.name;
  }
  fail("No audio input matching \"" + query + "\". Is the mixer plugged in over USB? Inputs found: " + names);
}

void checkChannels(const InputDevice& device) {
  for (const Track& track : rec().tracks) {
    for (std::int64_t n : track.channels) {
      if (n < 1 || n > device.channels) {
        fail("Channel " + std::to_string(n) + " does not exist on " + device.name + " (it has " +
             std::to_string(device.channels) + " inputs)");
      }
    }
  }
}

// Signals end a running recording in order. Installed once capture runs, so
// that a signal that comes after "started" always leads to "stopped"; the
// handlers run only once the main queue runs.
void installSignalHandlers() {
  signal(SIGXFSZ, SIG_IGN);  // an over-long file becomes a write error
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    mainQueue().onSignal(signo, [] { finish("signal"); });
  }
}

Event startedEvent() {
  const Recording& r = rec();
  Event tracks = Event::array();
  for (std::size_t k = 0; k < r.tracks.size(); ++k) {
    const Track& track = r.tracks[k];
    tracks.push_back({{"name", track.name},
                      {"channels", track.channels},
                      {"file", r.firstSink->paths()[r.mixing ? 0 : k]}});
  }
  return {{"event", "started"},
          {"device", r.device.name},
          {"sampleRate", r.sampleRate},
          {"deviceChannels", r.hwFormat.channelCount},
          {"bits", r.bitDepth},
          {"tracks", tracks}};
}

}  // namespace

void prepareRecording(int controlFd) {
  Recording& r = rec();
  r.device = findRecordingDevice(r.deviceQuery);
  deriveOutputs(r.device.channels);
  checkChannels(r.device);

  r.engine = audioSystem().makeEngine();
  if (!r.engine) fail("Could not access the audio input unit");
  r.devID = r.device.id;
  std::vector<std::int64_t> used;
  for (const Track& track : r.tracks) used.insert(used.end(), track.channels.begin(), track.channels.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  r.setErr = r.engine->selectDevice(r.device, used);
  if (r.setErr != 0) fail("Could not select " + r.device.name + " (error " + std::to_string(r.setErr) + ")");
  r.hwFormat = r.engine->inputFormat();
  r.sampleRate = r.hwFormat.sampleRate;
  if (r.hwFormat.channelCount == 0 || !(r.sampleRate > 0)) {
    fail(r.device.name + " reported no usable input format");
  }
  r.formats.clear();
  for (const Output& output : r.outputs) {
    r.formats.push_back(OutputFormat{r.sampleRate, static_cast<std::uint32_t>(output.channels)});
  }

  Error error;
  SinkRef sink = Sink::create(r.outDir, "", &error);
  if (!sink) fail(error.description);
  r.current = sink;
  r.firstSink = sink;
  r.abandoned.clear();
  r.pending.clear();
  r.recent.clear();
  r.capturedFrames = 0;
  r.writtenFrames = 0;
  r.peaks.assign(r.tracks.size(), 0.0f);
  r.failedOver = false;
  r.appliedGains = r.gains;
  r.maxPendingSeconds = 120.0;
  r.stopping = false;
  noteVolume();

  InputDevice device = r.device;
  r.engine->onConfigurationChange([device] { handleConfigurationChange(device); });

  if (std::optional<Error> failure = startEngine()) {
    fail("Could not start recording from " + r.device.name + ": " + failure->description);
  }
  installSignalHandlers();
  emit(startedEvent());
  r.progress = mainQueue().every(kTick, kTick, [] { progressTick(); });
  if (controlFd >= 0) installControlChannel(controlFd);
}

void startRecording() {
  prepareRecording(STDIN_FILENO);
  mainQueue().runForever();
}

}  // namespace quilltap
