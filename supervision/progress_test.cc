#include "supervision/progress.h"

#include <limits>

#include "tests/unit/fault_injection.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

TEST(Level, DecibelsToATenthWithSilenceAtMinus120) {
  EXPECT_EQ(levelOf(1.0f), 0.0);
  EXPECT_EQ(levelOf(0.5f), -6.0);
  EXPECT_EQ(levelOf(2.0f), 6.0);
  EXPECT_EQ(levelOf(0.00417f), -47.6);  // a tenth, not the float nearest to it
  EXPECT_EQ(levelOf(0.0f), -120.0);
  EXPECT_EQ(levelOf(std::numeric_limits<float>::quiet_NaN()), -120.0);
  EXPECT_EQ(levelOf(std::numeric_limits<float>::infinity()), 770.6);  // JSON has no infinity
  EXPECT_EQ(driveName("/media/usb//"), "usb");
}

class ProgressTest : public RecordingTest {
 protected:
  void deliver(float value, std::size_t frames = 4096) {
    auto data =
        buffer(4, frames, [value](std::size_t c, std::size_t) { return c == 0 ? value : 0.0f; });
    ASSERT_TRUE(audio.engine->deliver(data));
  }
  std::vector<Event> tick() {
    recorder->progress().tick();
    return takeEvents();
  }
};

TEST_F(ProgressTest, ReportsSecondsAndPerTrackLevelsThenResetsThePeaks) {
  ASSERT_EQ(start({"--out", scratch + "/t", "--track", "1:Loud", "--track", "2:Quiet"}), "");
  takeEvents();
  deliver(0.5f, 4800);
  EXPECT_EQ(
      tick(),
      (std::vector<Event>{{{"event", "progress"}, {"seconds", 0.1}, {"peaks", {-6.0, -120.0}}}}));
  EXPECT_EQ(tick().at(0)["peaks"], (Event{-120.0, -120.0}));
}

TEST_F(ProgressTest, LostInputIsReportedAfterTheProgressAlsoForABufferThatFoundNoMemory) {
  ASSERT_EQ(start({"--out", scratch + "/t", "--track", "1:A"}), "");
  takeEvents();
  audio.lostFrames = 24;  // half a millisecond still counts as one
  EXPECT_EQ(tick().at(1)["message"], "Lost 1 ms of input: the system could not keep up.");
  EXPECT_EQ(tick().size(), 1u);
  auto data = buffer(4, 4800, [](std::size_t, std::size_t) { return 0.5f; });
  failingAllocations = true;
  bool threw = false;
  try {
    audio.engine->deliver(data);
  } catch (const std::bad_alloc&) {
    threw = true;  // on the capture thread this would end the process
  }
  failingAllocations = false;
  EXPECT_FALSE(threw);
  std::vector<Event> all = tick();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["seconds"], 0.0);
  EXPECT_EQ(all[1]["message"], "Lost 100 ms of input: the system could not keep up.");
}

TEST_F(ProgressTest, AStallIsAnOldestUnwrittenChunkOfMoreThanEightSecondsOnTheMonotonicClock) {
  drive.limitedDir = scratch + "/t";
  ASSERT_EQ(start({"--out", scratch + "/t", "--fallback", scratch + "/b"}), "");
  takeEvents();
  drive.stall();
  deliver(0.1f);
  clock.advance(7900ms);
  EXPECT_EQ(tick().size(), 1u);
  clock.advance(200ms);
  std::vector<Event> all = tick();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["reason"], "The drive stopped responding");
  EXPECT_EQ(tick().size(), 1u);  // after a failover the drive is watched no more
}

TEST_F(ProgressTest, AGoneVolumeWinsOverAStall) {
  drive.limitedDir = scratch + "/t";
  ASSERT_EQ(
      start({"--out", scratch + "/t", "--fallback", scratch + "/b", "--volume", scratch + "/REC/"}),
      "");
  takeEvents();
  drive.stall();
  deliver(0.1f);
  clock.advance(9s);
  EXPECT_EQ(tick().at(1)["reason"], "The drive “REC” was disconnected");
}

TEST_F(ProgressTest, ABacklogBeyondTheLimitEndsTheRecordingExactlyAtTheLimitNot) {
  ASSERT_EQ(start({"--out", scratch + "/t", "--track", "1:A"},
                  [](Options& s) { s.maxPendingSeconds = 0.2; }),
            "");
  takeEvents();
  drive.stall();
  deliver(0.1f, 4800);
  deliver(0.1f, 4800);  // 9600 frames: exactly the limit
  EXPECT_EQ(tick().size(), 1u);
  deliver(0.1f, 1);
  // The final flush gets through once the tick has measured the backlog.
  std::thread([this] {
    std::this_thread::sleep_for(200ms);
    drive.release();
  }).detach();
  EXPECT_EQ(exitStatusOf([this] { recorder->progress().tick(); }), 0);
  std::vector<Event> all = takeEvents();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(
      all[1]["message"],
      "The disk can’t keep up with the recording. Recording stopped; what was written is saved.");
  EXPECT_EQ(all[2]["reason"], "write-error");
}

}  // namespace
}  // namespace quilltap
