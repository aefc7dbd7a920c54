// signal_client: a JACK client standing in for a USB mixer in the process tests.
//   signal_client --name NAME [--ports N] [--pretty TEXT] [--silent|--full LIST] [--shrink-to N]
//                 [--armed]
// Ports out_1..out_N carry a counter, k / 2^23 with k = (F + 4099 * c) mod 2^22, F the JACK
// frame time and c the 0-based channel: exact in float32 and in 24-bit files, so a recording
// shows every lost, repeated or swapped frame, also across restarts of this client. The channels
// listed (after --ports) carry zeros or a +-1 square wave instead. SIGUSR2 with --shrink-to
// unregisters every port after the first N (a device that changed). --armed says "armed" and
// opens the client only on a line on stdin, retrying until the name is free: a device that comes
// back within a few cycles. Says "ready" once active; exits 0 on SIGTERM/SIGINT/SIGHUP, 1 on
// errors, 2 when the server goes.

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/uuid.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using Limits = std::numeric_limits<float>;
constexpr float kCounter = Limits::lowest(), kSquare = Limits::max();

jack_client_t* client = nullptr;
std::vector<jack_port_t*> outputs;
std::atomic<size_t> live{0};
std::vector<float> signals;  // per channel: kCounter, kSquare or this constant

int process(jack_nframes_t frames, void*) {
  const jack_nframes_t start = jack_last_frame_time(client);
  for (size_t c = 0; c < live.load(); ++c) {
    auto* out = static_cast<float*>(jack_port_get_buffer(outputs[c], frames));
    const float v = signals[c];
    // jack_nframes_t wraps at 2^32, a multiple of 2^22: the counter stays continuous.
    for (jack_nframes_t i = 0, k = start + 4099u * jack_nframes_t(c); i < frames; ++i, ++k) {
      const float square = (start + i) / 24 % 2 ? -1.0f : 1.0f;
      out[i] = v == kCounter ? float(k & 0x3fffffu) / 8388608.0f : v == kSquare ? square : v;
    }
  }
  return 0;
}

void serverGone(void*) { kill(getpid(), SIGUSR1); }  // wakes the main thread's sigtimedwait
void say(const char* line) { [[maybe_unused]] auto n = write(STDOUT_FILENO, line, strlen(line)); }

// The metadata store is shared by every server of the machine while client UUIDs repeat between
// servers, so the pretty name is reasserted often (a client without one removes a stale one at
// the start); only a change is written, since every write notifies all clients.
void assertPrettyName(jack_client_t* client, const char* pretty) {
  char* text = jack_get_uuid_for_client_name(client, jack_get_client_name(client));
  jack_uuid_t uuid;
  const bool parsed = text != nullptr && jack_uuid_parse(text, &uuid) == 0;
  jack_free(text);
  char *value = nullptr, *type = nullptr;  // stay null when there is no pretty name
  if (!parsed) return;
  const bool present = jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0;
  const bool same = value != nullptr && pretty != nullptr && !strcmp(pretty, value);
  jack_free(value), jack_free(type);
  if (pretty != nullptr && !same)
    jack_set_property(client, uuid, JACK_METADATA_PRETTY_NAME, pretty, "text/plain");
  else if (pretty == nullptr && present)
    jack_remove_property(client, uuid, JACK_METADATA_PRETTY_NAME);
}

}  // namespace

int main(int argc, char** argv) {
  const char *name = nullptr, *pretty = nullptr;
  size_t ports = 0, shrinkTo = SIZE_MAX;
  bool armed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--armed") {
      armed = true;
    } else if (i + 1 == argc) {
      return 1;
    } else if (word == "--name" || word == "--pretty") {
      (word == "--name" ? name : pretty) = argv[++i];
    } else if (word == "--ports" || word == "--shrink-to") {
      (word == "--ports" ? ports : shrinkTo) = std::strtoul(argv[++i], nullptr, 10);
      signals.resize(ports, kCounter);
    } else if (word == "--silent" || word == "--full") {
      for (char *p = argv[++i], *end; *p; p = end + (*end == ',')) {
        const size_t channel = std::strtoul(p, &end, 10);
        if (end == p || channel < 1 || channel > ports) return 1;
        signals[channel - 1] = word == "--full" ? kSquare : 0.0f;
      }
    } else {
      return 1;
    }
  }
  if (name == nullptr) return 1;

  // Blocked before libjack starts its threads, so only the main thread's wait sees them.
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&waited, sig);
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackUseExactName);
  char line[16];
  if (armed && (say("armed\n"), read(STDIN_FILENO, line, sizeof line) <= 0)) return 1;
  // Armed, it fails while the old client is there; a pause between tries leaves the server to the
  // recorder, which looks for the device meanwhile.
  while (!(client = jack_client_open(name, options, nullptr))) {
    if (!armed) return 1;
    usleep(2000);
  }
  for (size_t n = 1; n <= ports; ++n) {
    const std::string port = "out_" + std::to_string(n);
    outputs.push_back(
        jack_port_register(client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0));
    if (outputs.back() == nullptr) return 1;
  }
  live = ports;
  jack_set_process_callback(client, process, nullptr);
  jack_on_shutdown(client, serverGone, nullptr);
  if (jack_activate(client) != 0) return 1;
  assertPrettyName(client, pretty);
  say("ready\n");

  const timespec tick{0, 200000000};
  int sig;
  while ((sig = sigtimedwait(&waited, nullptr, &tick)) < 0 || sig == SIGUSR2) {
    if (sig < 0 && errno == EAGAIN && pretty != nullptr) assertPrettyName(client, pretty);
    if (sig != SIGUSR2 || shrinkTo >= live) continue;
    live = shrinkTo;
    usleep(200 * 1000);  // a cycle already running may still write the ports that go
    for (size_t c = ports; c-- > shrinkTo;) jack_port_unregister(client, outputs[c]);
  }
  // libjack can deadlock in jack_client_close once its server is gone, and jackd dies of SIGPIPE
  // if a client's socket closes while it still sends its shutdown notices: wait, do not close.
  if (sig == SIGUSR1) usleep(300 * 1000), _exit(2);
  alarm(5);  // should the server vanish during the close
  jack_client_close(client);
  return 0;
}
