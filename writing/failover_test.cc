#include "writing/failover.h"

#include "tests/unit/read_back.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

class FailoverTest : public RecordingTest {
 protected:
  std::string out() { return scratch + "/drive"; }
  std::string backup() { return scratch + "/backup"; }

  // Delivers one buffer of 4096 frames whose channel-1 samples count frames.
  void deliverNext() {
    ASSERT_TRUE(audio.engine->deliver(buffer(4, 4096, [this](std::size_t, std::size_t i) {
      return static_cast<float>(delivered + static_cast<std::int64_t>(i));
    })));
    delivered += 4096;
  }
  // Runs the main queue until `event` came; every event seen.
  std::vector<Event> runUntil(const std::string& event) {
    std::vector<Event> seen;
    mainQueue().runUntil(
        [&] {
          for (Event& e : takeEvents()) seen.push_back(e);
          return !seen.empty() && seen.back()["event"] == event;
        },
        5s);
    EXPECT_TRUE(!seen.empty() && seen.back()["event"] == event) << "no " << event;
    return seen;
  }
  // Ends the recording through `failover(message)`; the events.
  std::vector<Event> endThrough(const std::string& message) {
    EXPECT_EQ(exitStatusOf([&] { recorder->failover().failover(message); }), 0);
    return takeEvents();
  }

  std::int64_t delivered = 0;
};

TEST_F(FailoverTest, AFullDriveMovesTheRecordingReplayingWhatItMayNotHoldAndNoFrameIsLost) {
  drive.limitedDir = out();
  drive.spaceLeft = 20 * 4096 * 4;  // 20 chunks, less the headers
  ASSERT_EQ(start({"--out", out(), "--fallback", backup(), "--bits", "32", "--track", "1:Count"}),
            "");
  takeEvents();
  for (int k = 0; k < 25; ++k) deliverNext();
  Event failover = runUntil("failover").back();
  EXPECT_EQ(failover["reason"], "Writing to the drive failed (No space left on device)");
  EXPECT_EQ(failover["interrupted"], (Event{out() + "/01 Count.wav"}));
  EXPECT_EQ(failover["files"], (Event{backup() + "/01 Count (part 2).wav"}));
  for (int k = 0; k < 5; ++k) deliverNext();
  ASSERT_EQ(exitStatusOf([this] { recorder->finish().finish("stop"); }), 0);
  EXPECT_EQ(takeEvents().back()["files"],
            (Event{out() + "/01 Count.wav", backup() + "/01 Count (part 2).wav"}));

  std::vector<float> part1 = readFloat(out() + "/01 Count.wav").samples;
  std::vector<float> part2 = readFloat(backup() + "/01 Count (part 2).wav").samples;
  auto start = static_cast<std::int64_t>(std::llround(failover["seconds"].get<double>() * 48000));
  auto overlap = static_cast<std::int64_t>(std::llround(failover["overlap"].get<double>() * 48000));
  // The replay covers everything after the last sync: more than a second.
  EXPECT_EQ(start + overlap, static_cast<std::int64_t>(part1.size()));
  EXPECT_GT(overlap, 48000);
  for (std::size_t i = 0; i < part1.size(); ++i) ASSERT_EQ(part1[i], static_cast<float>(i));
  for (std::size_t i = 0; i < part2.size(); ++i)
    ASSERT_EQ(part2[i], static_cast<float>(start + std::int64_t(i)));
  EXPECT_EQ(start + static_cast<std::int64_t>(part2.size()), delivered);
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
  std::vector<Event> end = endThrough("Writing to the drive failed (Input/output error)");
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(end[0]["message"],
            "Writing to the drive failed (Input/output error). Recording stopped; what was written "
            "is saved.");
  EXPECT_EQ(end[1]["reason"], "write-error");
}

TEST_F(FailoverTest, WithoutABackupTheFailureEndsTheRecordingAndABackupThatCannotBeMadeSaysSo) {
  ASSERT_EQ(start({"--out", out(), "--track", "1:A"}), "");
  takeEvents();
  std::vector<Event> end = endThrough("The drive stopped responding");
  ASSERT_EQ(end.size(), 2u);
  EXPECT_EQ(
      end[0],
      (Event{{"event", "error"},
             {"message",
              "The drive stopped responding. Recording stopped; what was written is saved."}}));
  EXPECT_EQ(end[1]["reason"], "write-error");

  ASSERT_EQ(start({"--out", out(), "--fallback", backup(), "--track", "1:A"}), "");
  takeEvents();
  drive.noFolders = true;
  end = endThrough("The drive stopped responding");
  ASSERT_EQ(end.size(), 3u);
  EXPECT_EQ(end[0]["message"],
            "The drive stopped responding, and the backup folder on this computer failed too: " +
                backup() + ": Permission denied");
  EXPECT_EQ(end[2]["reason"], "write-error");
}

}  // namespace
}  // namespace quilltap
