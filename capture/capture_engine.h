#pragma once

#include <optional>

#include "app/error.h"

namespace quilltap {

/// Starts capture into the recording: refuses when the input no longer runs
/// at the recording's sample rate, installs the tap that feeds handleBuffer,
/// and starts the engine. Called at start-up and to resume after a
/// configuration change; no tap may be installed when it is called.
std::optional<Error> startEngine();

}  // namespace quilltap
