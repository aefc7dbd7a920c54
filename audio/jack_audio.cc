#include "audio/jack_audio.h"

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/uuid.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <thread>

#include "audio/sample_ring.h"
#include "dispatch/main_queue.h"
#include "dispatch/semaphore.h"

namespace quilltap {
namespace {

constexpr const char* kClientName = "quilltap";

// libjack prints to stderr by default; the recorder speaks only in events.
void silent(const char*) {}

jack_client_t* openClient() {
  jack_status_t status;
  return jack_client_open(kClientName, JackNoStartServer, &status);
}

struct JackDevice {
  InputDevice device;
  std::vector<std::string> ports;  // full names, in listing order
};

std::string clientOfPort(const char* portName) {
  const char* colon = std::strchr(portName, ':');
  return colon ? std::string(portName, colon) : std::string(portName);
}

std::string prettyName(jack_client_t* client, const std::string& clientName) {
  char* uuidText = jack_get_uuid_for_client_name(client, clientName.c_str());
  if (!uuidText) return clientName;
  jack_uuid_t uuid = 0;
  bool parsed = jack_uuid_parse(uuidText, &uuid) == 0;
  jack_free(uuidText);
  if (!parsed) return clientName;
  char* value = nullptr;
  char* type = nullptr;
  std::string name = clientName;
  if (jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0) {
    if (value && *value) name = value;
    jack_free(value);
    jack_free(type);
  }
  return name;
}

// The devices as `client` sees them, in the order of their first audio output port.
std::vector<JackDevice> listDevices(jack_client_t* client) {
  std::vector<JackDevice> devices;
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
  if (!ports) return devices;
  std::string own = jack_get_client_name(client);
  std::map<std::string, std::size_t> index;
  for (const char** port = ports; *port; ++port) {
    std::string owner = clientOfPort(*port);
    if (owner == own) continue;
    auto [at, added] = index.emplace(owner, devices.size());
    if (added) {
      JackDevice fresh;
      fresh.device.uid = owner;
      devices.push_back(fresh);
    }
    devices[at->second].ports.push_back(*port);
  }
  jack_free(ports);
  for (JackDevice& entry : devices) {
    entry.device.name = prettyName(client, entry.device.uid);
    entry.device.channels = static_cast<std::int64_t>(entry.ports.size());
  }
  return devices;
}

std::vector<std::string> devicePorts(jack_client_t* client, const std::string& uid) {
  for (JackDevice& entry : listDevices(client)) {
    if (entry.device.uid == uid) return entry.ports;
  }
  return {};
}

// How long stopping waits for the server to take the client out of its
// graph. A server that is alive but wedged (stopped, or stuck) never answers;
// the recording must still close its files.
constexpr auto kDeactivateTimeout = std::chrono::seconds(3);

class JackEngine : public AudioEngine {
 public:
  explicit JackEngine(jack_client_t* client) : client_(client) {
    sem_init(&dataReady_, 0, 0);
    sem_init(&spaceFreed_, 0, 0);
    jack_set_process_callback(client_, &JackEngine::process, this);
    jack_set_freewheel_callback(client_, &JackEngine::freewheel, this);
    jack_set_client_registration_callback(client_, &JackEngine::clientRegistration, this);
    jack_set_port_registration_callback(client_, &JackEngine::portRegistration, this);
    jack_set_port_connect_callback(client_, &JackEngine::portConnect, this);
    jack_set_sample_rate_callback(client_, &JackEngine::sampleRate, this);
    jack_on_info_shutdown(client_, &JackEngine::shutdown, this);
  }

  ~JackEngine() override {
    stop();
    removeTap();
    // A wedged server would hang the close too; the process is ending anyway.
    if (!wedged_) jack_client_close(client_);
    sem_destroy(&dataReady_);
    sem_destroy(&spaceFreed_);
  }

  Status selectDevice(const InputDevice& device,
                      const std::vector<std::int64_t>& channels) override {
    deviceUid_ = device.uid;
    for (std::int64_t n = 1; n <= device.channels; ++n) {
      std::string name = "in_" + std::to_string(n);
      jack_port_t* port =
          jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
      if (!port) return Status::error("Could not select " + device.name + " (error -1)");
      ports_.push_back(port);
    }
    for (std::int64_t c : channels) {
      if (c >= 1 && c <= device.channels) links_.push_back(Link{static_cast<std::size_t>(c - 1)});
    }
    portBuffers_.assign(ports_.size(), nullptr);
    return Status();
  }

  InputFormat inputFormat() override {
    return InputFormat{static_cast<double>(jack_get_sample_rate(client_)),
                       static_cast<std::uint32_t>(ports_.size())};
  }

