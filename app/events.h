#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace quilltap {

using Event = nlohmann::json;

/// Writes `event` as one compact JSON line to standard output with a single
/// write(2) (continued after EINTR or a partial write). Strings that are not
/// valid UTF-8 have each invalid sequence replaced by U+FFFD, so the event is
/// never lost. A failed write is ignored: the reader may be gone, and the
/// recording still has to close its files.
void emit(const Event& event);

/// Emits {"event":"error","message":message} and ends the process with status 1.
[[noreturn]] void fail(const std::string& message);

/// Ends the process at once with `status`: nothing is buffered, so there is
/// nothing to flush, and threads that may hang in a write on a dead drive are
/// not waited for.
[[noreturn]] void exitProcess(int status);

/// Tests replace the process exit; the handler must not return (it throws).
void setExitHandlerForTesting(std::function<void(int)> handler);

/// The file descriptor events go to (standard output; tests redirect it).
void setEventFdForTesting(int fd);

}  // namespace quilltap
