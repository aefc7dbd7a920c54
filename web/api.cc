#include "web/api.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "web/page.h"
#include "web/record_request.h"
#include "web/takes.h"

namespace quilltap::web {
namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr const char* kCookie = "quilltap_token=";

// Takes the same time whatever the first difference, so that the token cannot
// be guessed a character at a time.
bool sameSecret(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (std::size_t k = 0; k < token.size(); ++k) difference |= given[k] ^ token[k];
  return difference == 0;
}

std::string cookieToken(const std::string& cookies) {
  for (std::size_t at = 0; (at = cookies.find(kCookie, at)) != std::string::npos; ++at) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      std::size_t start = at + std::strlen(kCookie);
      return cookies.substr(start, cookies.find(';', start) - start);
    }
  }
  return "";
}

bool authorised(const Request& req, const std::string& token) {
  return sameSecret(req.get_param_value("token"), token) ||
         sameSecret(cookieToken(req.get_header_value("Cookie")), token);
}

void reply(Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void refuse(Response& res, int status, const std::string& message) {
  reply(res, status, {{"error", message}});
}

// A file name for Content-Disposition's filename*: every byte but letters,
// digits and a few marks percent-encoded.
std::string percentEncoded(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || std::strchr("-._~", c)) {
      out += static_cast<char>(c);
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    }
  }
  return out;
}

// Server-sent events: quilltap's lines as they are, then the end of the
// recorder, or a comment that lets a write find a closed tab between takes.
std::string eventStreamText(const RecorderChild::News& news) {
  std::string out;
  for (const std::string& line : news.lines) out += "data: " + line + "\n\n";
  if (news.end) {
    json end = {{"stopped", news.end->stopped}, {"status", nullptr}, {"signal", nullptr}};
    if (news.end->status) end["status"] = *news.end->status;
    if (news.end->signal) end["signal"] = *news.end->signal;
    out += "event: end\ndata: " + end.dump() + "\n\n";
  }
  return out.empty() ? ": still here\n\n" : out;
}

std::size_t trackChannels(const json& started) {
  std::size_t count = 0;
  for (const json& track : started.value("tracks", json::array()))
    count += track.value("channels", json::array()).size();
  return count;
}

class Api {
 public:
  Api(const Settings& settings, RecorderChild& recorder)
      : settings_(settings), recorder_(recorder) {}

  void page(const Request&, Response& res) {
    std::string html = kPage;
    std::string marker = "\"@DEVICE@\"";
    html.replace(html.find(marker), marker.size(), json(settings_.device).dump());
    res.set_header("Set-Cookie",
                   std::string(kCookie) + settings_.token + "; Path=/; HttpOnly; SameSite=Strict");
    res.set_header("Cache-Control", "no-store");
    res.set_content(html, "text/html; charset=utf-8");
  }

  void devices(const Request&, Response& res) {
    std::optional<std::string> line = recorder_.listDevices();
    if (!line) return refuse(res, 502, "quilltap list said nothing");
    res.set_content(*line, "application/json");
  }

