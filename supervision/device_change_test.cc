#include "supervision/device_change.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

class DeviceChangeTest : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    startRecording({"--out", scratch + "/t", "--bits", "32", "--track", "1:A"});
    events();
  }
  int handleChange() {
    audio.engine->changeConfiguration();
    return exitStatusOf([] {
      mainQueue().runUntil([] { return false; }, 200ms);
      throw ProcessExit{-1};  // still recording
    });
  }
};

TEST_F(DeviceChangeTest, ADeviceThatIsStillThereResumesIntoTheSameFiles) {
  ASSERT_TRUE(audio.engine->deliver(buffer(4, 100, [](std::size_t, std::size_t) { return 0.5f; })));
  audio.devices[0].id = 99;  // back under another id, same uid
  EXPECT_EQ(handleChange(), -1);
  EXPECT_TRUE(audio.engine->running());
  EXPECT_EQ(audio.engine->starts(), 2);
  ASSERT_TRUE(audio.engine->deliver(buffer(4, 100, [](std::size_t, std::size_t) { return 0.5f; })));
  EXPECT_TRUE(waitForWritten(200));
  std::vector<Event> all = events();
  for (Event& e : all) EXPECT_EQ(e["event"], "progress");
}

TEST_F(DeviceChangeTest, AGoneDeviceEndsTheRecordingWithAWarning) {
  audio.devices[0].uid = "XR18-2";
  EXPECT_EQ(handleChange(), 0);
  std::vector<Event> all = events();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[all.size() - 2],
            (Event{{"event", "warning"}, {"message", "XR18 Multichannel disconnected. Recording stopped and saved."}}));
  EXPECT_EQ(all.back()["reason"], "device-disconnected");
}

TEST_F(DeviceChangeTest, ARateChangeEndsTheRecordingWithTheRatesInTheWarning) {
  audio.format.sampleRate = 44100.5;
  EXPECT_EQ(handleChange(), 0);
  std::vector<Event> all = events();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[all.size() - 2]["message"],
            "Could not resume recording: sample rate changed from 48000 to 44100 Hz. Saved what was recorded.");
  EXPECT_EQ(all.back()["reason"], "device-changed");
  EXPECT_FALSE(audio.engine->tapInstalled());
}

TEST_F(DeviceChangeTest, NothingHappensOnceStopping) {
  rec().stopping = true;
  audio.devices.clear();
  EXPECT_EQ(handleChange(), -1);
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace quilltap
