// quilltap-web: serves one page that records through a quilltap child process.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "web/api.h"
#include "web/recorder_child.h"

namespace {

using quilltap::web::Settings;

constexpr const char* kUsage =
    "usage: quilltap-web [--listen ADDR:PORT] [--takes DIR] [--fallback DIR] [--device NAME] "
    "[--recorder PATH]";

struct Options {
  std::string host = "127.0.0.1";
  int port = 8018;
  std::string recorder;  // empty: the quilltap next to this program
  Settings settings{"takes", "", "", ""};
};

// Like quilltap, this program reports in JSON lines on stdout only.
[[noreturn]] void fail(const std::string& message) {
  std::printf("%s\n", nlohmann::json({{"event", "error"}, {"message", message}}).dump().c_str());
  std::exit(1);
}

bool parseListen(const std::string& value, Options& options) {
  std::size_t colon = value.rfind(':');
  if (colon == std::string::npos) return false;
  options.host = value.substr(0, colon);
  if (options.host.size() > 2 && options.host.front() == '[') {
    options.host = options.host.substr(1, options.host.size() - 2);  // [::1]:8018
  }
  std::string port = value.substr(colon + 1);
  char* end = nullptr;
  long number = std::strtol(port.c_str(), &end, 10);
  options.port = static_cast<int>(number);
  return !port.empty() && *end == '\0' && number >= 0 && number <= 65535;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    std::string word = argv[i];
    if (i + 1 >= argc) fail(kUsage);
    std::string value = argv[i + 1];
    if (word == "--listen") {
      if (!parseListen(value, options)) fail("--listen needs ADDR:PORT, like 0.0.0.0:8018");
    } else if (word == "--takes") {
      options.settings.takes = value;
    } else if (word == "--fallback") {
      options.settings.fallback = value;
    } else if (word == "--device") {
      options.settings.device = value;
    } else if (word == "--recorder") {
      options.recorder = value;
    } else {
      fail("unknown option " + word);
    }
  }
  return options;
}

std::string recorderNextToUs() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "quilltap").string();
}

std::string newToken() {
  unsigned char bytes[16];  // 128 bits
  if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes) fail("no random numbers for the token");
  std::string token;
  for (unsigned char byte : bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

// The signals that end us are taken by one thread, so that a take that runs
// is stopped in order and "stopped" has come before we go.
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signo);
  return set;
}

[[maybe_unused]] void silenceStderr() {
  if (int null = open("/dev/null", O_WRONLY | O_CLOEXEC); null >= 0) {
    dup2(null, STDERR_FILENO);
    close(null);
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a browser that goes away is a failed write, no more
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  silenceStderr();  // libraries may print; sanitizer builds keep it for their reports
#endif
  Options options = parseOptions(argc, argv);
  std::string recorderPath = options.recorder.empty() ? recorderNextToUs() : options.recorder;
  if (access(recorderPath.c_str(), X_OK) != 0) fail("no quilltap at " + recorderPath);
  std::error_code error;
  std::filesystem::create_directories(options.settings.takes, error);
  if (error) fail(options.settings.takes + ": " + error.message());
  // Absolute, so that the paths in quilltap's events say where the files are.
  options.settings.takes = std::filesystem::absolute(options.settings.takes).string();
  if (!options.settings.fallback.empty()) {
    options.settings.fallback = std::filesystem::absolute(options.settings.fallback).string();
  }
  options.settings.token = newToken();

  sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts

  quilltap::web::RecorderChild recorder(recorderPath);
  httplib::Server server;
  // Each open event stream holds a thread: leave room for several tabs.
  server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  // Idle browser connections hold threads too, and we wait for them at exit.
  server.set_keep_alive_timeout(1);
  quilltap::web::installRoutes(server, options.settings, recorder);
  int port = options.port == 0
                 ? server.bind_to_any_port(options.host)
                 : (server.bind_to_port(options.host, options.port) ? options.port : -1);
  if (port < 0) fail("cannot listen on " + options.host + ":" + std::to_string(options.port));

  std::string host =
      options.host.find(':') == std::string::npos ? options.host : "[" + options.host + "]";
  std::printf("open http://%s:%d/?token=%s\n", host.c_str(), port, options.settings.token.c_str());
  std::fflush(stdout);

  std::thread stopper([&] {
    int signo = 0;
    sigwait(&signals, &signo);
    recorder.stop();  // waits for "stopped"; a second signal waits in the queue
    recorder.close();
    server.stop();
  });
  if (!server.listen_after_bind()) {
    // The server gave up on its own: end the way a signal ends us.
    kill(getpid(), SIGTERM);
  }
  stopper.join();
  return 0;
}
