// rt_probe, preloaded into the recorder, appends to $QUILLTAP_RT_PROBE a line for each activation,
// the first process callback and the first libjack call in one that may lock (PipeWire's
// jack_port_connected takes a lock its other thread holds). Only open/write: the recorder _exits.

#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

thread_local bool inProcess = false;

// Once per `once` when given, else every time.
void note(const char* line, std::atomic<bool>* once = nullptr) {
  const char* path = getenv("QUILLTAP_RT_PROBE");
  if ((once && once->exchange(true)) || path == nullptr) return;
  if (int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); fd >= 0) {
    [[maybe_unused]] ssize_t written = write(fd, line, strlen(line));
    close(fd);
  }
}

JackProcessCallback target;  // the recorder's; it has one client at a time

int wrapped(jack_nframes_t frames, void* arg) {
  static std::atomic<bool> ran{false};
  note("process callback\n", &ran);
  inProcess = true;
  int result = target(frames, arg);
  inProcess = false;
  return result;
}

}  // namespace

#define REAL(name) reinterpret_cast<decltype(&name)>(dlsym(RTLD_NEXT, #name))

extern "C" int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback,
                                         void* arg) {
  static auto real = REAL(jack_set_process_callback);
  target = callback;
  return real(client, wrapped, arg);
}

extern "C" int jack_activate(jack_client_t* client) {
  static auto real = REAL(jack_activate);
  note("jack_activate\n");
  return real(client);
}

// Each watched call notes its name once when made from inside the callback.
#define WATCH(name, params, args)           \
  extern "C" int name params {              \
    static auto real = REAL(name);          \
    static std::atomic<bool> once{false};   \
    if (inProcess) note(#name "\n", &once); \
    return real args;                       \
  }
WATCH(jack_port_connected, (const jack_port_t* port), (port))
WATCH(jack_port_connected_to, (const jack_port_t* port, const char* name), (port, name))
