#include "app/startup.h"

#include <signal.h>

#include <algorithm>
#include <chrono>

#include "app/command_line.h"
#include "supervision/control_channel.h"
#include "supervision/device_change.h"

namespace quilltap {
namespace {

constexpr auto kTick = std::chrono::milliseconds(250);

Status checkChannels(const Options& options, const InputDevice& device) {
  for (const Track& track : options.tracks) {
    for (std::int64_t n : track.channels) {
      if (n < 1 || n > device.channels) {
        return Status::error("Channel " + std::to_string(n) + " does not exist on " + device.name +
                             " (it has " + std::to_string(device.channels) + " inputs)");
      }
    }
  }
  return Status();
}

std::vector<std::int64_t> usedChannels(const Options& options) {
  std::vector<std::int64_t> used;
  for (const Track& track : options.tracks)
    used.insert(used.end(), track.channels.begin(), track.channels.end());
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  return used;
}

}  // namespace

Recorder::Recorder(Options options, AudioSystem& audio, FileSystem& drive,
                   const EventStream& events, const Clock& clock, std::function<void(int)> exit)
    : options_(std::move(options)),
      audio_(audio),
      drive_(drive),
      events_(events),
      clock_(clock),
      writer_(options_, take_,
              [this](const std::string& message, const SinkRef& from) {
                failover_.request(message, from);
              }),
      capture_(options_, take_, writer_, clock_),
      failover_(options_, take_, writer_, drive_, events_, finish_),
      finish_(options_, take_, writer_, failover_, capture_, events_, std::move(exit)) {}

Recorder::~Recorder() {
  if (timer_) mainQueue().cancel(timer_);
}

Status Recorder::findDevice() {
  std::vector<InputDevice> devices = audio_.inputDevices();
  if (std::optional<InputDevice> found = quilltap::findDevice(devices, options_.deviceQuery)) {
    device_ = *found;
    return Status();
  }
  std::string names;
  for (const InputDevice& device : devices) {  // the list searched, not a newer one
    if (!names.empty()) names += ", ";
    names += device.name;
  }
  return Status::error("No audio input matching \"" + options_.deviceQuery +
                       "\". Is the mixer plugged in over USB? Inputs found: " + names);
}

Event Recorder::startedEvent() {
  Event tracks = Event::array();
  for (std::size_t k = 0; k < options_.tracks.size(); ++k) {
    const Track& track = options_.tracks[k];
    tracks.push_back({{"name", track.name},
                      {"channels", track.channels},
                      {"file", take_.firstSink->paths()[options_.mixing ? 0 : k]}});
  }
  return {{"event", "started"},
          {"device", device_.name},
          {"sampleRate", options_.sampleRate},
          {"deviceChannels", capture_.engine().inputFormat().channelCount},
          {"bits", options_.bitDepth},
          {"tracks", tracks}};
}

Status Recorder::start(int controlFd) {
  if (Status found = findDevice(); !found.ok()) return found;
  deriveOutputs(options_, device_.channels);
  if (Status checked = checkChannels(options_, device_); !checked.ok()) return checked;

  std::unique_ptr<AudioEngine> engine = audio_.makeEngine();
  if (!engine) return Status::error("Could not access the audio input unit");
  if (Status selected = engine->selectDevice(device_, usedChannels(options_)); !selected.ok())
    return selected;
  InputFormat format = engine->inputFormat();
  options_.sampleRate = format.sampleRate;
  if (format.channelCount == 0 || !(options_.sampleRate > 0)) {
    return Status::error(device_.name + " reported no usable input format");
  }
  capture_.prepare(std::move(engine));

  SinkRef sink;
  if (Status made = Sink::create(drive_, options_, options_.outDir, "", &sink); !made.ok())
    return made;
  {
    MutexLock hold(take_.lock);
    take_.current = sink;
    take_.peaks.assign(options_.tracks.size(), 0.0f);
  }
  take_.firstSink = sink;
  progress_ = std::make_unique<Progress>(options_, take_, capture_, writer_, failover_, finish_,
                                         events_, clock_);

  capture_.engine().onConfigurationChange([this, device = device_] {
    handleConfigurationChange(device, options_, audio_, capture_, finish_, events_);
  });
  if (Status started = capture_.start(); !started.ok()) {
    return Status::error("Could not start recording from " + device_.name + ": " +
                         started.message());
  }
  // Signals end a running recording in order. Installed once capture runs,
  // so that a signal that comes after "started" always leads to "stopped";
  // the handlers run only once the main queue runs.
  signal(SIGXFSZ, SIG_IGN);  // an over-long file becomes a write error
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    mainQueue().onSignal(signo, [this] { finish_.finish("signal"); });
  }
  events_.emit(startedEvent());
  timer_ = mainQueue().every(kTick, kTick, [this] { progress_->tick(); });
  if (controlFd >= 0) {
    installControlChannel(controlFd, capture_.processor(),
                          [this](const std::string& reason) { finish_.finish(reason); });
  }
  return Status();
}

}  // namespace quilltap
