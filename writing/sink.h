#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/options.h"
#include "common/status.h"
#include "dispatch/semaphore.h"
#include "dispatch/serial_queue.h"
#include "writing/file_system.h"
#include "writing/track_file.h"

namespace quilltap {

class Sink;
using SinkRef = std::shared_ptr<Sink>;

/// The open track files of one folder and the serial queue on which every
/// write to them happens. `dir`, `paths` and `queue` never change and may be
/// read from any thread; `files` and the writer's bookkeeping belong to the
/// queue. Emptying `files` closes them. A Sink lives as long as the take
/// holds it, which is until the process exits.
class Sink {
 public:
  /// Creates `dir` (with parents) on `drive` and one empty track file per
  /// output of `options`, named after the output with `suffix` before ".wav".
  /// Files already made stay on disk when a later one fails.
  static Status create(FileSystem& drive, const Options& options, const std::string& dir,
                       const std::string& suffix, SinkRef* created);

  const std::string& dir() const { return dir_; }
  const std::vector<std::string>& paths() const { return paths_; }
  SerialQueue& queue() { return *queue_; }

  /// Where the files' syncs run, so that the writer goes on writing meanwhile.
  SerialQueue& syncQueue() { return *syncQueue_; }

  /// A sync handed to `syncQueue`: it made durable every chunk up to
  /// `sequence` once `done` is signalled with `result` ok.
  struct InFlightSync {
    Semaphore done;
    Status result;
    std::int64_t sequence = 0;
  };

  // On `queue` only.
  std::vector<std::unique_ptr<TrackFile>>& files() { return files_; }
  /// At most one; the files stay open while it runs.
  std::shared_ptr<InFlightSync> syncing;
  std::int64_t framesSinceSync = 0;
  std::chrono::steady_clock::time_point lastSync = std::chrono::steady_clock::now();
  /// A sync of these files failed once. Linux reports a writeback error
  /// only once, so a later sync that succeeds proves nothing: from then on
  /// nothing counts as durable on this drive.
  bool syncFailed = false;

 private:
  Sink(std::string dir, std::vector<std::string> paths,
       std::vector<std::unique_ptr<TrackFile>> files);

  const std::string dir_;
  const std::vector<std::string> paths_;
  std::vector<std::unique_ptr<TrackFile>> files_;
  std::unique_ptr<SerialQueue> queue_;
  std::unique_ptr<SerialQueue> syncQueue_;
};

/// `name` made safe as a file name: each of / \ : * ? " < > | and every
/// control or format character becomes "_", blanks are trimmed from both
/// ends, and nothing left gives "Track".
std::string safeFileName(std::string_view name);

}  // namespace quilltap
