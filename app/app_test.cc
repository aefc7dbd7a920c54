#include "app/command_line.h"
#include "app/startup.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {

TEST(CommandLine, TrackValuesNameTheirChannels) {
  const std::tuple<const char*, std::vector<std::int64_t>, const char*> cases[] = {
      {"3", {3}, "Ch 3"},        {"3:", {3}, "Ch 3"},   {"3,4:Keys", {3, 4}, "Keys"},
      {"3::b", {3}, ":b"},       {"1,x:Y", {1}, "Y"},   {"::5:Z", {5}, "Z"},
      {"4,3", {4, 3}, "Ch 4,3"}, {"-2", {-2}, "Ch -2"}, {"1,,2", {1, 2}, "Ch 1,,2"},
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

TEST(CommandLine, EveryCommandLineFailureHasItsMessage) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, kUsage},
      {{"LIST"}, "unknown command LIST"},
      {{"list", "--device", "x"}, ""},  // a listing takes no options and refuses none
      {{"record"}, "--out is required"},
      {{"record", "--out", "/tmp/x", "--bits", "20"}, "--bits must be 16, 24 or 32"},
      {{"record", "--bits", "8", "--colour", "red"}, "unknown option --colour"},
      {{"record", "--device", "X", "--out"}, "--out is required"},
      {{"record", "--out", "/tmp/x", "--track"}, "bad --track "},
      {{"record", "--out", "/tmp/x", "--track", "1,2,3:X"}, "bad --track 1,2,3:X"},
      // The loop reports its error at its position, before the checks after it.
      {{"record", "--track", "bad", "--bits", "7"}, "bad --track bad"},
      {{"record", "-out", "/tmp/x"}, "unknown option -out"},
      // A path events could not name as it is on disk is refused, not repaired.
      {{"record", "--out", "/tmp/x", "--fallback", "/tmp/b\xc3"},
       "--fallback is not a valid UTF-8 path: /tmp/b\uFFFD"},
      {{"record", "--out", "/tmp/\xff"}, "--out is not a valid UTF-8 path: /tmp/\uFFFD"},
  };
  FakeAudioSystem audio;
  for (auto& [words, message] : cases)
    EXPECT_EQ(runCommandLine(words, audio, EventStream(-1)).message(), message);
}

using StartupTest = RecordingTest;

TEST_F(StartupTest, StoppedComesOnceAndOnlyAfterEveryFileIsClosed) {
  const std::string out = scratch.path + "/take";
  EXPECT_EQ(start({"--out", out, "--track", "1:A", "--track", "0:Z"}),
            "Channel 0 does not exist on XR18 Multichannel (it has 4 inputs)");
  ASSERT_EQ(start({"--out", out, "--bits", "32", "--track", "1:A", "--track", "2,3:B"}), "");
  takeEvents();
  for (int k = 0; k < 3; ++k)
    ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t c, std::size_t) { return c * 0.1f; })));
  drive.onClose = [&](const std::string&) { EXPECT_EQ(takeEvents(), std::vector<Event>{}); };
  EXPECT_EQ(exitStatusOf([this] { recorder->finish().finish("stop"); }), 0);
  EXPECT_EQ(takeEvents(),
            std::vector<Event>{(Event{{"event", "stopped"},
                                      {"reason", "stop"},
                                      {"seconds", 3 * 4096 / 48000.0},
                                      {"files", {out + "/01 A.wav", out + "/02 B.wav"}},
                                      {"interrupted", Event::array()}})});
  EXPECT_FALSE(audio.tap);
  // A signal after "stopped" starts no second finish.
  EXPECT_EQ(exitStatusOf([this] { recorder->finish().finish("signal"); }), -1);
  EXPECT_TRUE(takeEvents().empty());
}

}  // namespace quilltap