  void installTap(std::uint32_t bufferSize, TapBlock block) override {
    double rate = jack_get_sample_rate(client_);
    std::size_t capacity = std::max<std::size_t>(static_cast<std::size_t>(2 * rate) + bufferSize,
                                                 4 * static_cast<std::size_t>(bufferSize));
    ring_ = std::make_unique<SampleRing>(ports_.size(), capacity);
    tapFrames_.store(bufferSize, std::memory_order_relaxed);
    tapStopping_.store(false);
    tapThread_ =
        std::thread([this, bufferSize, block = std::move(block)] { runTap(bufferSize, block); });
    pthread_setname_np(tapThread_.native_handle(), "quilltap tap");
  }

  void removeTap() override {
    if (!tapThread_.joinable()) return;
    tapStopping_.store(true);
    sem_post(&dataReady_);
    tapThread_.join();
    droppedBefore_ += ring_->takeDropped();
    ring_.reset();
  }

  // Every channel the recording uses is connected to its device port, or
  // the start fails: a recording without its input would report progress
  // with frozen seconds and never end.
  Status start() override {
    if (serverGone_.load()) {
      return Status::error(wedged_ ? "the JACK server does not answer"
                                   : "the JACK server has shut down");
    }
    startRate_ = jack_get_sample_rate(client_);
    cycleEnd_.reset();
    std::vector<std::string> source = devicePorts(client_, deviceUid_);
    for (Link& link : links_) {
      if (link.channel >= source.size()) {
        return Status::error(source.empty() ? "the device is gone"
                                            : "input " + std::to_string(link.channel + 1) +
                                                  " is missing (the device has " +
                                                  std::to_string(source.size()) + ")");
      }
      link.source = source[link.channel];
      link.sourcePort.store(jack_port_by_name(client_, link.source.c_str()));
      link.live.store(false);
      link.cut.store(false);
    }
    deviceGone_.store(false);
    // Changes from here on are looked at once start has returned.
    watching_.store(true);
    capturing_.store(true);
    if (int status = jack_activate(client_); status != 0) {
      stop();
      return Status::error("JACK refused to activate the client (error " + std::to_string(status) +
                           ")");
    }
    active_ = true;
    for (Link& link : links_) {
      int status = jack_connect(client_, link.source.c_str(), jack_port_name(ports_[link.channel]));
      if (!link.sourcePort.load() || (status != 0 && status != EEXIST)) {
        stop();
        return Status::error("could not connect " + link.source + " (error " +
                             std::to_string(status) + ")");
      }
      // Capture waits for JACK's notification of this connection: only then
      // does it carry audio (PipeWire links a few cycles later). The check
      // asked for here also finds a connection whose notification came early.
    }
    askToCheck();
    return Status();
  }

  void stop() override {
    watching_.store(false);
    capturing_.store(false, std::memory_order_release);
    sem_post(&spaceFreed_);  // a freewheeling callback waiting for room gives up
    // After the server went away the client is dead, and libjack can hang in
    // calls on it; its process callback no longer runs anyway.
    if (active_ && !serverGone_.load()) deactivate();
    active_ = false;
  }

  void onConfigurationChange(std::function<void()> handler) override {
    changed_ = std::move(handler);
  }

  std::int64_t takeLostFrames() override {
    std::int64_t dropped = droppedBefore_.exchange(0) + (ring_ ? ring_->takeDropped() : 0);
    return dropped + skippedFrames_.exchange(0);
  }

 private:
  /// One device port the recording uses and its connection to our port.
  struct Link {
    explicit Link(std::size_t channel) : channel(channel) {}
    Link(Link&& other) noexcept : channel(other.channel) {}
    std::size_t channel;                            // 0-based; our port ports_[channel]
    std::string source;                             // the device port's full name (main queue)
    std::atomic<jack_port_t*> sourcePort{nullptr};  // read by notifications
    std::atomic<bool> live{false};                  // set and cleared by notifications and checks
    std::atomic<bool> cut{false};                   // notified cut while live
  };