  void record(const Request& req, Response& res) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return refuse(res, 400, "Malformed JSON");
    std::string problem;
    std::string folder = newTakeFolder(settings_.takes, std::time(nullptr));
    std::optional<std::vector<std::string>> args =
        recordArguments(body, settings_, folder, &problem);
    if (!args) return refuse(res, 400, problem);
    std::string first;
    switch (recorder_.record(*args, &first)) {
      case RecorderChild::Start::busy:
        return refuse(res, 409, "A recording is running");
      case RecorderChild::Start::silent:
        return refuse(res, 500, "quilltap ended without a word");
      case RecorderChild::Start::answered:
        break;
    }
    json event = json::parse(first, nullptr, false);
    if (!event.is_object() || event.value("event", "") != "started") {
      return refuse(res, 422, event.is_object() ? event.value("message", first) : first);
    }
    mixing_ = !body.value("mix", "").empty();
    gainCount_ = 2 * trackChannels(event);
    reply(res, 200, {{"folder", folder}, {"started", event}});
  }

  void stop(const Request&, Response& res) {
    std::optional<RecorderChild::Ending> ending = recorder_.stop();
    if (!ending) return refuse(res, 409, "No recording is running");
    if (!ending->end.stopped) return refuse(res, 502, "quilltap ended without \"stopped\"");
    res.set_content(ending->lastLine, "application/json");
  }

  void gains(const Request& req, Response& res) {
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) return refuse(res, 400, "Malformed JSON");
    json gains = body.is_object() ? body.value("gains", json()) : json();
    if (!gains.is_array()) return refuse(res, 400, "\"gains\" must be an array of numbers");
    std::string line = "gains ";
    for (const json& gain : gains) {
      if (!gain.is_number()) return refuse(res, 400, "\"gains\" must be an array of numbers");
      if (line.size() > 6) line += ',';
      line += gainText(gain.get<double>());
    }
    if (!mixing_) return refuse(res, 409, "No mix is being recorded");
    if (gains.size() != gainCount_) {
      return refuse(res, 400,
                    "Expected " + std::to_string(gainCount_.load()) +
                        " gains: left and right for each track channel");
    }
    if (!recorder_.send(line)) return refuse(res, 409, "No recording is running");
    reply(res, 200, {{"sent", line}});
  }

  void events(const Request&, Response& res) {
    res.set_header("Cache-Control", "no-store");
    auto cursor = std::make_shared<RecorderChild::Cursor>();
    RecorderChild& recorder = recorder_;
    res.set_chunked_content_provider(
        "text/event-stream", [&recorder, cursor](std::size_t, httplib::DataSink& sink) {
          RecorderChild::News news = recorder.follow(*cursor, kKeepAlive);
          if (news.lines.empty() && !news.end && recorder.closed()) {
            sink.done();
            return true;
          }
          std::string out = eventStreamText(news);
          return sink.write(out.data(), out.size());
        });
  }

  void takes(const Request&, Response& res) { reply(res, 200, listTakes(settings_.takes)); }

  void download(const Request& req, Response& res) {
    std::string path;
    switch (resolveDownload(settings_.takes, req.matches[1], &path)) {
      case Download::outside:
        return refuse(res, 403, "Only files inside the takes folder can be downloaded");
      case Download::missing:
        return refuse(res, 404, "No such take file");
      case Download::found:
        break;
    }
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return refuse(res, 404, "No such take file");
    std::string name = path.substr(path.find_last_of('/') + 1);
    res.set_header("Content-Disposition", "attachment; filename*=UTF-8''" + percentEncoded(name));
    res.set_content_provider(
        size, "audio/wav", [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          char buffer[65536];
          file->seekg(static_cast<std::streamoff>(offset));
          file->read(buffer, static_cast<std::streamsize>(std::min(length, sizeof buffer)));
          std::streamsize got = file->gcount();
          return got > 0 && sink.write(buffer, static_cast<std::size_t>(got));
        });
  }

 private:
  const Settings& settings_;
  RecorderChild& recorder_;
  std::atomic<bool> mixing_{false};
  std::atomic<std::size_t> gainCount_{0};
};

}  // namespace

void installRoutes(httplib::Server& server, const Settings& settings, RecorderChild& recorder) {
  auto api = std::make_shared<Api>(settings, recorder);
  server.set_payload_max_length(kMaxBody);
  server.set_pre_routing_handler([&settings](const Request& req, Response& res) {
    if (authorised(req, settings.token)) return httplib::Server::HandlerResponse::Unhandled;
    refuse(res, 401, "Open the address that quilltap-web printed, with its token");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler([](const Request&, Response& res) {
    if (!res.body.empty()) return;
    if (res.status == 413) return refuse(res, 413, "The body is over 64 KiB");
    refuse(res, res.status, res.status == 404 ? "No such address" : "Bad request");
  });
  auto bind = [api](void (Api::*handler)(const Request&, Response&)) {
    return [api, handler](const Request& req, Response& res) { (*api.*handler)(req, res); };
  };
  server.Get("/", bind(&Api::page));
  server.Get("/api/devices", bind(&Api::devices));
  server.Post("/api/record", bind(&Api::record));
  server.Post("/api/stop", bind(&Api::stop));
  server.Post("/api/gains", bind(&Api::gains));
  server.Get("/api/events", bind(&Api::events));
  server.Get("/api/takes", bind(&Api::takes));
  server.Get(R"(/takes/(.*))", bind(&Api::download));
}

}  // namespace quilltap::web
