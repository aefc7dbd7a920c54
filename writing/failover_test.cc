#include "writing/failover.h"

#include <sndfile.h>

#include "tests/unit/read_back.h"
#include "tests/unit/recording_fixture.h"
#include "tests/unit/tmpfs.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

class FailoverTest : public RecordingTest {
 protected:
  std::string drive() { return scratch + "/drive"; }
  std::string backup() { return scratch + "/backup"; }

  // Delivers one buffer of 4096 frames whose channel-1 samples count frames.
  void deliverNext() {
    ASSERT_TRUE(audio.engine->deliver(buffer(4, 4096, [this](std::size_t, std::size_t i) {
      return static_cast<float>(delivered + static_cast<std::int64_t>(i));
    })));
    delivered += 4096;
  }

  std::vector<Event> runMainQueueUntil(const std::string& event, std::chrono::milliseconds timeout = 5s) {
    std::vector<Event> seen;
    bool found = false;
    mainQueue().runUntil(
        [&] {
          for (Event& e : events()) {
            found = found || e["event"] == event;
            seen.push_back(e);
          }
          return found;
        },
        timeout);
    EXPECT_TRUE(found) << "no " << event;
    return seen;
  }

  std::int64_t delivered = 0;
};

TEST_F(FailoverTest, AFullDriveMovesTheRecordingAndNoFrameIsLost) {
  Tmpfs tmpfs(drive(), 256 * 1024);
  if (!tmpfs.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
  startRecording({"--out", drive(), "--fallback", backup(), "--bits", "32", "--track", "1:Count"});
  events();
  // 256 KiB hold about 16 chunks of 4096 mono float frames.
  for (int k = 0; k < 20; ++k) deliverNext();
  std::vector<Event> seen = runMainQueueUntil("failover");
  Event failover = seen.back();
  EXPECT_EQ(failover["reason"], "Writing to the drive failed (No space left on device)");
  EXPECT_EQ(failover["from"], drive());
  EXPECT_EQ(failover["to"], backup());
  EXPECT_EQ(failover["interrupted"], (Event{drive() + "/01 Count.wav"}));
  EXPECT_EQ(failover["files"], (Event{backup() + "/01 Count (part 2).wav"}));
  for (int k = 0; k < 5; ++k) deliverNext();
  ASSERT_EQ(exitStatusOf([] { finish("stop"); }), 0);
  Event stopped = events().back();
  EXPECT_EQ(stopped["files"], (Event{drive() + "/01 Count.wav", backup() + "/01 Count (part 2).wav"}));
  EXPECT_EQ(stopped["interrupted"], (Event{drive() + "/01 Count.wav"}));

  std::vector<float> part1 = readFloat(drive() + "/01 Count.wav").samples;
  std::vector<float> part2 = readFloat(backup() + "/01 Count (part 2).wav").samples;
  auto start = static_cast<std::int64_t>(std::llround(failover["seconds"].get<double>() * 48000));
  auto overlap = static_cast<std::int64_t>(std::llround(failover["overlap"].get<double>() * 48000));
  ASSERT_FALSE(part2.empty());
  EXPECT_EQ(part2[0], static_cast<float>(start));
  EXPECT_GE(static_cast<std::int64_t>(part1.size()), start + overlap);
  for (std::size_t i = 0; i < part1.size(); ++i) ASSERT_EQ(part1[i], static_cast<float>(i));
  for (std::size_t i = 0; i < part2.size(); ++i) ASSERT_EQ(part2[i], static_cast<float>(start + static_cast<std::int64_t>(i)));
  EXPECT_EQ(start + static_cast<std::int64_t>(part2.size()), delivered);
}

TEST_F(FailoverTest, ALateRequestFromTheAbandonedDriveDoesNotEndTheRecording) {
  startRecording({"--out", drive(), "--fallback", backup(), "--track", "1:A"});
  events();
  SinkRef first = rec().current;
  failover("The drive stopped responding");
  ASSERT_EQ(events().back()["event"], "failover");
  failover("Writing to the drive failed (Input/output error)", first);  // queued before the move
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(rec().stopping);
  // A failure of the backup drive itself still ends it.
  EXPECT_EQ(exitStatusOf([] { failover("Writing to the drive failed (Input/output error)", rec().current); }), 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["message"], "Writing to the drive failed (Input/output error). Recording stopped; what was written is saved.");
  EXPECT_EQ(all[1]["reason"], "write-error");
}

TEST_F(FailoverTest, WithoutABackupFolderAFailureEndsTheRecording) {
  startRecording({"--out", drive(), "--track", "1:A"});
  events();
  EXPECT_EQ(exitStatusOf([] { failover("The drive stopped responding"); }), 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (Event{{"event", "error"},
                           {"message", "The drive stopped responding. Recording stopped; what was written is saved."}}));
  EXPECT_EQ(all[1]["event"], "stopped");
  EXPECT_EQ(all[1]["reason"], "write-error");
}

TEST_F(FailoverTest, ABackupFolderThatCannotBeMadeWarnsThenEnds) {
  std::string blocker = scratch + "/file";
  fclose(fopen(blocker.c_str(), "w"));
  startRecording({"--out", drive(), "--fallback", blocker + "/sub", "--track", "1:A"});
  events();
  EXPECT_EQ(exitStatusOf([] { failover("The drive stopped responding"); }), 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["event"], "warning");
  EXPECT_EQ(all[0]["message"], "The drive stopped responding, and the backup folder on this computer failed too: " +
                                   blocker + "/sub: Not a directory");
  EXPECT_EQ(all[1]["event"], "error");
  EXPECT_EQ(all[2]["reason"], "write-error");
}

TEST_F(FailoverTest, BeforeAnyWriteTheNewFilesStartAtTheBeginning) {
  startRecording({"--out", drive(), "--fallback", backup(), "--track", "1:A"});
  events();
  ASSERT_TRUE(switchToFallback("The drive stopped responding"));
  Event failover = events().back();
  EXPECT_EQ(failover["seconds"], 0.0);
  EXPECT_EQ(failover["overlap"], 0.0);
  EXPECT_FALSE(switchToFallback("again"));  // there is never a part 3
}

TEST_F(FailoverTest, AFlushThatTimesOutMovesToTheBackupAndWarnsAboutWhatIsLost) {
  startRecording({"--out", drive(), "--track", "1:A"});
  events();
  auto release = std::make_shared<Semaphore>();
  rec().current->queue().async([release] { release->wait(); });  // the drive stops answering
  for (int k = 0; k < 30; ++k) deliverNext();            // 2.56 s wait behind it
  auto started = std::chrono::steady_clock::now();
  // No backup folder: nothing can be saved after the 20 s wait.
  EXPECT_EQ(exitStatusOf([] { finish("stop"); }), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 19s);
  release->signal();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["message"], "The last 3 s couldn’t be written: the drive stopped responding.");
  EXPECT_EQ(all[1]["reason"], "stop");
}

}  // namespace
}  // namespace quilltap
