#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/state.h"

namespace quilltap {

inline constexpr const char* kUsage =
    "usage: quilltap list | record --device <name> --out <dir> --track <ch[,ch]>:<name> ...";

/// The process entry: runs `list`, or parses `record` and starts recording.
/// Returns only from `list`, with the exit status.
int runCommandLine(int argc, char** argv);

/// Parses `rec().args` as options of `record`; a bad option ends the process.
void parseRecordOptions();

/// A `--track` value, or nothing when it is not 1 or 2 channel numbers.
std::optional<Track> parseTrack(std::string_view value);

/// A `--gains` value: the numbers between the commas, others left out.
std::vector<float> parseGains(std::string_view value);

/// A `--bits` value; anything but a decimal integer reads as 24.
std::int64_t parseBits(std::string_view value);

/// Completes the tracks, the gains and the outputs once the device is known.
void deriveOutputs(std::int64_t deviceChannels);

}  // namespace quilltap
