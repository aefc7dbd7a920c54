#include "supervision/progress.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
extern thread_local bool failingAllocations;  // tests/unit/failing_new.cc

using namespace std::chrono_literals;

class ProgressTest : public RecordingTest {
 protected:
  std::vector<Event> tick() {
    recorder->progress().tick();
    return takeEvents();
  }
};

TEST_F(ProgressTest, LostInputIsReportedAfterTheProgressAlsoForABufferThatFoundNoMemory) {
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--track", "1:A"}), "");
  takeEvents();
  audio.lostFrames = 24;  // half a millisecond still counts as one
  EXPECT_EQ(tick().at(1)["message"], "Lost 1 ms of input: the system could not keep up.");
  EXPECT_EQ(tick().size(), 1u);
  auto data = buffer(4800, [](std::size_t, std::size_t) { return 0.5f; });
  failingAllocations = true;
  bool threw = false;
  try {
    audio.deliver(data);
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
  drive.limitedDir = scratch.path + "/t";
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--fallback", scratch.path + "/b"}), "");
  takeEvents();
  drive.stall();
  ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t, std::size_t) { return 0.1f; })));
  clock.advance(7900ms);
  EXPECT_EQ(tick().size(), 1u);
  clock.advance(200ms);
  std::vector<Event> all = tick();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["reason"], "The drive stopped responding");
  EXPECT_EQ(tick().size(), 1u);  // after a failover the drive is watched no more
}

}  // namespace quilltap
