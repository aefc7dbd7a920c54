// Standard input as a hostile parent may send it: any bytes, split anywhere.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/text.h"
#include "supervision/control_channel.h"

using namespace quilltap;

namespace {

std::vector<std::string> linesOf(std::string_view bytes, std::size_t split) {
  LineSplitter splitter(64);
  std::vector<std::string> lines;
  auto take = [&](const std::string& line) {
    lines.push_back(line);
    return true;
  };
  splitter.feed(bytes.substr(0, split), take);
  splitter.feed(bytes.substr(split), take);
  if (splitter.held().size() > 64) abort();
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> whole = linesOf(bytes, size);
  // Where the reads split the input must not matter.
  if (linesOf(bytes, size / 2) != whole || linesOf(bytes, size / 3) != whole) abort();
  for (const std::string& line : whole) {
    if (line.find('\n') != std::string::npos || line.size() > 64 * 3) abort();
    if (validUtf8(line) != line) abort();
    ControlCommand command = parseControlLine(line);
    if (command.kind != ControlCommand::gains && !command.values.empty()) abort();
    if (command.kind == ControlCommand::stop && trimSpaces(line) != "stop") abort();
  }
  return 0;
}
