#pragma once

#include "audio/audio_system.h"
#include "capture/capture.h"
#include "common/events.h"
#include "common/options.h"
#include "writing/finish.h"

namespace quilltap {

/// The reaction to a configuration change of the engine, on the main queue:
/// stops capture, looks for `device` (by uid) afresh, and resumes into the
/// same files, or ends the recording with a warning that says why.
void handleConfigurationChange(const InputDevice& device, const Options& options,
                               AudioSystem& audio, Capture& capture, Finish& finish,
                               const EventStream& events);

}  // namespace quilltap
