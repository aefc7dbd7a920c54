// --track and --gains values as a user may type them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/command_line.h"

using namespace quilltap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string value(reinterpret_cast<const char*>(data), size);
  if (std::optional<Track> track = parseTrack(value)) {
    if (track->channels.empty() || track->channels.size() > 2) abort();
    if (track->name.empty()) abort();
    if (value.find(':') == std::string::npos &&
        track->name != "Ch " + value.substr(value.find_first_not_of(':')))
      abort();
  }
  std::vector<float> gains = parseGains(value);
  std::size_t pieces = 1;
  for (char c : value) pieces += c == ',';
  if (gains.size() > pieces) abort();
  parseBits(value);
  return 0;
}
