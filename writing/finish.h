#pragma once

#include <string>

namespace quilltap {

/// Ends the recording: stops capture, writes and closes everything (moving to
/// the backup folder if the drive does not finish within 20 s), emits
/// "stopped" with `reason` and every file, and exits with status 0. The first
/// call wins; later calls return at once. Main queue only.
void finish(const std::string& reason);

}  // namespace quilltap
