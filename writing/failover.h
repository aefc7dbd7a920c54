#pragma once

#include <string>

#include "common/events.h"
#include "common/options.h"
#include "writing/file_system.h"
#include "writing/sink.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {

class Finish;

/// The move of a recording whose drive failed to the backup folder, once.
/// Main queue only.
class Failover {
 public:
  /// `finish` ends the recording when no move is possible; it must outlive
  /// this object but need not be built yet.
  Failover(const Options& options, Take& take, Writer& writer, FileSystem& drive,
           const EventStream& events, Finish& finish)
      : options_(options),
        take_(take),
        writer_(writer),
        drive_(drive),
        events_(events),
        finish_(finish) {}

  /// Asks the main queue for a failover on behalf of `from`, the Sink whose
  /// drive failed. Safe from any thread.
  void request(const std::string& message, const SinkRef& from);

  /// The reaction to a failing drive: moves the recording once to the backup
  /// folder, or ends it with "write-error". A request from a Sink that is no
  /// longer current is stale (its failure already led to a move) and is
  /// ignored; `from` null means the current Sink.
  void failover(const std::string& message, const SinkRef& from = nullptr) EXCLUDES(take_.lock);

  /// The move itself: opens the backup Sink, replays `recent` into it ahead
  /// of `pending`, emits "failover". False when no move was made.
  bool switchToFallback(const std::string& reason) EXCLUDES(take_.lock);

 private:
  const Options& options_;
  Take& take_;
  Writer& writer_;
  FileSystem& drive_;
  const EventStream& events_;
  Finish& finish_;
};

}  // namespace quilltap
