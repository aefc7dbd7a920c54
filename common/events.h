#pragma once

#include <unistd.h>

#include <nlohmann/json.hpp>

namespace quilltap {

using Event = nlohmann::json;

/// The event stream: one compact JSON object per line on one descriptor
/// (standard output; tests give a pipe). Only the main queue emits once a
/// recording runs, so lines never interleave.
class EventStream {
 public:
  explicit EventStream(int fd = STDOUT_FILENO) : fd_(fd) {}

  /// Writes `event` as one line with a single write(2) (continued after EINTR
  /// or a partial write). Strings that are not valid UTF-8 have each invalid
  /// sequence replaced by U+FFFD, so the event is never lost. A failed write
  /// is ignored: the reader may be gone, and the recording still has to close
  /// its files.
  void emit(const Event& event) const;

 private:
  int fd_;
};

}  // namespace quilltap
