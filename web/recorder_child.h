#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quilltap::web {

/// How a recorder process ended: its exit status, or the signal that killed it,
/// and whether its last line was "stopped" (else the take was cut short).
struct ChildEnd {
  std::optional<int> status;
  std::optional<int> signal;
  bool stopped = false;
};

/// Runs `quilltap` as a child with pipes on stdin and stdout, one recording at a
/// time, and keeps every stdout line of the current (or last) recording so that
/// any number of readers can follow it from its first line. Thread-safe: the
/// HTTP handlers, the signal thread and one reader thread per child share it.
class RecorderChild {
 public:
  explicit RecorderChild(std::string binary) : binary_(std::move(binary)) {}
  /// Waits for the recorder to exit: stop() it first.
  ~RecorderChild();

  /// Runs `quilltap list` to its end and returns its stdout line, or nullopt
  /// when it printed none.
  std::optional<std::string> listDevices();

  enum class Start { busy, answered, silent };
  /// Starts `quilltap record args` unless a recording runs (busy). Waits for
  /// its first line ("started" or "error"), returned in `firstLine`; silent
  /// when the child ended without one.
  Start record(const std::vector<std::string>& args, std::string* firstLine);

  /// Writes `line` and a line feed to the recorder; false when none runs.
  bool send(const std::string& line);

  /// How the last recording ended, and its last line.
  struct Ending {
    ChildEnd end;
    std::string lastLine;
  };
  /// Sends "stop" and waits until the recorder has exited (up to about 40 s on
  /// a failing drive); nullopt when no recording runs.
  std::optional<Ending> stop();

  /// Where a reader of the event lines stands.
  struct Cursor {
    std::uint64_t run = 0;
    std::size_t next = 0;
    bool endSeen = false;
  };
  /// What a reader gets: the lines after its cursor and, once, the end.
  struct News {
    std::vector<std::string> lines;
    std::optional<ChildEnd> end;
  };
  /// Blocks up to `timeout` for lines after `cursor` (or those of a newer
  /// recording, from its first line) and advances the cursor past them.
  News follow(Cursor& cursor, std::chrono::milliseconds timeout);

  /// Wakes every follower for good: follow() hands out what is pending, then
  /// returns at once with nothing.
  void close();
  bool closed() const;

 private:
  struct Run {
    std::uint64_t id = 0;
    pid_t pid = -1;
    int input = -1;  // the recorder's stdin; closed once it has exited
    std::vector<std::string> lines;
    std::optional<ChildEnd> end;
  };

  void readUntilExit(std::shared_ptr<Run> run, int output);

  const std::string binary_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<Run> current_;  // guarded by mutex_, as is every Run's state
  bool closed_ = false;           // guarded by mutex_
  int readers_ = 0;               // threads in readUntilExit; guarded by mutex_
};

}  // namespace quilltap::web
