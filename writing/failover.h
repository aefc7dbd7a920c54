#pragma once

#include <string>

#include "writing/sink.h"

namespace quilltap {

/// Asks the main queue for a failover on behalf of `from`, the Sink whose
/// drive failed. Safe from any thread.
void requestFailover(const std::string& message, const SinkRef& from);

/// The reaction to a failing drive, on the main queue: moves the recording
/// once to the backup folder, or ends it with "write-error". A request from a
/// Sink that is no longer current is stale (its failure already led to a
/// move) and is ignored; `from` null means the current Sink.
void failover(const std::string& message, const SinkRef& from = nullptr);

/// The move itself: opens the backup Sink, replays `recent` into it ahead of
/// `pending`, emits "failover". False when no move was made. Main queue only.
bool switchToFallback(const std::string& reason);

}  // namespace quilltap
