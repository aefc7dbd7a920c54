#pragma once

#include "audio/audio_system.h"

namespace quilltap {

/// Turns one captured buffer into a Chunk of per-track buffers (or one
/// gain-ramped stereo mix), raises the track peaks, queues the chunk in
/// `pending` and asks the current Sink's writer to drain. Runs on the capture
/// thread, one buffer at a time; never waits for the disk.
void handleBuffer(const AudioBuffer& buffer);

}  // namespace quilltap
