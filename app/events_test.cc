#include "app/events.h"

#include "app/text.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

class EventsTest : public RecordingTest {
 protected:
  std::string rawLines() {
    std::string text;
    char buffer[4096];
    ssize_t n = read(eventPipe[0], buffer, sizeof buffer);
    if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    return text;
  }
};

TEST_F(EventsTest, AnEventIsOneCompactLine) {
  emit({{"event", "error"}, {"message", "--out is required"}});
  std::string line = rawLines();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line.find(' ', line.find("\"--out")), line.find("is") - 1);  // only the message's own blanks
  EXPECT_EQ(line.find(": "), std::string::npos);
  EXPECT_EQ(Event::parse(line), (Event{{"event", "error"}, {"message", "--out is required"}}));
}

TEST_F(EventsTest, AwkwardTextComesOutAsValidJsonAndInvalidBytesAsReplacementCharacters) {
  std::string awkward = "say \"hi\" \\ “XR18” Été\ttab\nnewline";
  std::string invalid = "Mixer\xff\xfe name \xc3(";
  emit({{"event", "started"}, {"device", awkward}, {"file", invalid}});
  std::string line = rawLines();
  ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  Event parsed = Event::parse(line);
  EXPECT_EQ(parsed["device"], awkward);
  EXPECT_EQ(parsed["file"], "Mixer\uFFFD\uFFFD name \uFFFD(");
}

TEST_F(EventsTest, FailEmitsTheErrorThenExitsWithStatusOne) {
  EXPECT_EQ(exitStatusOf([] { fail("bad --track x"); }), 1);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["message"], "bad --track x");
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(validUtf8("plain"), "plain");
  EXPECT_EQ(validUtf8("\xe2\x80\x9c ok \xe2\x80\x9d"), "“ ok ”");
  EXPECT_EQ(validUtf8("\xed\xa0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate is not text
  EXPECT_EQ(validUtf8("\xf0\x9f\x8e"), "\uFFFD\uFFFD\uFFFD");  // cut short
  EXPECT_EQ(validUtf8("\xc0\xaf"), "\uFFFD\uFFFD");           // overlong slash
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
