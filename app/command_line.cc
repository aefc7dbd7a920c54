#include "app/command_line.h"

#include "app/events.h"
#include "app/startup.h"
#include "app/text.h"
#include "audio/devices.h"

namespace quilltap {
namespace {

// The single-precision number nearest 0.7071: centred, 3 dB down each side.
constexpr float kMonoGain = 0.7071f;

void listDevices() {
  Event devices = Event::array();
  for (const InputDevice& device : inputDevices()) {
    devices.push_back({{"uid", device.uid}, {"name", device.name}, {"channels", device.channels}});
  }
  emit({{"event", "devices"}, {"devices", devices}});
}

}  // namespace

std::int64_t parseBits(std::string_view value) { return parseInteger(value).value_or(24); }

std::vector<float> parseGains(std::string_view value) {
  std::vector<float> gains;
  for (std::string_view piece : splitNonEmpty(value, ',')) {
    if (std::optional<float> gain = parseFloat(piece)) gains.push_back(*gain);
  }
  return gains;
}

std::optional<Track> parseTrack(std::string_view value) {
  std::size_t start = value.find_first_not_of(':');
  if (start == std::string_view::npos) return std::nullopt;
  std::string_view rest = value.substr(start);
  std::size_t colon = rest.find(':');
  std::string_view channelText = rest.substr(0, colon);
  std::string_view nameText = colon == std::string_view::npos ? "" : rest.substr(colon + 1);

  Track track;
  for (std::string_view piece : splitNonEmpty(channelText, ',')) {
    if (std::optional<std::int64_t> channel = parseInteger(piece)) track.channels.push_back(*channel);
  }
  if (track.channels.size() != 1 && track.channels.size() != 2) return std::nullopt;
  track.name = nameText.empty() ? "Ch " + std::string(channelText) : std::string(nameText);
  return track;
}

void parseRecordOptions() {
  Recording& r = rec();
  r.deviceQuery = "XR18";
  r.outDir.clear();
  r.fallbackDir.clear();
  r.volumePath.clear();
  r.mixName.clear();
  r.bitDepth = 24;
  r.tracks.clear();
  r.gains.clear();
  for (r.i = 0; r.i < static_cast<std::int64_t>(r.args.size()); r.i += 2) {
    const std::string& word = r.args[r.i];
    std::string value = r.i + 1 < static_cast<std::int64_t>(r.args.size()) ? r.args[r.i + 1] : "";
    if (word == "--device") {
      r.deviceQuery = value;
    } else if (word == "--out") {
      r.outDir = value;
    } else if (word == "--fallback") {
      r.fallbackDir = value;
    } else if (word == "--volume") {
      r.volumePath = value;
    } else if (word == "--bits") {
      r.bitDepth = parseBits(value);
    } else if (word == "--mix") {
      r.mixName = value;
    } else if (word == "--gains") {
      r.gains = parseGains(value);
    } else if (word == "--track") {
      std::optional<Track> track = parseTrack(value);
      if (!track) fail("bad --track " + value);
      r.tracks.push_back(*track);
    } else {
      fail("unknown option " + word);
    }
  }
  if (r.outDir.empty()) fail("--out is required");
  // Events name the files by these paths; a name repaired for JSON would
  // point the front end at files that do not exist, and a guessed folder
  // could land on another drive.
  for (auto [option, path] : {std::pair{"--out", &r.outDir}, std::pair{"--fallback", &r.fallbackDir}}) {
    if (validUtf8(*path) != *path) fail(std::string(option) + " is not a valid UTF-8 path: " + validUtf8(*path));
  }
  if (r.bitDepth != 16 && r.bitDepth != 24 && r.bitDepth != 32) fail("--bits must be 16, 24 or 32");
}

void deriveOutputs(std::int64_t deviceChannels) {
  Recording& r = rec();
  if (r.tracks.empty()) {
    for (std::int64_t n = 1; n <= deviceChannels; ++n) {
      r.tracks.push_back(Track{{n}, "Ch " + std::to_string(n)});
    }
  }
  r.mixing = !r.mixName.empty();
  r.trackChannels = 0;
  for (const Track& track : r.tracks) r.trackChannels += static_cast<std::int64_t>(track.channels.size());

  if (r.mixing && static_cast<std::int64_t>(r.gains.size()) != 2 * r.trackChannels) {
    r.gains.clear();
    for (const Track& track : r.tracks) {
      if (track.channels.size() == 2) {
        r.gains.insert(r.gains.end(), {1.0f, 0.0f, 0.0f, 1.0f});
      } else {
        r.gains.insert(r.gains.end(), {kMonoGain, kMonoGain});
      }
    }
  }

  r.outputs.clear();
  if (r.mixing) {
    r.outputs.push_back(Output{r.mixName, 2});
  } else {
    for (const Track& track : r.tracks) {
      r.outputs.push_back(Output{track.name, static_cast<std::int64_t>(track.channels.size())});
    }
  }
}

int runCommandLine(int argc, char** argv) {
  if (argc < 2) fail(kUsage);
  std::string command = argv[1];
  Recording& r = rec();
  r.args.assign(argv + 2, argv + argc);
  if (command == "list") {
    listDevices();
    return 0;
  }
  if (command != "record") fail("unknown command " + command);
  parseRecordOptions();
  startRecording();
}

}  // namespace quilltap
