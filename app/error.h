#pragma once

#include <string>

namespace quilltap {

/// A failure as a value. Platform errors carry their own description; the
/// recorder's own errors use the domain "quilltap" with code 1 (the sample rate
/// changed) or 2 (a track file could not be created).
struct Error {
  std::string domain;
  int code = 0;
  std::string description;
};

inline constexpr const char* kErrorDomain = "quilltap";
inline constexpr int kSampleRateChanged = 1;
inline constexpr int kTrackFileNotCreated = 2;

}  // namespace quilltap
