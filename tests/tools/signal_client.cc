// signal_client: a JACK client standing in for a USB mixer in the process tests.
//
//   signal_client --name NAME [--ports N] [--pretty TEXT] [--silent|--full|--inf|--minus-inf|--nan
//                 LIST] [--shrink-to N] [--armed]
//
// Ports out_1..out_N carry a counter, sample = k / 2^23 with k = (F + 4099 * c) mod 2^22, F the
// JACK frame time and c the 0-based channel: exact in float32 and in 24-bit files, so a recording
// shows every lost, repeated or swapped frame, and it runs on across restarts of this client.
// Listed channels carry zeros, a +-1 square wave, +inf, -inf or NaN instead.
// SIGUSR2 with --shrink-to unregisters every port after the first N (a device that changed).
// --armed loads libjack, says "armed" and opens the client only on a line on stdin, retrying
// until the name is free: a device that comes back within a few cycles.
// Says "ready" once active; exits 0 on SIGTERM/SIGINT/SIGHUP, 1 on errors, 2 when the server goes.

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

constexpr float kSquare = std::numeric_limits<float>::max();  // marks the square wave

struct Generator {
  jack_client_t* client = nullptr;
  std::vector<jack_port_t*> ports;
  std::atomic<size_t> live{0};
  std::vector<bool> counter;    // per channel: the counter, or else
  std::vector<float> constant;  // this value (kSquare: the square wave)
};

int process(jack_nframes_t frames, void* arg) {
  const auto* gen = static_cast<const Generator*>(arg);
  const jack_nframes_t start = jack_last_frame_time(gen->client);
  for (size_t c = 0; c < gen->live.load(); ++c) {
    auto* out = static_cast<float*>(jack_port_get_buffer(gen->ports[c], frames));
    const jack_nframes_t offset = start + 4099u * static_cast<jack_nframes_t>(c);
    for (jack_nframes_t i = 0; i < frames; ++i) {
      // jack_nframes_t wraps at 2^32, a multiple of 2^22: the counter stays continuous.
      if (gen->counter[c]) out[i] = static_cast<float>((offset + i) & 0x3fffffu) / 8388608.0f;
      else if (gen->constant[c] == kSquare) out[i] = (start + i) / 24 % 2 ? -1.0f : 1.0f;
      else out[i] = gen->constant[c];
    }
  }
  return 0;
}

void quiet(const char*) {}
void serverGone(void*) { kill(getpid(), SIGUSR1); }  // wakes the main thread's sigtimedwait

// The metadata store is shared by every server of the machine while client UUIDs repeat between
// servers, so the pretty name is reasserted often (a client without one removes a stale one at
// the start); only a change is written, since every write notifies all clients.
void assertPrettyName(jack_client_t* client, const char* pretty) {
  char* text = jack_get_uuid_for_client_name(client, jack_get_client_name(client));
  jack_uuid_t uuid;
  if (text == nullptr) return;
  const bool parsed = jack_uuid_parse(text, &uuid) == 0;
  jack_free(text);
  char *value = nullptr, *type = nullptr;
  if (!parsed) return;
  const bool present = jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0;
  const bool same = present && value != nullptr && pretty != nullptr && !strcmp(pretty, value);
  if (present) jack_free(value), jack_free(type);
  if (pretty != nullptr && !same)
    jack_set_property(client, uuid, JACK_METADATA_PRETTY_NAME, pretty, "text/plain");
  else if (pretty == nullptr && present)
    jack_remove_property(client, uuid, JACK_METADATA_PRETTY_NAME);
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = nullptr;
  const char* pretty = nullptr;
  size_t ports = 0, shrinkTo = SIZE_MAX;
  bool armed = false;
  std::vector<std::pair<std::string, std::string>> lists;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--armed") armed = true;
    else if (i + 1 >= argc) return 1;
    else if (word == "--name") name = argv[++i];
    else if (word == "--pretty") pretty = argv[++i];
    else if (word == "--ports") ports = std::strtoul(argv[++i], nullptr, 10);
    else if (word == "--shrink-to") shrinkTo = std::strtoul(argv[++i], nullptr, 10);
    else lists.emplace_back(word, argv[++i]);
  }
  if (name == nullptr) return 1;
  Generator gen;
  gen.counter.assign(ports, true);
  gen.constant.assign(ports, 0.0f);
  constexpr float inf = std::numeric_limits<float>::infinity();
  for (const auto& [flag, list] : lists) {
    const float value = flag == "--silent" ? 0.0f : flag == "--full" ? kSquare
                        : flag == "--inf" ? inf : flag == "--minus-inf" ? -inf
                        : flag == "--nan" ? std::numeric_limits<float>::quiet_NaN() : 1.0f;
    if (value == 1.0f) return 1;
    for (const char* p = list.c_str(); *p;) {
      char* end;
      const size_t channel = std::strtoul(p, &end, 10);
      if (channel < 1 || channel > ports) return 1;
      gen.counter[channel - 1] = false;
      gen.constant[channel - 1] = value;
      p = *end ? end + 1 : end;
    }
  }

  // Blocked before libjack starts its threads, so only the main thread's wait sees them.
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&waited, sig);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  jack_set_error_function(quiet);
  jack_set_info_function(quiet);
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackUseExactName);
  if (armed) {
    std::fputs("armed\n", stdout);
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin)) return 1;
    // Fails while the old client is there; a pause between tries leaves the server to the
    // recorder, which looks for the device meanwhile.
    while (!(gen.client = jack_client_open(name, options, nullptr))) usleep(2000);
  } else if (!(gen.client = jack_client_open(name, options, nullptr))) {
    return 1;
  }
  for (size_t n = 1; n <= ports; ++n) {
    const std::string port = "out_" + std::to_string(n);
    gen.ports.push_back(jack_port_register(gen.client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsOutput, 0));
    if (gen.ports.back() == nullptr) return 1;
  }
  gen.live = ports;
  jack_set_process_callback(gen.client, process, &gen);
  jack_on_shutdown(gen.client, serverGone, nullptr);
  if (jack_activate(gen.client) != 0) return 1;
  assertPrettyName(gen.client, pretty);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  int sig = 0;
  for (;;) {
    const timespec tick{0, 200000000};
    sig = sigtimedwait(&waited, nullptr, &tick);
    if (sig < 0) {
      if (errno == EAGAIN && pretty != nullptr) assertPrettyName(gen.client, pretty);
    } else if (sig == SIGUSR2 && shrinkTo < gen.live) {
      gen.live = shrinkTo;
      usleep(200 * 1000);  // a cycle already running may still write the ports that go
      for (size_t c = ports; c-- > shrinkTo;) jack_port_unregister(gen.client, gen.ports[c]);
    } else if (sig != SIGUSR2) {
      break;
    }
  }
  // libjack can deadlock in jack_client_close once its server is gone, and jackd dies of SIGPIPE
  // if a client's socket closes while it still sends its shutdown notices: wait, do not close.
  if (sig == SIGUSR1) {
    usleep(300 * 1000);
    _exit(2);
  }
  alarm(5);  // should the server vanish during the close
  jack_client_close(gen.client);
  return 0;
}
