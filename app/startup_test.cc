#include "app/startup.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

class StartupTest : public RecordingTest {
 protected:
  std::string out() { return scratch + "/take"; }
};

TEST_F(StartupTest, EveryStartFailureHasItsMessage) {
  audio.devices = {{"system", "Built-in", 2}, {"XR18", "XR18 Multichannel", 4}};
  EXPECT_EQ(start({"--device", "Nope", "--out", out()}),
            "No audio input matching \"Nope\". Is the mixer plugged in over USB? Inputs found: "
            "Built-in, XR18 Multichannel");
  EXPECT_EQ(start({"--out", out(), "--track", "1:A", "--track", "0:Z"}),
            "Channel 0 does not exist on XR18 Multichannel (it has 4 inputs)");
  audio.engineAvailable = false;
  EXPECT_EQ(start({"--out", out()}), "Could not access the audio input unit");
  audio.engineAvailable = true;
  audio.selectError = "Could not select XR18 Multichannel (error -1)";
  EXPECT_EQ(start({"--out", out()}), audio.selectError);
  audio.selectError.clear();
  audio.format = {0, 0};
  EXPECT_EQ(start({"--out", out()}), "XR18 Multichannel reported no usable input format");
  audio.format = {48000, 0};
  audio.startError = "the server said no";
  EXPECT_EQ(start({"--out", out()}),
            "Could not start recording from XR18 Multichannel: the server said no");
  audio.startError.clear();
  drive.noFolders = true;
  EXPECT_EQ(start({"--out", out()}), out() + ": Permission denied");
  EXPECT_TRUE(takeEvents().empty());  // the entry reports them
}

TEST_F(StartupTest, StartedNamesEveryTrackAndItsFile) {
  audio.format = {44100, 6};  // the input format may differ from the device's count
  ASSERT_EQ(start({"--out", out(), "--bits", "16", "--track", "2:Vox", "--track", "3,4:Keys"}), "");
  Event expected = {{"event", "started"},
                    {"device", "XR18 Multichannel"},
                    {"sampleRate", 44100.0},
                    {"deviceChannels", 6},
                    {"bits", 16},
                    {"tracks",
                     {{{"name", "Vox"}, {"channels", {2}}, {"file", out() + "/01 Vox.wav"}},
                      {{"name", "Keys"}, {"channels", {3, 4}}, {"file", out() + "/02 Keys.wav"}}}}};
  EXPECT_EQ(takeEvents(), std::vector<Event>{expected});
  EXPECT_EQ(audio.engine->usedChannels(), (std::vector<std::int64_t>{2, 3, 4}));
  ASSERT_EQ(start({"--out", out(), "--mix", "Main: mix", "--track", "1", "--track", "3,4"}), "");
  Event started = takeEvents().at(0);
  for (auto& track : started["tracks"]) EXPECT_EQ(track["file"], out() + "/Main_ mix.wav");
}

TEST_F(StartupTest, StoppedComesOnceAndOnlyAfterEveryFileIsClosed) {
  ASSERT_EQ(start({"--out", out(), "--bits", "32", "--track", "1:A", "--track", "2,3:B"}), "");
  takeEvents();
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(audio.engine->deliver(
        buffer(4, 4096, [](std::size_t c, std::size_t) { return c * 0.1f; })));
  }
  std::vector<Event> beforeClose;
  drive.onClose = [&](const std::string&) {
    for (Event& e : takeEvents()) beforeClose.push_back(e);
  };
  EXPECT_EQ(exitStatusOf([this] { recorder->finish().finish("stop"); }), 0);
  EXPECT_TRUE(beforeClose.empty()) << beforeClose.front();
  std::vector<Event> all = takeEvents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], (Event{{"event", "stopped"},
                           {"reason", "stop"},
                           {"seconds", 3 * 4096 / 48000.0},
                           {"files", {out() + "/01 A.wav", out() + "/02 B.wav"}},
                           {"interrupted", Event::array()}}));
  EXPECT_FALSE(audio.engine->tapInstalled());
  EXPECT_EQ(exitStatusOf([this] {
              recorder->finish().finish("signal");  // a signal after "stopped"
              throw ProcessExit{-3};
            }),
            -3);
  EXPECT_TRUE(takeEvents().empty());
}

}  // namespace
}  // namespace quilltap
