#pragma once

#include "writing/sink.h"

namespace quilltap {

/// Writes the chunks of `pending`, oldest first, into every file of `sink`
/// while it is the current Sink. A chunk leaves `pending` only once every
/// file took it; then it is counted in `writtenFrames` and kept in `recent`.
/// About once a second of audio the files are made durable (header, then
/// fdatasync), and `recent` keeps every chunk the drive may not yet hold.
/// A failed write or sync asks the main queue for a failover and returns
/// false. Runs on `sink`'s queue only, never with `lock` held by the caller.
bool drain(const SinkRef& sink);

/// Queues on `sink`'s queue a final drain, then the closing of the files
/// (header, fdatasync, close), and waits up to `timeout` seconds on the
/// monotonic clock. True only if all was written and closed in time; on a
/// time-out the queued work is not cancelled. Called on the main queue.
bool flushAndClose(const SinkRef& sink, double timeout);

}  // namespace quilltap
