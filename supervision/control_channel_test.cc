#include "supervision/control_channel.h"

#include <gtest/gtest.h>

namespace quilltap {

// The process tests send whole inputs end to end; here the reads are split at every awkward place.
TEST(LineSplitter, LinesInPiecesWithCarriageReturnsSplitCharactersAndOverlongLines) {
  LineSplitter splitter(16);
  auto linesOf = [&](std::initializer_list<std::string_view> reads) {
    std::vector<std::string> lines;
    for (std::string_view bytes : reads)
      splitter.feed(bytes, [&](const std::string& line) { return lines.push_back(line), true; });
    return lines;
  };
  EXPECT_EQ(linesOf({"st", "o", "p\r\ngai", "ns 1,2\n\nrest"}),
            (std::vector<std::string>{"stop", "gains 1,2", ""}));
  EXPECT_EQ(linesOf({"\na\rb\n", "caf\xc3", "\xa9\n", "\xff stop\n"}),
            (std::vector<std::string>{"rest", "a\rb", "café", "\uFFFD stop"}));
  std::string flood(40, 'x');  // a parent that never sends a line feed cannot exhaust memory
  EXPECT_EQ(linesOf({flood, flood, "tail\nstop\n"}), (std::vector<std::string>{"stop"}));
  EXPECT_LE(splitter.held().size(), 16u);
}

}  // namespace quilltap
