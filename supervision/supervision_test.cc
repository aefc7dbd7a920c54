#include <cmath>

#include "supervision/control_channel.h"
#include "supervision/device_change.h"
#include "supervision/progress.h"
#include "tests/unit/recording_fixture.h"

extern thread_local bool failingAllocations;  // tests/unit/failing_new.cc

namespace quilltap {

using namespace std::chrono_literals;

class ProgressTest : public RecordingTest {
 protected:
  std::vector<Event> tick() { return recorder->progress().tick(), takeEvents(); }
};

TEST_F(ProgressTest, LostInputIsReportedAfterTheProgressAlsoForABufferThatFoundNoMemory) {
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--track", "1:A"}), "");
  takeEvents();
  audio.lostFrames = 24;  // half a millisecond still counts as one
  EXPECT_EQ(tick().at(1)["message"], "Lost 1 ms of input: the system could not keep up.");
  EXPECT_EQ(tick().size(), 1u);
  auto data = buffer(4800, [](std::size_t, std::size_t) { return 0.5f; });
  failingAllocations = true;
  audio.deliver(data);  // a buffer that finds no memory is counted as lost
  failingAllocations = false;
  std::vector<Event> all = tick();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["seconds"], 0.0);
  EXPECT_EQ(all[1]["message"], "Lost 100 ms of input: the system could not keep up.");
}

TEST_F(ProgressTest, PeaksAreEachTracksLargestSizeInTenthsOfADbAlwaysANumberAndFreshEachTick) {
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--track", "1", "--track", "2", "--track", "3",
                   "--track", "2,4"}),
            "");
  takeEvents();
  // 67 frames: the vector loop and the tail. Channel 1 full scale negative, 2 silent, 3 -inf
  // (JSON has no infinity), 4 a NaN among 0.3; the stereo track takes its louder channel.
  ASSERT_TRUE(audio.deliver(buffer(67, [&](std::size_t c, std::size_t i) {
    const float pick[] = {i == 5 ? -1.0f : 0.25f, 0.0f, i == 66 ? -INFINITY : 0.5f,
                          i == 3 ? NAN : 0.3f};
    return pick[c];
  })));
  std::vector<Event> first = tick();
  EXPECT_EQ(first.at(0)["seconds"], 67 / 48000.0);
  EXPECT_EQ(first[0]["peaks"], (Event{0.0, -120.0, 770.6, -10.5}));
  EXPECT_EQ(tick().at(0)["peaks"], (Event{-120.0, -120.0, -120.0, -120.0}));
}

TEST_F(ProgressTest, AStallIsAnOldestUnwrittenChunkOfMoreThanEightSecondsOnTheMonotonicClock) {
  drive.limitedDir = scratch.path + "/t";
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--fallback", scratch.path + "/b"}), "");
  takeEvents();
  // Less than a group waits for more; when capture pauses, it is written all the same.
  ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t, std::size_t) { return 0.1f; })));
  clock.advance(600ms);
  tick();
  awaitWritten(4096);
  clock.advance(8000ms);
  EXPECT_EQ(tick().size(), 1u);
  drive.stalled = true;
  ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t, std::size_t) { return 0.1f; })));
  clock.advance(7900ms);
  EXPECT_EQ(tick().size(), 1u);
  clock.advance(200ms);
  std::vector<Event> all = tick();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["reason"], "The drive stopped responding");
  EXPECT_EQ(tick().size(), 1u);  // after a failover the drive is watched no more
}

// No JACK server changes its sample rate under a client: the process tests cannot stage this.
using DeviceChangeTest = RecordingTest;

TEST_F(DeviceChangeTest, AGoneOrChangedDeviceEndsTheRecordingWithAWarningThatSaysWhy) {
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--track", "1:A"}), "");
  takeEvents();
  audio.format.sampleRate = 44100.5;
  EXPECT_EQ(exitStatusOf(audio.onChange), 0);  // as the main queue runs it
  std::vector<Event> end = takeEvents();
  ASSERT_GE(end.size(), 2u);
  EXPECT_EQ(end.end()[-2]["message"],
            "Could not resume recording: sample rate changed from 48000 to 44100 Hz. Saved what "
            "was recorded.");
  EXPECT_EQ(end.back()["reason"], "device-changed");
  EXPECT_FALSE(audio.tap);
}

// The process tests send whole inputs end to end; here the reads are split at every awkward place.
TEST(LineSplitter, LinesInPiecesWithCarriageReturnsSplitCharactersAndOverlongLines) {
  LineSplitter splitter(16);
  auto linesOf = [&](std::initializer_list<std::string_view> reads) {
    std::vector<std::string> lines;
    for (std::string_view bytes : reads)
      splitter.feed(bytes, [&](const std::string& line) { return lines.push_back(line), true; });
    return lines;
  };
  EXPECT_EQ(linesOf({"st", "o", "p\r\ngai", "ns 1,2\n\na\rb\ncaf\xc3", "\xa9\n", "\xff stop\n"}),
            (std::vector<std::string>{"stop", "gains 1,2", "", "a\rb", "café", "\uFFFD stop"}));
  std::string flood(40, 'x');  // a parent that never sends a line feed cannot exhaust memory
  EXPECT_EQ(linesOf({flood, flood, "tail\nstop\n"}), (std::vector<std::string>{"stop"}));
}

}  // namespace quilltap