  // jack_deactivate returns once the process callback has left for good.
  // A server that does not answer within the time-out counts as gone.
  void deactivate() {
    struct Outcome {
      Semaphore done;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread([client = client_, outcome] {
      jack_deactivate(client);
      outcome->done.signal();
    }).detach();
    if (!outcome->done.waitUntil(std::chrono::steady_clock::now() + kDeactivateTimeout)) {
      wedged_ = true;
      serverGone_.store(true);
    }
  }

  // JACK's real-time thread: copy into the ring, wake the tap thread, return.
  // It reads only atomics that other threads set: no JACK call here may take
  // a lock (PipeWire's jack_port_connected does).
  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackEngine*>(arg);
    SampleRing* ring = self->ring_.get();
    if (!self->capturing_.load(std::memory_order_acquire) || !ring) {
      self->wasLive_ = false;
      return 0;
    }
    // Cycles in which the device's ports do not reach ours hold silence, not
    // audio: before the connections are in place, and once the device has
    // gone, until the main queue stops the engine.
    if (!self->allLive()) {
      self->cycleEnd_.reset();  // a gap here is the device's absence, not an overrun
      return 0;
    }

    // Cycles the server skipped (an xrun) are input lost, measured on its
    // clock, which wraps: the difference is taken modulo 2^32 and a clock
    // that went back counts nothing.
    jack_nframes_t now = jack_last_frame_time(self->client_);
    if (self->cycleEnd_.has_value()) {
      auto skipped = static_cast<std::int32_t>(now - *self->cycleEnd_);
      if (skipped > 0) self->skippedFrames_.fetch_add(skipped, std::memory_order_relaxed);
    }
    self->cycleEnd_ = now + frames;

    for (std::size_t c = 0; c < self->ports_.size(); ++c) {
      self->portBuffers_[c] =
          static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
    }
    if (ring->writable() < frames && self->freewheeling_.load(std::memory_order_relaxed)) {
      // Offline: nothing is real-time any more, so wait for the tap thread.
      while (ring->writable() < frames && self->capturing_.load(std::memory_order_acquire)) {
        sem_post(&self->dataReady_);
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += 50'000'000;
        if (until.tv_nsec >= 1'000'000'000) {
          until.tv_sec += 1;
          until.tv_nsec -= 1'000'000'000;
        }
        sem_timedwait(&self->spaceFreed_, &until);
      }
    }
    ring->push(self->portBuffers_.data(), frames);
    // The tap thread takes whole buffers only: woken for less, it would
    // find nothing to do.
    if (ring->readable() >= self->tapFrames_.load(std::memory_order_relaxed))
      sem_post(&self->dataReady_);
    return 0;
  }

  // Real-time thread. A connection counts from the cycle after the one that
  // first saw it: JACK puts a new connection into its graph at the start of
  // a cycle, which may have begun before the notification came.
  bool allLive() {
    bool live = !links_.empty() && !deviceGone_.load(std::memory_order_acquire);
    for (const Link& link : links_) live = live && link.live.load(std::memory_order_acquire);
    bool settled = live && wasLive_;
    wasLive_ = live;
    return settled;
  }

  void runTap(std::uint32_t bufferSize, const TapBlock& block) {
    const std::size_t channels = ring_->channels();
    std::vector<float> staging(channels * bufferSize);
    std::vector<float*> writable(channels);
    std::vector<const float*> readable(channels), inRing(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      writable[c] = staging.data() + c * bufferSize;
      readable[c] = writable[c];
    }
    // Whole buffers in a ring whose size is a multiple of theirs never wrap:
    // the block reads them where they are, and only then is their room freed.
    auto deliver = [&](std::size_t frames) {
      const bool inPlace = ring_->peek(inRing.data(), frames);
      if (!inPlace) ring_->read(writable.data(), frames);
      block(AudioBuffer{inPlace ? inRing.data() : readable.data(),
                        static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(frames),
                        freewheeling_.load()});
      if (inPlace) ring_->consume(frames);
      sem_post(&spaceFreed_);
    };
    for (;;) {
      bool stopping = tapStopping_.load();
      while (ring_->readable() >= bufferSize) deliver(bufferSize);
      if (stopping) {
        if (std::size_t rest = ring_->readable(); rest > 0) deliver(rest);
        return;
      }
      while (sem_wait(&dataReady_) != 0 && errno == EINTR) {
      }
    }
  }

  // Notification callbacks run on JACK's notification thread. They mark what
  // the process callback must know at once in atomics, and ask the main queue
  // to look at the rest.
  void askToCheck() {
    if (!watching_.load()) return;
    if (checkPosted_.exchange(true)) return;
    mainQueue().post([this] { checkConfiguration(); });
  }

