#include <gtest/gtest.h>

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

}  // namespace quilltap
