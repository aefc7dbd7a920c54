#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/buffer_processing.h"

namespace quilltap {

/// Cuts the bytes of standard input into lines. A line ends at a line feed;
/// a carriage return right before it is dropped, so a front end that sends
/// Windows line endings is understood. A line longer than `maxLine` bytes is
/// discarded up to its line feed, so a parent that never sends one cannot
/// exhaust memory. Bytes are kept as they come and decoded per line, so a
/// character split across two reads stays whole.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;
  explicit LineSplitter(std::size_t maxLine = kMaxLine) : maxLine_(maxLine) {}

  /// Appends `bytes` and calls `onLine` with each complete line, as valid
  /// UTF-8; stops early and returns false when `onLine` returns false.
  bool feed(std::string_view bytes, const std::function<bool(const std::string&)>& onLine);

 private:
  std::size_t maxLine_;
  std::string held_;
  bool discarding_ = false;
};

/// What one control line asks for.
struct ControlCommand {
  enum Kind { none, stop, gains } kind = none;
  std::vector<float> values;  // for gains: the numbers that parsed, in order
};

/// Reads one line: "stop", "gains " followed by comma-separated numbers, or
/// anything else (ignored), after trimming blanks at both ends.
ControlCommand parseControlLine(std::string_view line);

/// Acts on one line: a gains list of the right length replaces the mix
/// gains of `processor`. Returns true when the line is "stop".
bool handleControlLine(const std::string& line, BufferProcessor& processor);

/// Reads standard input (`fd`) on a thread of its own until "stop" or end of
/// input, each of which posts `finish` with its reason to the main queue.
/// `processor` must outlive the process.
void installControlChannel(int fd, BufferProcessor& processor,
                           std::function<void(const std::string&)> finish);

}  // namespace quilltap
