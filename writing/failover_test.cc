#include "writing/failover.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {

class FailoverTest : public RecordingTest {
 protected:
  std::string out() { return scratch.path + "/drive"; }
  std::string backup() { return scratch.path + "/backup"; }
};

TEST_F(FailoverTest, AFullDriveMovesTheRecordingReplayingWhatItMayNotHoldAndNoFrameIsLost) {
  drive.limitedDir = out();
  drive.spaceLeft = 20 * 4096 * 4;  // 20 chunks, less the headers
  ASSERT_EQ(start({"--out", out(), "--fallback", backup(), "--bits", "32", "--track", "1:Count"}),
            "");
  std::int64_t delivered = 0;
  auto deliver = [&](int buffers) {  // channel 1 counts frames
    for (int k = 0; k < buffers; ++k, delivered += 4096)
      ASSERT_TRUE(audio.deliver(buffer(4096, [&](std::size_t, std::size_t i) {
        return static_cast<float>(delivered + std::int64_t(i));
      })));
  };
  deliver(25);
  Event failover;  // the process tests check its names and reason
  mainQueue().runUntil(
      [&] {
        for (Event& e : takeEvents())
          if (e["event"] == "failover") failover = e;
        return !failover.is_null();
      },
      std::chrono::seconds(5));
  ASSERT_EQ(failover["event"], "failover");
  deliver(5);
  ASSERT_EQ(exitStatusOf([this] { recorder->finish().finish("stop"); }), 0);
  std::vector<float> part1 = readFloat(out() + "/01 Count.wav").samples;
  std::vector<float> part2 = readFloat(backup() + "/01 Count (part 2).wav").samples;
  auto start = std::llround(failover["seconds"].get<double>() * 48000);
  auto overlap = std::llround(failover["overlap"].get<double>() * 48000);
  // The replay covers everything after the last sync: more than a second.
  EXPECT_EQ(start + overlap, static_cast<std::int64_t>(part1.size()));
  EXPECT_GT(overlap, 48000);
  for (std::size_t i = 0; i < part1.size(); ++i) ASSERT_EQ(part1[i], float(i));
  for (std::size_t i = 0; i < part2.size(); ++i) ASSERT_EQ(part2[i], float(start + i));
  EXPECT_EQ(start + std::int64_t(part2.size()), delivered);
}

TEST_F(FailoverTest, ALateRequestFromTheAbandonedDriveDoesNotEndTheRecording) {
  ASSERT_EQ(start({"--out", out(), "--fallback", backup(), "--track", "1:A"}), "");
  takeEvents();
  SinkRef first = take().firstSink;
  recorder->failover().failover("The drive stopped responding");
  ASSERT_EQ(takeEvents().back()["event"], "failover");
  recorder->failover().failover("Writing to the drive failed (Input/output error)",
                                first);  // queued before the move
  EXPECT_TRUE(takeEvents().empty());
  EXPECT_FALSE(recorder->finish().stopping());
  // A failure of the backup drive itself ends it.
  EXPECT_EQ(exitStatusOf([&] { recorder->failover().failover("The drive stopped responding"); }),
            0);
  EXPECT_EQ(takeEvents().back()["reason"], "write-error");
}

}  // namespace quilltap
