// Every text quilltap takes from outside, as any bytes: standard input split
// anywhere, --track and --gains values, and track names that become file names.
#include <algorithm>
#include <cstdlib>

#include "app/command_line.h"
#include "common/text.h"
#include "supervision/control_channel.h"
#include "writing/sink.h"

using namespace quilltap;

static std::vector<std::string> linesOf(std::string_view bytes, std::size_t split) {
  LineSplitter splitter(64);
  std::vector<std::string> lines;
  auto take = [&](const std::string& line) { return lines.push_back(line), true; };
  splitter.feed(bytes.substr(0, split), take);
  splitter.feed(bytes.substr(split), take);
  return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines = linesOf(text, size);
  if (linesOf(text, size / 2) != lines || linesOf(text, size / 3) != lines) abort();
  for (const std::string& line : lines) {
    ControlCommand command = parseControlLine(line);
    if (line.find('\n') != std::string::npos || validUtf8(line) != line ||
        (command.kind != ControlCommand::gains && !command.values.empty()) ||
        (command.kind == ControlCommand::stop && trimSpaces(line) != "stop"))
      abort();
  }
  if (std::optional<Track> track = parseTrack(text))
    if (track->channels.empty() || track->channels.size() > 2 || track->name.empty()) abort();
  if (parseGains(text).size() > 1 + std::size_t(std::count(text.begin(), text.end(), ','))) abort();
  const std::string safe = safeFileName(text);
  if (safe.empty() || validUtf8(safe) != safe || trimSpaces(safe) != safe) abort();
  if (safe.find_first_of("/\\:*?\"<>|") != std::string::npos || safeFileName(safe) != safe) abort();
  for (char32_t cp : codePoints(safe))
    if (isControlOrFormat(cp)) abort();
  return 0;
}
