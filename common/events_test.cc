#include "common/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/text.h"

namespace quilltap {

TEST(EventStream, AnEventIsOneCompactLineAndInvalidBytesBecomeReplacementCharacters) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string awkward = "say \"hi\" \\ “XR18” Été\ttab\nnewline";
  EventStream(fds[1]).emit(
      {{"event", "started"}, {"device", awkward}, {"file", "M\xff\xfe \xc3("}});
  close(fds[1]);
  char buffer[4096];
  const std::string line(buffer, std::size_t(std::max<ssize_t>(0, read(fds[0], buffer, 4096))));
  close(fds[0]);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.substr(0, 11), "{\"device\":\"");  // compact
  EXPECT_EQ(Event::parse(line),
            (Event{{"event", "started"}, {"device", awkward}, {"file", "M\uFFFD\uFFFD \uFFFD("}}));
}

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
