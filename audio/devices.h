#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/audio_system.h"

namespace quilltap {

/// The input devices of the system, asked afresh on every call.
std::vector<InputDevice> inputDevices();

/// The device a query designates: the first whose uid or name equals it, else
/// the first whose name contains it ignoring case.
std::optional<InputDevice> findDevice(const std::string& query);

}  // namespace quilltap
