// rt_probe: preloaded into the recorder, it reports libjack calls that may take a lock when made
// inside a JACK process callback (PipeWire's libjack locks in jack_port_connected, which its other
// thread holds too, so such a call can stall a cycle). The first callback, and the first watched
// call from inside one, each append a line to the file named by QUILLTAP_RT_PROBE (open/write
// only: the recorder leaves with _exit).

#include <dlfcn.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

thread_local bool inProcess = false;

void note(std::atomic<bool>& once, const char* line) {
  const char* path = getenv("QUILLTAP_RT_PROBE");
  if (once.exchange(true) || path == nullptr) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = write(fd, line, strlen(line));
  close(fd);
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Callback {
  JackProcessCallback callback;
  void* arg;
};

int wrapped(jack_nframes_t frames, void* arg) {
  static std::atomic<bool> ran{false};
  auto* target = static_cast<Callback*>(arg);
  note(ran, "process callback\n");
  inProcess = true;
  int result = target->callback(frames, target->arg);
  inProcess = false;
  return result;
}

}  // namespace

extern "C" {

int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
  static auto real = next<int (*)(jack_client_t*, JackProcessCallback, void*)>(__func__);
  return real(client, wrapped, new Callback{callback, arg});  // lives as long as the client
}

int jack_port_connected(const jack_port_t* port) {
  static auto real = next<int (*)(const jack_port_t*)>(__func__);
  static std::atomic<bool> once{false};
  if (inProcess) note(once, "jack_port_connected\n");
  return real(port);
}

int jack_port_connected_to(const jack_port_t* port, const char* name) {
  static auto real = next<int (*)(const jack_port_t*, const char*)>(__func__);
  static std::atomic<bool> once{false};
  if (inProcess) note(once, "jack_port_connected_to\n");
  return real(port, name);
}

}  // extern "C"
