#include "app/events.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quilltap {
namespace {

int eventFd = STDOUT_FILENO;
std::function<void(int)> exitHandler;

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void emit(const Event& event) {
  std::string line;
  try {
    line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    return;  // cannot happen with the replace handler; never let it escape
  }
  line += '\n';
  writeAll(eventFd, line);
}

void fail(const std::string& message) {
  emit({{"event", "error"}, {"message", message}});
  exitProcess(1);
}

void exitProcess(int status) {
  if (exitHandler) exitHandler(status);
  _exit(status);
}

void setExitHandlerForTesting(std::function<void(int)> handler) { exitHandler = std::move(handler); }

void setEventFdForTesting(int fd) { eventFd = fd; }

}  // namespace quilltap
