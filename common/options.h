#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quilltap {

/// One requested track: 1-based device channels (one or two) and a name.
struct Track {
  std::vector<std::int64_t> channels;
  std::string name;
  bool operator==(const Track&) const = default;
};

/// One file to write: a track's or the mix's name and 1 or 2 channels.
struct Output {
  std::string name;
  std::int64_t channels = 1;
  bool operator==(const Output&) const = default;
};

/// What a recording is asked for on the command line, and what start-up
/// derived from it and from the device. Fixed before capture starts; every
/// thread may read it afterwards.
struct Options {
  std::string deviceQuery = "XR18";
  std::string outDir;
  std::string fallbackDir;
  std::string volumePath;
  std::int64_t bitDepth = 24;
  std::vector<Track> tracks;
  std::string mixName;
  std::vector<float> gains;  // the mix gains at the start

  bool mixing = false;
  std::int64_t trackChannels = 0;
  std::vector<Output> outputs;
  double sampleRate = 0;
  double maxPendingSeconds = 120.0;
};

}  // namespace quilltap
