#include "app/startup.h"

#include "tests/unit/recording_fixture.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

class StartupTest : public RecordingTest {
 protected:
  // Starts with `words`; returns the one error message, or "" when it started.
  std::string failureOf(std::vector<std::string> words) {
    int status = exitStatusOf([&] {
      startRecording(std::move(words));
      throw ProcessExit{-2};  // it started
    });
    std::vector<Event> all = events();
    if (status == -2) return "";
    EXPECT_EQ(status, 1);
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? "?" : all.back()["message"].get<std::string>();
  }
  std::string out() { return scratch + "/take"; }
};

TEST_F(StartupTest, EveryStartFailureHasItsMessage) {
  audio.devices = {{1, "system", "Built-in", 2}, {7, "XR18", "XR18 Multichannel", 4}};
  EXPECT_EQ(failureOf({"--device", "Nope", "--out", out()}),
            "No audio input matching \"Nope\". Is the mixer plugged in over USB? Inputs found: Built-in, XR18 Multichannel");
  EXPECT_EQ(failureOf({"--out", out(), "--track", "5:X"}),
            "Channel 5 does not exist on XR18 Multichannel (it has 4 inputs)");
  EXPECT_EQ(failureOf({"--out", out(), "--track", "1:A", "--track", "0:Z"}),
            "Channel 0 does not exist on XR18 Multichannel (it has 4 inputs)");

  audio.engineAvailable = false;
  EXPECT_EQ(failureOf({"--out", out()}), "Could not access the audio input unit");
  audio.engineAvailable = true;
  audio.selectStatus = -1;
  EXPECT_EQ(failureOf({"--out", out()}), "Could not select XR18 Multichannel (error -1)");
  audio.selectStatus = 0;
  audio.format = {0, 0};
  EXPECT_EQ(failureOf({"--out", out()}), "XR18 Multichannel reported no usable input format");
  audio.format = {48000, 0};
  audio.startError = "the server said no";
  EXPECT_EQ(failureOf({"--out", out()}), "Could not start recording from XR18 Multichannel: the server said no");
  audio.startError.clear();
  EXPECT_EQ(failureOf({"--out", "/proc/no/such"}).rfind("/proc/no", 0), 0u);
}

TEST_F(StartupTest, StartedNamesEveryTrackAndItsFile) {
  audio.format = {44100, 6};  // the input format may differ from the device's count
  startRecording({"--out", out(), "--bits", "16", "--track", "2:Vox", "--track", "3,4:Keys"});
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 1u);
  Event expected = {{"event", "started"},
                    {"device", "XR18 Multichannel"},
                    {"sampleRate", 44100.0},
                    {"deviceChannels", 6},
                    {"bits", 16},
                    {"tracks",
                     {{{"name", "Vox"}, {"channels", {2}}, {"file", out() + "/01 Vox.wav"}},
                      {{"name", "Keys"}, {"channels", {3, 4}}, {"file", out() + "/02 Keys.wav"}}}}};
  EXPECT_EQ(all[0], expected);
  EXPECT_TRUE(audio.engine->running());
  EXPECT_EQ(audio.engine->tapBufferSize(), 4096u);
  EXPECT_EQ(rec().peaks.size(), 2u);
}

TEST_F(StartupTest, InMixModeEveryTrackNamesTheMixFile) {
  startRecording({"--out", out(), "--mix", "Main: mix", "--track", "1", "--track", "2", "--track", "3,4"});
  Event started = events().at(0);
  for (auto& track : started["tracks"]) EXPECT_EQ(track["file"], out() + "/Main_ mix.wav");
  EXPECT_EQ(rec().outputs.size(), 1u);
  EXPECT_EQ(rec().peaks.size(), 3u);
  EXPECT_EQ(rec().appliedGains, rec().gains);
  EXPECT_EQ(rec().gains.size(), 8u);
}

TEST_F(StartupTest, AStopWritesEveryCapturedFrameAndReportsTheFiles) {
  startRecording({"--out", out(), "--bits", "32", "--track", "1:A", "--track", "2,3:B"});
  events();
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(audio.engine->deliver(buffer(4, 4096, [k](std::size_t c, std::size_t i) {
      return float(c) * 0.1f + float(k * 4096 + i) / 65536.0f;
    })));
  }
  EXPECT_EQ(exitStatusOf([] { finish("stop"); }), 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["event"], "stopped");
  EXPECT_EQ(all[0]["reason"], "stop");
  EXPECT_DOUBLE_EQ(all[0]["seconds"].get<double>(), 3 * 4096 / 48000.0);
  EXPECT_EQ(all[0]["files"], (Event{out() + "/01 A.wav", out() + "/02 B.wav"}));
  EXPECT_EQ(all[0]["interrupted"], Event::array());
  EXPECT_FALSE(audio.engine->running());
  EXPECT_FALSE(audio.engine->tapInstalled());
  EXPECT_EQ(rec().writtenFrames, 3 * 4096);
  EXPECT_EQ(exitStatusOf([] {
              finish("signal");
              throw ProcessExit{-3};
            }),
            -3);  // a second call does nothing
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace quilltap
