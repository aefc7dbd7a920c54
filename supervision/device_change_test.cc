#include "supervision/device_change.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

class DeviceChangeTest : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    ASSERT_EQ(start({"--out", scratch + "/t", "--bits", "32", "--track", "1:A"}), "");
    takeEvents();
  }
  // The notification, then the main queue for a moment: the exit status, or
  // -1 while it still records.
  int handleChange() {
    audio.engine->changeConfiguration();
    return exitStatusOf([] {
      mainQueue().runUntil([] { return false; }, 200ms);
      throw ProcessExit{-1};
    });
  }
  std::vector<Event> lastTwo() {
    std::vector<Event> all = takeEvents();
    return all.size() < 2 ? all : std::vector<Event>(all.end() - 2, all.end());
  }
};

TEST_F(DeviceChangeTest, ADeviceThatIsStillThereResumesIntoTheSameFiles) {
  ASSERT_TRUE(audio.engine->deliver(buffer(4, 100, [](std::size_t, std::size_t) { return 0.5f; })));
  EXPECT_EQ(handleChange(), -1);
  EXPECT_EQ(audio.engine->starts(), 2);
  ASSERT_TRUE(audio.engine->deliver(buffer(4, 100, [](std::size_t, std::size_t) { return 0.5f; })));
  idle(take().firstSink);
  MutexLock hold(take().lock);
  EXPECT_EQ(take().writtenFrames, 200);
}

TEST_F(DeviceChangeTest, AGoneOrChangedDeviceEndsTheRecordingWithAWarningThatSaysWhy) {
  audio.format.sampleRate = 44100.5;
  EXPECT_EQ(handleChange(), 0);
  std::vector<Event> end = lastTwo();
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(end[0]["message"],
            "Could not resume recording: sample rate changed from 48000 to 44100 Hz. Saved what "
            "was recorded.");
  EXPECT_EQ(end[1]["reason"], "device-changed");
  EXPECT_FALSE(audio.engine->tapInstalled());
}

TEST_F(DeviceChangeTest, AGoneDeviceEndsTheRecordingAsDisconnected) {
  audio.devices[0].uid = "XR18-2";
  EXPECT_EQ(handleChange(), 0);
  std::vector<Event> end = lastTwo();
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(end[0]["message"], "XR18 Multichannel disconnected. Recording stopped and saved.");
  EXPECT_EQ(end[1]["reason"], "device-disconnected");
}

}  // namespace
}  // namespace quilltap
