#include <gtest/gtest.h>

#include <cmath>

#include "common/text.h"

namespace quilltap {

// Every text from outside goes out in events: as UTF-8, whatever its bytes were.
TEST(Text, InvalidUtf8BecomesReplacementCharactersAndCaseAndBlanksGoBeyondAscii) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xe2\x80\x9c ok \xe2\x80\x9d", "“ ok ”"},
      {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},  // a surrogate is not text
      {"\xf0\x9f\x8e", "\uFFFD\uFFFD\uFFFD"},  // cut short
      {"\xc0\xaf", "\uFFFD\uFFFD"},            // overlong slash
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (auto& [bytes, text] : cases) EXPECT_EQ(validUtf8(bytes), text) << bytes;
  EXPECT_EQ(lowercase("ÉTÉ ΣΟΦΙΑ XR18"), "été σοφια xr18");
  EXPECT_EQ(trimSpaces("\t\u00a0 stop \u3000"), "stop");
  EXPECT_EQ(trimSpaces("stop\r"), "stop\r");  // a line end is no blank
}

TEST(Text, GainsPiecesThatAreNotNumbersAreDropped) {
  EXPECT_EQ(parseGains("1,0.5,,abc,2"), (std::vector<float>{1.0f, 0.5f, 2.0f}));
  EXPECT_EQ(parseGains(" 1,2 ,3"), (std::vector<float>{3.0f}));
  EXPECT_EQ(parseGains("0x1p-1,-1e1,+.5"), (std::vector<float>{0.5f, -10.0f, 0.5f}));
  std::vector<float> special = parseGains("inf,nan");
  ASSERT_EQ(special.size(), 2u);
  EXPECT_TRUE(std::isinf(special[0]) && std::isnan(special[1]));
}

}  // namespace quilltap
