#include "common/events.h"

#include <cerrno>
#include <string>

namespace quilltap {
namespace {

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

void EventStream::emit(const Event& event) const {
  std::string line;
  try {
    line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    return;  // cannot happen with the replace handler; never let it escape
  }
  line += '\n';
  writeAll(fd_, line);
}

}  // namespace quilltap
