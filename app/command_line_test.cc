#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quilltap {

TEST(CommandLine, TrackValuesNameTheirChannels) {
  const std::tuple<const char*, std::vector<std::int64_t>, const char*> cases[] = {
      {"3", {3}, "Ch 3"},        {"3:", {3}, "Ch 3"},   {"3,4:Keys", {3, 4}, "Keys"},
      {"3::b", {3}, ":b"},       {"1,x:Y", {1}, "Y"},   {"::5:Z", {5}, "Z"},
      {"3,4", {3, 4}, "Ch 3,4"}, {"-2", {-2}, "Ch -2"}, {"1,,2", {1, 2}, "Ch 1,,2"},
  };
  for (auto& [value, channels, name] : cases) {
    std::optional<Track> track = parseTrack(value);
    ASSERT_TRUE(track) << value;
    EXPECT_EQ(track->channels, channels) << value;
    EXPECT_EQ(track->name, name) << value;
  }
  for (const char* bad : {"", "::", ":Kick", "x:Y", "a,b", " 1"})
    EXPECT_FALSE(parseTrack(bad)) << bad;
}

TEST(CommandLine, GainsPiecesThatAreNotNumbersAreDropped) {
  EXPECT_EQ(parseGains("1,0.5,,abc,2"), (std::vector<float>{1.0f, 0.5f, 2.0f}));
  EXPECT_EQ(parseGains(" 1,2 ,3"), (std::vector<float>{3.0f}));
  EXPECT_EQ(parseGains("0x1p-1,-1e1,+.5"), (std::vector<float>{0.5f, -10.0f, 0.5f}));
  std::vector<float> special = parseGains("inf,nan");
  ASSERT_EQ(special.size(), 2u);
  EXPECT_TRUE(std::isinf(special[0]) && std::isnan(special[1]));
}

}  // namespace quilltap
