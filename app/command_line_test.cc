#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/fakes/fake_audio.h"

namespace quilltap {
namespace {

TEST(CommandLine, EveryCommandLineFailureHasItsMessage) {
  struct Case {
    std::vector<std::string> words;
    std::string message;
  } cases[] = {
      {{}, kUsage},
      {{"foo"}, "unknown command foo"},
      {{"LIST"}, "unknown command LIST"},
      {{"record"}, "--out is required"},
      {{"record", "--out", "/tmp/x", "--bits", "20"}, "--bits must be 16, 24 or 32"},
      {{"record", "--bits", "8", "--colour", "red"}, "unknown option --colour"},
      {{"record", "--device", "X", "--out"}, "--out is required"},
      {{"record", "--out", "/tmp/x", "--track"}, "bad --track "},
      {{"record", "--out", "/tmp/x", "--track", "1,2,3:X"}, "bad --track 1,2,3:X"},
      {{"record", "--out", "/tmp/x", "--track", "x:Y"}, "bad --track x:Y"},
      {{"record", "--out", "/tmp/x", "--track", ":Kick"}, "bad --track :Kick"},
      {{"record", "--out", "/tmp/x", "--track", ":"}, "bad --track :"},
      // The loop reports its error at its position, before the checks after it.
      {{"record", "--track", "bad", "--bits", "7"}, "bad --track bad"},
      {{"record", "-out", "/tmp/x"}, "unknown option -out"},
      // A path events could not name as it is on disk is refused, not repaired.
      {{"record", "--out", "/tmp/take\xff"}, "--out is not a valid UTF-8 path: /tmp/take\uFFFD"},
      {{"record", "--out", "/tmp/x", "--fallback", "/tmp/b\xc3"},
       "--fallback is not a valid UTF-8 path: /tmp/b\uFFFD"},
  };
  FakeAudioSystem audio;
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(runCommandLine(c.words, audio, EventStream(-1)).message(), c.message);
  }
}

TEST(CommandLine, OptionValuesAreTakenAsTheyCome) {
  Options options;
  ASSERT_TRUE(parseRecordOptions({"--out", "--bits", "--device", "A", "--device", " B ", "--bits",
                                  "+16", "--track", "3:Kick", "--track", "3,4:Keys"},
                                 &options)
                  .ok());
  EXPECT_EQ(options.outDir, "--bits");
  EXPECT_EQ(options.deviceQuery, " B ");
  EXPECT_EQ(options.bitDepth, 16);
  EXPECT_EQ(options.tracks, (std::vector<Track>{{{3}, "Kick"}, {{3, 4}, "Keys"}}));
  for (const char* notANumber : {"abc", "", " 16", "99999999999999999999"})
    EXPECT_EQ(parseBits(notANumber), 24);
}

TEST(TrackValue, NamesAndChannels) {
  struct Case {
    const char* value;
    std::vector<std::int64_t> channels;
    const char* name;
  } cases[] = {
      {"3:Kick", {3}, "Kick"},      {"3", {3}, "Ch 3"},    {"3:", {3}, "Ch 3"},
      {"3,4:Keys", {3, 4}, "Keys"}, {"3:a:b", {3}, "a:b"}, {"3::b", {3}, ":b"},
      {"1,x:Y", {1}, "Y"},          {"1, 2:Y", {1}, "Y"},  {"::5:Z", {5}, "Z"},
      {"3,4", {3, 4}, "Ch 3,4"},    {"0:Z", {0}, "Z"},     {"-2", {-2}, "Ch -2"},
      {"1,,2", {1, 2}, "Ch 1,,2"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::optional<Track> track = parseTrack(c.value);
    ASSERT_TRUE(track);
    EXPECT_EQ(track->channels, c.channels);
    EXPECT_EQ(track->name, c.name);
  }
  for (const char* bad : {"", ":", "::", "1,2,3:X", "x:Y", "a,b", " 1"}) {
    EXPECT_FALSE(parseTrack(bad)) << bad;
  }
}

TEST(GainsValue, PiecesThatAreNotNumbersAreDropped) {
  EXPECT_EQ(parseGains("1,0.5,,abc,2"), (std::vector<float>{1.0f, 0.5f, 2.0f}));
  EXPECT_EQ(parseGains(" 1,2 ,3"), (std::vector<float>{3.0f}));
  EXPECT_EQ(parseGains("0x1p-1,-1e1,+.5"), (std::vector<float>{0.5f, -10.0f, 0.5f}));
  std::vector<float> special = parseGains("inf,nan,INFINITY");
  ASSERT_EQ(special.size(), 3u);
  EXPECT_TRUE(std::isinf(special[0]));
  EXPECT_TRUE(std::isnan(special[1]));
  EXPECT_TRUE(parseGains("").empty());
}

TEST(Derivation, NoTracksMeansOneMonoTrackPerDeviceChannelAndAMixOnlyOneOutput) {
  Options options;
  options.mixName = "Main";
  deriveOutputs(options, 3);
  EXPECT_EQ(options.tracks, (std::vector<Track>{{{1}, "Ch 1"}, {{2}, "Ch 2"}, {{3}, "Ch 3"}}));
  EXPECT_EQ(options.outputs, (std::vector<Output>{{"Main", 2}}));
  Options tracks;
  tracks.tracks = {{{1, 2}, "Keys"}};
  tracks.gains = {3, 4};  // kept, unused, without a mix
  deriveOutputs(tracks, 3);
  EXPECT_EQ(tracks.outputs, (std::vector<Output>{{"Keys", 2}}));
  EXPECT_EQ(tracks.gains, (std::vector<float>{3, 4}));
}

}  // namespace
}  // namespace quilltap
