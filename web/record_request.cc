#include "web/record_request.h"

#include <charconv>

namespace quilltap::web {

std::string gainText(double value) {
  char text[32];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end);
}

namespace {

using nlohmann::json;

std::nullopt_t wrong(std::string* problem, std::string message) {
  *problem = std::move(message);
  return std::nullopt;
}

// "--track 3,4:Keys" for each track of the body.
std::optional<std::vector<std::string>> trackArguments(const json& tracks, std::string* problem) {
  if (!tracks.is_array()) return wrong(problem, "\"tracks\" must be an array");
  std::vector<std::string> args;
  for (const json& track : tracks) {
    const json& channels = track.is_object() ? track.value("channels", json()) : json();
    bool good = channels.is_array() && (channels.size() == 1 || channels.size() == 2) &&
                track.value("name", json("")).is_string();
    for (const json& channel : channels) good = good && channel.is_number_integer();
    if (!good) {
      return wrong(problem,
                   "Each track needs \"channels\" (one or two channel numbers) and may have a "
                   "\"name\"");
    }
    std::string channelText = std::to_string(channels[0].get<long long>());
    if (channels.size() == 2) {
      channelText += ',';
      channelText += std::to_string(channels[1].get<long long>());
    }
    args.insert(args.end(), {"--track", channelText + ":" + track.value("name", "")});
  }
  return args;
}

// "--mix NAME --gains L,R,..." when the body asks for a mix.
std::optional<std::vector<std::string>> mixArguments(const json& body, std::string* problem) {
  if (!body.value("mix", json("")).is_string()) return wrong(problem, "\"mix\" must be a name");
  std::string name = body.value("mix", "");
  if (name.empty()) return std::vector<std::string>{};
  std::vector<std::string> args{"--mix", name};
  std::string gains;
  for (const json& gain : body.value("gains", json::array())) {
    if (!gain.is_number()) return wrong(problem, "\"gains\" must be numbers");
    if (!gains.empty()) gains += ',';
    gains += gainText(gain.get<double>());
  }
  if (!gains.empty()) args.insert(args.end(), {"--gains", gains});
  return args;
}

}  // namespace

std::optional<std::vector<std::string>> recordArguments(const json& body, const Settings& settings,
                                                        const std::string& folder,
                                                        std::string* problem) {
  if (!body.is_object()) return wrong(problem, "The body must be a JSON object");
  if (!body.value("device", json("")).is_string())
    return wrong(problem, "\"device\" must be a name");
  if (!body.value("bits", json(24)).is_number_integer()) {
    return wrong(problem, "\"bits\" must be 16, 24 or 32");
  }
  std::vector<std::string> args{"--out", settings.takes + "/" + folder};
  if (!settings.fallback.empty()) {
    args.insert(args.end(), {"--fallback", settings.fallback + "/" + folder});
  }
  std::string device = body.value("device", settings.device);
  if (!device.empty()) args.insert(args.end(), {"--device", device});
  if (body.contains("bits")) {
    args.insert(args.end(), {"--bits", std::to_string(body["bits"].get<long long>())});
  }
  for (auto part : {trackArguments(body.value("tracks", json::array()), problem),
                    mixArguments(body, problem)}) {
    if (!part) return std::nullopt;
    args.insert(args.end(), part->begin(), part->end());
  }
  return args;
}

}  // namespace quilltap::web
