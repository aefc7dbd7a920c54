#include "supervision/progress.h"

#include "tests/unit/fault_injection.h"
#include "tests/unit/recording_fixture.h"
#include "tests/unit/tmpfs.h"
#include "writing/sink.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

TEST(Level, DecibelsToATenthWithSilenceAtMinus120) {
  EXPECT_EQ(levelOf(1.0f), 0.0);
  EXPECT_EQ(levelOf(0.5f), -6.0);
  EXPECT_EQ(levelOf(2.0f), 6.0);
  EXPECT_EQ(levelOf(0.00417f), -47.6);  // a tenth, not the float nearest to it
  EXPECT_EQ(levelOf(0.0f), -120.0);
  EXPECT_EQ(levelOf(-1.0f), -120.0);
  EXPECT_EQ(levelOf(std::numeric_limits<float>::quiet_NaN()), -120.0);
  EXPECT_EQ(levelOf(1e-7f), -140.0);  // no floor above silence
  EXPECT_EQ(levelOf(std::numeric_limits<float>::infinity()), 770.6);  // JSON has no infinity
}

TEST(DriveName, IsTheLastPathComponent) {
  EXPECT_EQ(driveName("/Volumes/REC"), "REC");
  EXPECT_EQ(driveName("/Volumes/REC/"), "REC");
  EXPECT_EQ(driveName("/media/usb//"), "usb");
  EXPECT_EQ(driveName("REC"), "REC");
  EXPECT_EQ(driveName("/"), "/");
}

class ProgressTest : public RecordingTest {
 protected:
  void deliver(float value, std::size_t frames = 4096) {
    ASSERT_TRUE(audio.engine->deliver(buffer(4, frames, [value](std::size_t c, std::size_t) {
      return c == 0 ? value : 0.0f;
    })));
  }
  // Puts a chunk in `pending` whose capture lies `age` in the past.
  void ageOldestPending(std::chrono::milliseconds age) {
    Semaphore* gate = new Semaphore();  // released in TearDown
    gates.push_back(gate);
    rec().current->queue().async([gate] { gate->wait(); });
    deliver(0.1f);
    std::lock_guard<std::mutex> hold(rec().lock);
    std::vector<PcmBuffer> buffers;
    for (const Output& output : rec().outputs) buffers.emplace_back(static_cast<std::uint32_t>(output.channels), 0);
    auto old = std::make_shared<Chunk>(std::move(buffers), 0);
    const_cast<std::chrono::steady_clock::time_point&>(old->capturedMonotonic) -= age;
    rec().pending.push_front(old);
  }
  void TearDown() override {
    rec().stopping = true;
    for (Semaphore* gate : gates) gate->signal();
    RecordingTest::TearDown();
  }
  std::vector<Semaphore*> gates;
};

TEST_F(ProgressTest, ReportsSecondsAndPerTrackLevelsThenResetsThePeaks) {
  startRecording({"--out", scratch + "/t", "--track", "1:Loud", "--track", "2:Quiet"});
  events();
  deliver(0.5f, 4800);
  progressTick();
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (Event{{"event", "progress"}, {"seconds", 0.1}, {"peaks", {-6.0, -120.0}}}));
  EXPECT_EQ(all[1]["peaks"], (Event{-120.0, -120.0}));
}

TEST_F(ProgressTest, DroppedInputIsReportedOnceAfterTheProgress) {
  startRecording({"--out", scratch + "/t", "--track", "1:A"});
  events();
  audio.lostFrames = 24;  // half a millisecond still counts as one
  progressTick();
  audio.lostFrames = 4800;
  progressTick();
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0]["event"], "progress");
  EXPECT_EQ(all[1], (Event{{"event", "warning"}, {"message", "Lost 1 ms of input: the system could not keep up."}}));
  EXPECT_EQ(all[3]["message"], "Lost 100 ms of input: the system could not keep up.");
  EXPECT_EQ(all[4]["event"], "progress");
}

