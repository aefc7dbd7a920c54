#include "app/command_line.h"

#include <cmath>

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

class CommandLineTest : public RecordingTest {
 protected:
  // Runs the entry with `words` after the program name; returns the exit
  // status, or -1 when it went on to start a recording.
  int run(std::vector<std::string> words) {
    std::vector<char*> argv{const_cast<char*>("quilltap")};
    for (std::string& word : words) argv.push_back(word.data());
    return exitStatusOf([&] { runCommandLine(static_cast<int>(argv.size()), argv.data()); });
  }

  std::string onlyError() {
    std::vector<Event> all = events();
    EXPECT_EQ(all.size(), 1u);
    if (all.size() != 1) return "";
    EXPECT_EQ(all[0]["event"], "error");
    return all[0]["message"];
  }
};

TEST_F(CommandLineTest, EveryCommandLineFailureIsOneErrorWithExitStatusOne) {
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
      {{"record", "--out", "/tmp/x", "--fallback", "/tmp/b\xc3"}, "--fallback is not a valid UTF-8 path: /tmp/b\uFFFD"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(run(c.words), 1);
    EXPECT_EQ(onlyError(), c.message);
  }
}

TEST_F(CommandLineTest, OptionValuesAreTakenAsTheyCome) {
  rec().args = {"--out", "--bits", "--device", "A", "--device", " B ", "--bits", "+16",
                "--track", "3:Kick", "--track", "3,4:Keys"};
  parseRecordOptions();
  EXPECT_EQ(rec().outDir, "--bits");
  EXPECT_EQ(rec().deviceQuery, " B ");
  EXPECT_EQ(rec().bitDepth, 16);
  EXPECT_EQ(rec().tracks, (std::vector<Track>{{{3}, "Kick"}, {{3, 4}, "Keys"}}));
}

TEST_F(CommandLineTest, BitsThatAreNotANumberMeanTwentyFour) {
  EXPECT_EQ(parseBits("abc"), 24);
  EXPECT_EQ(parseBits(""), 24);
  EXPECT_EQ(parseBits(" 16"), 24);
  EXPECT_EQ(parseBits("-16"), -16);
  EXPECT_EQ(parseBits("99999999999999999999"), 24);
}

TEST(TrackValue, NamesAndChannels) {
  struct Case {
    const char* value;
    std::vector<std::int64_t> channels;
    const char* name;
  } cases[] = {
      {"3:Kick", {3}, "Kick"},  {"3", {3}, "Ch 3"},        {"3:", {3}, "Ch 3"},
      {"3,4:Keys", {3, 4}, "Keys"}, {"3:a:b", {3}, "a:b"}, {"3::b", {3}, ":b"},
      {"1,x:Y", {1}, "Y"},      {"1, 2:Y", {1}, "Y"},      {"::5:Z", {5}, "Z"},
      {"3,4", {3, 4}, "Ch 3,4"}, {"0:Z", {0}, "Z"},        {"-2", {-2}, "Ch -2"},
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

class DerivationTest : public RecordingTest {};

TEST_F(DerivationTest, NoTracksMeansOneMonoTrackPerDeviceChannel) {
  deriveOutputs(3);
  EXPECT_EQ(rec().tracks, (std::vector<Track>{{{1}, "Ch 1"}, {{2}, "Ch 2"}, {{3}, "Ch 3"}}));
  EXPECT_EQ(rec().outputs, (std::vector<Output>{{"Ch 1", 1}, {"Ch 2", 1}, {"Ch 3", 1}}));
  EXPECT_FALSE(rec().mixing);
}

TEST_F(DerivationTest, MixGetsDefaultGainsUnlessTheListFits) {
  Recording& r = rec();
  r.tracks = {{{1}, "Vox"}, {{3, 4}, "Keys"}};
  r.mixName = "Main";
  r.gains = {1, 2, 3};
  deriveOutputs(18);
  EXPECT_TRUE(r.mixing);
  EXPECT_EQ(r.trackChannels, 3);
  EXPECT_EQ(r.gains, (std::vector<float>{0.7071f, 0.7071f, 1, 0, 0, 1}));
  EXPECT_EQ(r.gains[0], 0.70709997f);
  EXPECT_EQ(r.outputs, (std::vector<Output>{{"Main", 2}}));

  resetRecordingForTesting();
  rec().tracks = {{{1}, "A"}, {{2}, "B"}};
  rec().mixName = "Main";
  rec().gains = {1, 0, 0, 1};
  deriveOutputs(18);
  EXPECT_EQ(rec().gains, (std::vector<float>{1, 0, 0, 1}));
}

TEST_F(DerivationTest, GainsWithoutAMixAreKeptAndUnused) {
  rec().tracks = {{{1}, "A"}};
  rec().gains = {5};
  deriveOutputs(2);
  EXPECT_EQ(rec().gains, (std::vector<float>{5}));
  EXPECT_EQ(rec().outputs, (std::vector<Output>{{"A", 1}}));
}

}  // namespace
}  // namespace quilltap
