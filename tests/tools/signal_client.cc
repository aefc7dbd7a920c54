// signal_client: a JACK client that stands in for a USB mixer in the process tests.
//
//   signal_client --name NAME [--pretty TEXT] [--ports N] [--silent LIST] [--full LIST]
//                 [--inf LIST] [--minus-inf LIST] [--nan LIST] [--repretty-seconds S]
//                 [--shrink-to N]
//
// It owns N audio output ports out_1..out_N. A channel listed in --silent carries zeros, one in
// --full a square wave of +1.0/-1.0 (24 frames each way), one in --inf, --minus-inf or --nan
// that value in every sample (a broken source), and every other channel a counter from which a
// test can recover the position of each frame:
//
//   sample = k / 2^23,  k = (F + 4099 * c) mod 2^22
//
// F is the JACK frame time of the sample and c the 0-based channel. Because F comes from the
// server's frame clock, the counter runs on across restarts of this client and through
// freewheeling, so a recording shows a gap or a repeat wherever it dropped or doubled a frame.
// k / 2^23 is exact in float32 and in a 24-bit file (which holds k); a 16-bit file holds k >> 8.
// The 4099 offset makes every channel distinct, so a swapped channel is visible too.
//
// With --shrink-to, SIGUSR2 unregisters every port after the first N while the client stays:
// a device that changed to fewer channels.
//
// Prints "ready" once active. Exits 0 on SIGTERM/SIGINT/SIGHUP, 1 on bad usage or when the
// client cannot be opened, 2 when the server goes away.

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/uuid.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

enum class Kind { counter, constant, full };

constexpr jack_nframes_t counterMask = (1u << 22) - 1;
constexpr jack_nframes_t channelStride = 4099;
constexpr float counterScale = 1.0f / 8388608.0f;  // 2^-23: exact for every k < 2^22
constexpr jack_nframes_t squareHalfPeriod = 24;

struct Options {
  std::string name;
  std::string pretty;
  bool hasPretty = false;
  int ports = 0;
  std::string silent;
  std::string full;
  std::string inf, minusInf, nan;
  double reprettySeconds = 0;
  int shrinkTo = -1;
};

// Everything the process callback reads; filled before activation and never changed after,
// except that `live` (how many of the ports it writes) may shrink.
struct Generator {
  jack_client_t* client = nullptr;
  std::vector<jack_port_t*> ports;
  std::atomic<size_t> live{0};
  std::vector<Kind> kinds;
  std::vector<float> constants;  // the value of each Kind::constant channel
};

int process(jack_nframes_t frames, void* arg) {
  const auto* gen = static_cast<const Generator*>(arg);
  const jack_nframes_t start = jack_last_frame_time(gen->client);
  const size_t live = gen->live.load();
  for (size_t c = 0; c < live; ++c) {
    auto* out = static_cast<float*>(jack_port_get_buffer(gen->ports[c], frames));
    const jack_nframes_t offset = start + channelStride * static_cast<jack_nframes_t>(c);
    switch (gen->kinds[c]) {
      case Kind::constant:
        for (jack_nframes_t i = 0; i < frames; ++i) out[i] = gen->constants[c];
        break;
      case Kind::full:
        for (jack_nframes_t i = 0; i < frames; ++i)
          out[i] = ((start + i) / squareHalfPeriod) % 2 == 0 ? 1.0f : -1.0f;
        break;
      case Kind::counter:
        // jack_nframes_t wraps at 2^32, a multiple of 2^22, so the counter stays continuous.
        for (jack_nframes_t i = 0; i < frames; ++i)
          out[i] = static_cast<float>((offset + i) & counterMask) * counterScale;
        break;
    }
  }
  return 0;
}

void ignoreMessage(const char*) {}

// Runs on a libjack thread; kill() is safe there and wakes the main thread's sigtimedwait.
void serverGone(void*) { kill(getpid(), SIGUSR1); }

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "signal_client: %s\n", why.c_str());
  std::fprintf(stderr,
               "usage: signal_client --name NAME [--pretty TEXT] [--ports N] [--silent LIST]"
               " [--full LIST] [--inf LIST] [--minus-inf LIST] [--nan LIST]"
               " [--repretty-seconds S] [--shrink-to N]\n");
  std::exit(1);
}

long parseNumber(const std::string& text, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < 0) usage("bad " + what + " " + text);
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options opts;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (i + 1 >= argc) usage("missing value for " + word);
    const std::string value = argv[++i];
    if (word == "--name") {
      opts.name = value;
    } else if (word == "--pretty") {
      opts.pretty = value;
      opts.hasPretty = true;
    } else if (word == "--ports") {
      opts.ports = static_cast<int>(parseNumber(value, "--ports"));
    } else if (word == "--silent") {
      opts.silent = value;
    } else if (word == "--full") {
      opts.full = value;
    } else if (word == "--shrink-to") {
      opts.shrinkTo = static_cast<int>(parseNumber(value, "--shrink-to"));
    } else if (word == "--inf") {
      opts.inf = value;
    } else if (word == "--minus-inf") {
      opts.minusInf = value;
    } else if (word == "--nan") {
      opts.nan = value;
    } else if (word == "--repretty-seconds") {
      char* end = nullptr;
      opts.reprettySeconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(opts.reprettySeconds >= 0))
        usage("bad --repretty-seconds " + value);
    } else {
      usage("unknown option " + word);
    }
  }
  if (opts.name.empty()) usage("--name is required");
  return opts;
}

