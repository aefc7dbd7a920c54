#include "app/command_line.h"

#include "app/startup.h"
#include "common/text.h"
#include "dispatch/clock.h"
#include "dispatch/main_queue.h"
#include "writing/file_system.h"

namespace quilltap {
namespace {

// The single-precision number nearest 0.7071: centred, 3 dB down each side.
constexpr float kMonoGain = 0.7071f;

void listDevices(AudioSystem& audio, const EventStream& events) {
  Event devices = Event::array();
  for (const InputDevice& device : audio.inputDevices()) {
    devices.push_back({{"uid", device.uid}, {"name", device.name}, {"channels", device.channels}});
  }
  events.emit({{"event", "devices"}, {"devices", devices}});
}

}  // namespace

std::int64_t parseBits(std::string_view value) { return parseInteger(value).value_or(24); }

std::optional<Track> parseTrack(std::string_view value) {
  std::size_t start = value.find_first_not_of(':');
  if (start == std::string_view::npos) return std::nullopt;
  std::string_view rest = value.substr(start);
  std::size_t colon = rest.find(':');
  std::string_view channelText = rest.substr(0, colon);
  std::string_view nameText = colon == std::string_view::npos ? "" : rest.substr(colon + 1);

  Track track;
  for (std::string_view piece : splitNonEmpty(channelText, ',')) {
    if (std::optional<std::int64_t> channel = parseInteger(piece))
      track.channels.push_back(*channel);
  }
  if (track.channels.size() != 1 && track.channels.size() != 2) return std::nullopt;
  track.name = nameText.empty() ? "Ch " + std::string(channelText) : std::string(nameText);
  return track;
}

Status parseRecordOptions(const std::vector<std::string>& args, Options* options) {
  Options& r = *options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string& word = args[i];
    std::string value = i + 1 < args.size() ? args[i + 1] : "";
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
      if (!track) return Status::error("bad --track " + value);
      r.tracks.push_back(*track);
    } else {
      return Status::error("unknown option " + word);
    }
  }
  if (r.outDir.empty()) return Status::error("--out is required");
  // Events name the files by these paths; a name repaired for JSON would
  // point the front end at files that do not exist, and a guessed folder
  // could land on another drive.
  for (auto [option, path] :
       {std::pair{"--out", &r.outDir}, std::pair{"--fallback", &r.fallbackDir}}) {
    if (validUtf8(*path) != *path) {
      return Status::error(std::string(option) + " is not a valid UTF-8 path: " + validUtf8(*path));
    }
  }
  if (r.bitDepth != 16 && r.bitDepth != 24 && r.bitDepth != 32)
    return Status::error("--bits must be 16, 24 or 32");
  return Status();
}

void deriveOutputs(Options& r, std::int64_t deviceChannels) {
  if (r.tracks.empty()) {
    for (std::int64_t n = 1; n <= deviceChannels; ++n) {
      r.tracks.push_back(Track{{n}, "Ch " + std::to_string(n)});
    }
  }
  r.mixing = !r.mixName.empty();
  r.trackChannels = 0;
  for (const Track& track : r.tracks)
    r.trackChannels += static_cast<std::int64_t>(track.channels.size());

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

Status runCommandLine(const std::vector<std::string>& words, AudioSystem& audio,
                      const EventStream& events) {
  if (words.empty()) return Status::error(kUsage);
  const std::string& command = words[0];
  std::vector<std::string> args(words.begin() + 1, words.end());
  if (command == "list") {
    listDevices(audio, events);
    return Status();
  }
  if (command != "record") return Status::error("unknown command " + command);
  Options options;
  if (Status parsed = parseRecordOptions(args, &options); !parsed.ok()) return parsed;
  // Once started, these live until the process ends: the main queue never
  // returns, and finish ends the process from it.
  PosixFileSystem drive;
  SteadyClock clock;
  Recorder recorder(std::move(options), audio, drive, events, clock,
                    [](int status) { _exit(status); });
  if (Status started = recorder.start(STDIN_FILENO); !started.ok()) return started;
  mainQueue().runForever();
}

}  // namespace quilltap
