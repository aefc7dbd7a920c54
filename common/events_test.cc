#include "common/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "common/text.h"

namespace quilltap {
namespace {

// The line `event` becomes.
std::string lineOf(const Event& event) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EventStream(fds[1]).emit(event);
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  return text;
}

TEST(EventStream, AnEventIsOneCompactLineAndInvalidBytesBecomeReplacementCharacters) {
  std::string line = lineOf({{"event", "error"}, {"message", "--out is required"}});
  EXPECT_EQ(line, "{\"event\":\"error\",\"message\":\"--out is required\"}\n");
  std::string awkward = "say \"hi\" \\ “XR18” Été\ttab\nnewline";
  line = lineOf({{"event", "started"}, {"device", awkward}, {"file", "Mixer\xff\xfe name \xc3("}});
  ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  Event parsed = Event::parse(line);
  EXPECT_EQ(parsed["device"], awkward);
  EXPECT_EQ(parsed["file"], "Mixer\uFFFD\uFFFD name \uFFFD(");
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(validUtf8("plain"), "plain");
  EXPECT_EQ(validUtf8("\xe2\x80\x9c ok \xe2\x80\x9d"), "“ ok ”");
  EXPECT_EQ(validUtf8("\xed\xa0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate is not text
  EXPECT_EQ(validUtf8("\xf0\x9f\x8e"), "\uFFFD\uFFFD\uFFFD");  // cut short
  EXPECT_EQ(validUtf8("\xc0\xaf"), "\uFFFD\uFFFD");            // overlong slash
  EXPECT_EQ(validUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Text, LowercaseCoversMoreThanAscii) {
  EXPECT_EQ(lowercase("XR18 Multichannel"), "xr18 multichannel");
  EXPECT_EQ(lowercase("ÉTÉ ΣΟΦΙΑ"), "été σοφια");
}

TEST(Text, TrimTakesUnicodeBlanksAndTabsButNotLineEnds) {
  EXPECT_EQ(trimSpaces("\t\u00a0 stop \u3000"), "stop");
  EXPECT_EQ(trimSpaces("stop\r"), "stop\r");
  EXPECT_EQ(trimSpaces("   "), "");
}

TEST(Text, NumbersAreReadStrictly) {
  EXPECT_EQ(parseInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parseInteger("9223372036854775807"), INT64_MAX);
  EXPECT_FALSE(parseInteger("9223372036854775808"));
  EXPECT_FALSE(parseInteger("+"));
  EXPECT_FALSE(parseInteger("1 "));
  EXPECT_FALSE(parseFloat(" 1"));
  EXPECT_FALSE(parseFloat("\n1"));
  EXPECT_FALSE(parseFloat("1 "));
  EXPECT_FALSE(parseFloat(std::string("1\0", 2)));
  EXPECT_EQ(parseFloat("1e-1"), 0.1f);
}

}  // namespace
}  // namespace quilltap
