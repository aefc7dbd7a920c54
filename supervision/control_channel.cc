#include "supervision/control_channel.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/text.h"
#include "dispatch/main_queue.h"

namespace quilltap {

bool LineSplitter::feed(std::string_view bytes,
                        const std::function<bool(const std::string&)>& onLine) {
  while (!bytes.empty()) {
    std::size_t feedAt = bytes.find('\n');
    std::string_view piece = bytes.substr(0, feedAt);
    if (!discarding_) {
      held_.append(piece);
      if (held_.size() > maxLine_) {
        held_.clear();
        discarding_ = true;
      }
    }
    if (feedAt == std::string_view::npos) return true;
    bytes.remove_prefix(feedAt + 1);
    if (discarding_) {
      discarding_ = false;
      continue;
    }
    std::string line;
    line.swap(held_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!onLine(validUtf8(line))) return false;
  }
  return true;
}

ControlCommand parseControlLine(std::string_view line) {
  std::string trimmed = trimSpaces(line);
  ControlCommand command;
  if (trimmed == "stop") {
    command.kind = ControlCommand::stop;
  } else if (trimmed.starts_with("gains ")) {
    command.kind = ControlCommand::gains;
    command.values = parseGains(std::string_view(trimmed).substr(6));
  }
  return command;
}

bool handleControlLine(const std::string& line, BufferProcessor& processor) {
  ControlCommand command = parseControlLine(line);
  if (command.kind == ControlCommand::gains) processor.setGains(std::move(command.values));
  return command.kind == ControlCommand::stop;
}

void installControlChannel(int fd, BufferProcessor& processor,
                           std::function<void(const std::string&)> finish) {
  std::thread([fd, &processor, finish = std::move(finish)] {
    LineSplitter lines;
    char buffer[4096];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // A non-blocking stdin shared with the parent: wait for its input.
        pollfd readable = {fd, POLLIN, 0};
        poll(&readable, 1, -1);
        continue;
      }
      if (n <= 0) {  // end of input, or an input that can no longer be read
        mainQueue().post([finish] { finish("parent-exited"); });
        return;
      }
      bool stopped = false;
      lines.feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                 [&](const std::string& line) {
                   stopped = handleControlLine(line, processor);
                   return !stopped;
                 });
      if (stopped) {
        mainQueue().post([finish] { finish("stop"); });
        return;
      }
    }
  }).detach();
}

}  // namespace quilltap
