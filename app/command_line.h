#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_system.h"
#include "common/events.h"
#include "common/options.h"
#include "common/status.h"

namespace quilltap {

inline constexpr const char* kUsage =
    "usage: quilltap list | record --device <name> --out <dir> --track <ch[,ch]>:<name> ...";

/// The process entry: runs `list`, or parses `record` and records, which
/// ends the process on its own. Returns what failed, or ok after `list`.
Status runCommandLine(const std::vector<std::string>& words, AudioSystem& audio,
                      const EventStream& events);

/// Parses the option words of `record` into `options`.
Status parseRecordOptions(const std::vector<std::string>& args, Options* options);

/// A `--track` value, or nothing when it is not 1 or 2 channel numbers.
std::optional<Track> parseTrack(std::string_view value);

/// A `--bits` value; anything but a decimal integer reads as 24.
std::int64_t parseBits(std::string_view value);

/// Completes the tracks, the gains and the outputs once the device is known.
void deriveOutputs(Options& options, std::int64_t deviceChannels);

}  // namespace quilltap