  // On the main queue: did anything the recording depends on change?
  void checkConfiguration() {
    checkPosted_.store(false);
    if (!watching_.load() || !changed_) return;
    bool changed =
        serverGone_.load() || deviceGone_.load() || jack_get_sample_rate(client_) != startRate_;
    for (Link& link : links_) {
      if (changed) break;
      // A connection that start made shows here once the server has put it
      // in place (PipeWire takes a few cycles), and may have come before
      // start listened for its notification. Not there yet is no change;
      // not there after a cut was notified is.
      if (jack_port_by_name(client_, link.source.c_str()) == nullptr) {
        changed = true;
      } else if (jack_port_connected_to(ports_[link.channel], link.source.c_str())) {
        link.live.store(true, std::memory_order_release);
      } else {
        changed = link.cut.load();
      }
    }
    if (changed) {
      watching_.store(false);
      changed_();
    }
  }

  // The link between `source` and our `destination`, if it is one of ours.
  Link* linkOf(jack_port_t* source, jack_port_t* destination) {
    for (Link& link : links_) {
      if (link.sourcePort.load() == source && ports_[link.channel] == destination) return &link;
    }
    return nullptr;
  }

  static void freewheel(int starting, void* arg) {
    static_cast<JackEngine*>(arg)->freewheeling_.store(starting != 0);
  }
  static void clientRegistration(const char* name, int registered, void* arg) {
    auto* self = static_cast<JackEngine*>(arg);
    if (!registered && self->watching_.load() && name == self->deviceUid_)
      self->deviceGone_.store(true);
    self->askToCheck();
  }
  static void portRegistration(jack_port_id_t, int, void* arg) {
    static_cast<JackEngine*>(arg)->askToCheck();
  }
  static void portConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* arg) {
    auto* self = static_cast<JackEngine*>(arg);
    if (self->watching_.load()) {
      if (Link* link =
              self->linkOf(jack_port_by_id(self->client_, a), jack_port_by_id(self->client_, b))) {
        // A cut notified before this start's connection came is an earlier one's.
        if (link->live.exchange(connected != 0, std::memory_order_acq_rel) && !connected)
          link->cut.store(true);
      }
    }
    self->askToCheck();
  }
  static int sampleRate(jack_nframes_t, void* arg) {
    static_cast<JackEngine*>(arg)->askToCheck();
    return 0;
  }
  static void shutdown(jack_status_t, const char*, void* arg) {
    auto* self = static_cast<JackEngine*>(arg);
    self->serverGone_.store(true);
    self->capturing_.store(false);
    sem_post(&self->spaceFreed_);
    self->askToCheck();
  }

  jack_client_t* client_;
  std::string deviceUid_;
  std::vector<jack_port_t*> ports_;
  std::vector<Link> links_;                // fixed after selectDevice; `live` is atomic
  std::vector<const float*> portBuffers_;  // process callback only
  jack_nframes_t startRate_ = 0;
  bool active_ = false;
  bool wedged_ = false;  // main queue only

  std::unique_ptr<SampleRing> ring_;
  std::thread tapThread_;
  std::atomic<bool> tapStopping_{false};
  std::atomic<std::size_t> tapFrames_{0};  // the tap's buffer size
  sem_t dataReady_;
  sem_t spaceFreed_;

  std::atomic<bool> capturing_{false};
  std::atomic<bool> deviceGone_{false};     // the device's client left the server
  std::optional<jack_nframes_t> cycleEnd_;  // process callback only
  bool wasLive_ = false;                    // process callback only
  std::atomic<bool> freewheeling_{false};
  std::atomic<bool> watching_{false};
  std::atomic<bool> checkPosted_{false};
  std::atomic<bool> serverGone_{false};
  std::function<void()> changed_;

  std::atomic<std::int64_t> droppedBefore_{0};  // dropped by a ring since removed
  std::atomic<std::int64_t> skippedFrames_{0};  // the server skipped cycles
};

}  // namespace

JackAudioSystem::JackAudioSystem() {
  jack_set_error_function(silent);
  jack_set_info_function(silent);
}

JackAudioSystem::~JackAudioSystem() {
  if (spare_) jack_client_close(spare_);
}

std::vector<InputDevice> JackAudioSystem::inputDevices() {
  jack_client_t* client = spare_ ? spare_ : openClient();
  if (!client) return {};
  std::vector<InputDevice> devices;
  for (JackDevice& entry : listDevices(client)) devices.push_back(entry.device);
  // Once recording, a client kept open could outlive its server, and closing
  // it then may hang: those that look for a device close theirs at once.
  if (engineMade_) {
    jack_client_close(client);
  } else {
    spare_ = client;
  }
  return devices;
}

std::unique_ptr<AudioEngine> JackAudioSystem::makeEngine() {
  jack_client_t* client = spare_ ? spare_ : openClient();
  spare_ = nullptr;
  engineMade_ = true;
  if (!client) return nullptr;
  return std::make_unique<JackEngine>(client);
}

}  // namespace quilltap
