#pragma once

#include <functional>
#include <string>
#include <utility>

#include "common/options.h"
#include "writing/sink.h"
#include "writing/take.h"

namespace quilltap {

/// Empties the take's `pending` into the current Sink's files, on that
/// Sink's queue. A failed write or sync is handed to `onFailure` (with the
/// message and the Sink it came from), which must not block: it asks the
/// main queue for a failover.
class Writer {
 public:
  using FailureHandler = std::function<void(const std::string& message, const SinkRef& from)>;
  /// How much of `pending` a drain writes. Chunks go to the files a group
  /// at a time, one write per file: a quarter second of audio (fewer calls
  /// into the file system, which cost more than the bytes they carry). With
  /// `groups`, a shorter run waits for the chunks that complete it.
  enum class Drain { all, groups };
  Writer(const Options& options, Take& take, FailureHandler onFailure)
      : options_(options), take_(take), onFailure_(std::move(onFailure)) {}

  /// Writes the chunks of `pending`, oldest first, into every file of
  /// `sink` while it is the current Sink. A chunk leaves `pending` only once
  /// every file took it; then it is counted in `writtenFrames` and kept in
  /// `recent`. About once a second of audio the files are made durable
  /// (header, then sync), and `recent` keeps every chunk the drive may not
  /// yet hold. The sync runs on the Sink's sync queue while writing goes on;
  /// the next sync, and the end of the drain, wait for it. False after a
  /// failed write or sync. Runs on `sink`'s queue.
  bool drain(const SinkRef& sink, Drain how = Drain::all) EXCLUDES(take_.lock);

  /// Queues a drain of `sink` on its queue; with `groups`, only once
  /// `pending` holds a whole group.
  void queueDrain(const SinkRef& sink, Drain how = Drain::groups);

  /// Queues on `sink`'s queue a final drain, then the closing of the files
  /// (header, sync, close), and waits up to `timeout` seconds on the
  /// monotonic clock. True only if all was written and closed in time and
  /// nothing was ever lost on the way; on a time-out the queued work is not
  /// cancelled. Called on the main queue.
  bool flushAndClose(const SinkRef& sink, double timeout);

 private:
  bool wholeGroup(std::int64_t frames) const { return 4 * frames >= options_.sampleRate; }
  /// How many chunks at the front of `pending` make the next group (all of
  /// them when they are fewer), and their frames: never more than a group's
  /// walk, also when a stalled drive has let `pending` grow.
  std::pair<std::size_t, std::int64_t> nextGroup() const REQUIRES(take_.lock);
  void trimRecent() REQUIRES(take_.lock);
  void startSync(const SinkRef& sink, std::int64_t sequence);
  bool finishSync(const SinkRef& sink, bool report) EXCLUDES(take_.lock);
  void fail(const std::string& description, const SinkRef& sink);

  const Options& options_;
  Take& take_;
  FailureHandler onFailure_;
};

}  // namespace quilltap