TEST_F(ProgressTest, ABufferThatFindsNoMemoryIsDroppedAndReportedAsLostInput) {
  startRecording({"--out", scratch + "/t", "--track", "1:A", "--track", "2,3:B"});
  events();
  auto data = buffer(4, 4800, [](std::size_t c, std::size_t) { return c == 0 ? 0.5f : 0.0f; });
  failingAllocations = true;
  bool threw = false;
  try {
    audio.engine->deliver(data);
  } catch (const std::bad_alloc&) {
    threw = true;  // on the capture thread this would end the process
  }
  failingAllocations = false;
  EXPECT_FALSE(threw);
  deliver(0.25f, 480);
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (Event{{"event", "progress"}, {"seconds", 0.01}, {"peaks", {-12.0, -120.0}}}));
  EXPECT_EQ(all[1]["message"], "Lost 100 ms of input: the system could not keep up.");
}

TEST_F(ProgressTest, AVanishedVolumeFailsOverWithTheDriveName) {
  startRecording({"--out", scratch + "/t", "--fallback", scratch + "/b", "--volume", scratch + "/REC/"});
  events();
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["event"], "progress");
  EXPECT_EQ(all[1]["event"], "failover");
  EXPECT_EQ(all[1]["reason"], "The drive “REC” was disconnected");
  progressTick();  // after a failover the drive is no longer watched
  EXPECT_EQ(events().size(), 1u);
}

TEST_F(ProgressTest, AnUnmountedDriveIsGoneEvenThoughItsFolderStays) {
  std::string mountPoint = scratch + "/USB";
  Tmpfs tmpfs(mountPoint, 1 << 20);
  if (!tmpfs.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
  startRecording({"--out", mountPoint + "/take", "--fallback", scratch + "/b", "--volume", mountPoint});
  events();
  progressTick();
  EXPECT_EQ(events().size(), 1u);  // mounted: all is well
  tmpfs.unmount();
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["reason"], "The drive “USB” was disconnected");
}

TEST_F(ProgressTest, AnOldestPendingChunkOlderThanEightSecondsIsAStall) {
  startRecording({"--out", scratch + "/t", "--fallback", scratch + "/b"});
  events();
  ageOldestPending(7900ms);
  progressTick();
  EXPECT_EQ(events().size(), 1u);
  ageOldestPending(8100ms);
  progressTick();
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["reason"], "The drive stopped responding");
}

TEST_F(ProgressTest, GoneWinsOverStalled) {
  startRecording({"--out", scratch + "/t", "--fallback", scratch + "/b", "--volume", scratch + "/gone"});
  events();
  ageOldestPending(9s);
  progressTick();
  EXPECT_EQ(events().back()["reason"], "The drive “gone” was disconnected");
}

TEST_F(ProgressTest, ABacklogBeyondTheLimitEndsTheRecordingExactlyAtTheLimitNot) {
  startRecording({"--out", scratch + "/t", "--track", "1:A"});
  events();
  rec().maxPendingSeconds = 0.2;  // 9600 frames
  Semaphore* gate = new Semaphore();
  gates.push_back(gate);
  rec().current->queue().async([gate] { gate->wait(); });
  deliver(0.1f, 4800);
  deliver(0.1f, 4800);
  progressTick();
  EXPECT_EQ(events().size(), 1u);
  deliver(0.1f, 1);
  // The final flush gets through once the tick has measured the backlog.
  std::thread([gate] {
    std::this_thread::sleep_for(200ms);
    gate->signal();
  }).detach();
  EXPECT_EQ(exitStatusOf([] { progressTick(); }), 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1]["message"], "The disk can’t keep up with the recording. Recording stopped; what was written is saved.");
  EXPECT_EQ(all[2]["reason"], "write-error");
}

TEST_F(ProgressTest, NothingHappensOnceStopping) {
  startRecording({"--out", scratch + "/t"});
  events();
  rec().stopping = true;
  progressTick();
  EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace quilltap