void markChannels(const std::string& list, Kind kind, Generator& gen, float value = 0.0f) {
  std::vector<Kind>& kinds = gen.kinds;
  size_t pos = 0;
  while (pos <= list.size() && !list.empty()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    const long channel = parseNumber(list.substr(pos, comma - pos), "channel");
    if (channel < 1 || channel > static_cast<long>(kinds.size()))
      usage("channel " + std::to_string(channel) + " is not one of the ports");
    if (kinds[channel - 1] != Kind::counter)
      usage("channel " + std::to_string(channel) + " is listed twice");
    kinds[channel - 1] = kind;
    gen.constants[channel - 1] = value;
    pos = comma + 1;
  }
}

// The metadata store is shared by every server on the machine while client UUIDs repeat
// between servers, so the pretty name is (re)asserted here, and a client without one clears
// whatever an earlier client with the same UUID left behind.
void assertPrettyName(jack_client_t* client, const Options& opts) {
  char* text = jack_get_uuid_for_client_name(client, jack_get_client_name(client));
  if (text == nullptr) return;
  jack_uuid_t uuid;
  const bool parsed = jack_uuid_parse(text, &uuid) == 0;
  jack_free(text);
  if (!parsed) return;
  // Only a change is written: every write notifies all clients of the server, the recorder too.
  char* value = nullptr;
  char* type = nullptr;
  const bool present = jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0;
  const bool same = present && value != nullptr && opts.pretty == value;
  if (present) {
    jack_free(value);
    jack_free(type);
  }
  if (opts.hasPretty && !same) {
    jack_set_property(client, uuid, JACK_METADATA_PRETTY_NAME, opts.pretty.c_str(), "text/plain");
  } else if (!opts.hasPretty && present) {
    jack_remove_property(client, uuid, JACK_METADATA_PRETTY_NAME);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options opts = parseOptions(argc, argv);

  Generator gen;
  gen.kinds.assign(static_cast<size_t>(opts.ports), Kind::counter);
  gen.constants.assign(static_cast<size_t>(opts.ports), 0.0f);
  constexpr float inf = std::numeric_limits<float>::infinity();
  markChannels(opts.silent, Kind::constant, gen);
  markChannels(opts.full, Kind::full, gen);
  markChannels(opts.inf, Kind::constant, gen, inf);
  markChannels(opts.minusInf, Kind::constant, gen, -inf);
  markChannels(opts.nan, Kind::constant, gen, std::numeric_limits<float>::quiet_NaN());

  // Blocked before libjack starts its threads, so they inherit the mask and only the main
  // thread's sigtimedwait ever sees these signals.
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&waited, sig);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);

  jack_set_error_function(ignoreMessage);
  jack_set_info_function(ignoreMessage);
  jack_status_t status;
  gen.client =
      jack_client_open(opts.name.c_str(),
                       static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
  if (gen.client == nullptr) {
    std::fprintf(stderr, "signal_client: cannot open client %s (status 0x%x)\n", opts.name.c_str(),
                 static_cast<unsigned>(status));
    return 1;
  }

  for (int n = 1; n <= opts.ports; ++n) {
    const std::string port = "out_" + std::to_string(n);
    jack_port_t* p =
        jack_port_register(gen.client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (p == nullptr) {
      std::fprintf(stderr, "signal_client: cannot register %s\n", port.c_str());
      jack_client_close(gen.client);
      return 1;
    }
    gen.ports.push_back(p);
  }
  gen.live = gen.ports.size();
  jack_set_process_callback(gen.client, process, &gen);
  jack_on_shutdown(gen.client, serverGone, nullptr);
  if (jack_activate(gen.client) != 0) {
    std::fprintf(stderr, "signal_client: cannot activate\n");
    jack_client_close(gen.client);
    return 1;
  }
  assertPrettyName(gen.client, opts);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  int sig = 0;
  for (;;) {
    if (opts.reprettySeconds > 0) {
      timespec wait;
      wait.tv_sec = static_cast<time_t>(opts.reprettySeconds);
      wait.tv_nsec =
          static_cast<long>((opts.reprettySeconds - static_cast<double>(wait.tv_sec)) * 1e9);
      sig = sigtimedwait(&waited, nullptr, &wait);
      if (sig < 0) {
        if (errno == EAGAIN) assertPrettyName(gen.client, opts);
        continue;
      }
    } else if (sigwait(&waited, &sig) != 0) {
      continue;
    }
    if (sig == SIGUSR2) {
      if (opts.shrinkTo >= 0 && static_cast<size_t>(opts.shrinkTo) < gen.live) {
        gen.live = static_cast<size_t>(opts.shrinkTo);
        usleep(200 * 1000);  // a cycle already running may still write the ports that go
        for (size_t c = gen.ports.size(); c-- > gen.live;)
          jack_port_unregister(gen.client, gen.ports[c]);
      }
      continue;
    }
    break;
  }
  // libjack can deadlock in jack_client_close once its server is gone, so do not close then.
  // jackd dies of SIGPIPE if a client's socket closes while it still sends its shutdown
  // notifications, so give it a moment first. Should the server vanish during a close, the
  // alarm ends the process all the same.
  if (sig == SIGUSR1) {
    usleep(300 * 1000);
    _exit(2);
  }
  alarm(5);
  jack_client_close(gen.client);
  return 0;
}
