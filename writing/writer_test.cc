#include "writing/writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/main_queue.h"
#include "dispatch/semaphore.h"
#include "tests/unit/fault_injection.h"
#include "tests/unit/read_back.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

namespace fs = std::filesystem;

// A value that tells chunk, output, channel and frame apart; exact in float.
float sampleOf(std::int64_t sequence, std::size_t output, std::uint32_t channel, std::int64_t frame) {
  return static_cast<float>(sequence * 64 + static_cast<std::int64_t>(output) * 8 + channel) / 65536.0f +
         static_cast<float>(frame % 256) / 256.0f;
}

class WriterTest : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    forgetQueuedFailovers();
    rec().sampleRate = 48000;
    rec().bitDepth = 32;
    rec().outputs = {Output{"A", 1}};
  }

  void TearDown() override {
    forgetQueuedFailovers();
    RecordingTest::TearDown();
  }

  // Runs what earlier work left on the main queue without letting a failover
  // act on it.
  void forgetQueuedFailovers() {
    bool stopping = rec().stopping;
    rec().stopping = true;
    mainQueue().runUntil([] { return true; }, std::chrono::milliseconds(0));
    rec().stopping = stopping;
  }

  SinkRef makeSink(const std::string& dir) {
    Error error;
    SinkRef sink = Sink::create(dir, "", &error);
    EXPECT_NE(sink, nullptr) << error.description;
    return sink;
  }

  // A chunk with one buffer per output of the recording.
  static ChunkRef chunk(std::int64_t sequence, std::int64_t frames) {
    std::vector<PcmBuffer> buffers;
    const auto& outputs = rec().outputs;
    for (std::size_t o = 0; o < outputs.size(); ++o) {
      PcmBuffer buffer(static_cast<std::uint32_t>(outputs[o].channels), frames);
      for (std::uint32_t c = 0; c < buffer.channelCount(); ++c) {
        for (std::int64_t i = 0; i < frames; ++i) buffer.channel(c)[i] = sampleOf(sequence, o, c, i);
      }
      buffers.push_back(std::move(buffer));
    }
    return std::make_shared<const Chunk>(std::move(buffers), frames, sequence);
  }

  static void push(const ChunkRef& made) {
    std::lock_guard<std::mutex> hold(rec().lock);
    rec().pending.push_back(made);
  }

  // What file `output` must hold after `chunks`, interleaved.
  static std::vector<float> expected(const std::vector<ChunkRef>& chunks, std::size_t output) {
    std::vector<float> all;
    for (const ChunkRef& c : chunks) {
      const PcmBuffer& buffer = c->buffers[output];
      for (std::int64_t i = 0; i < c->frames; ++i) {
        for (std::uint32_t k = 0; k < buffer.channelCount(); ++k) all.push_back(buffer.channel(k)[i]);
      }
    }
    return all;
  }

  // Runs the failovers the writer asked for, with no backup folder, and
  // returns the message of the error that ended the recording.
  std::string messageOfRealFailover() {
    rec().engine = audio.makeEngine();
    rec().stopping = false;
    EXPECT_EQ(exitStatusOf([] { mainQueue().runUntil([] { return false; }, std::chrono::seconds(10)); }), 0);
    std::string message;
    bool stopped = false;
    for (const Event& event : events()) {
      if (event["event"] == "error") {
        EXPECT_TRUE(message.empty()) << "a second error";
        message = event["message"];
      }
      if (event["event"] == "stopped") {
        stopped = true;
        EXPECT_EQ(event["reason"], "write-error");
      }
    }
    EXPECT_TRUE(stopped);
    return message;
  }
};

TEST_F(WriterTest, DrainWritesEveryPendingChunkInOrderIntoEveryFile) {
  rec().outputs = {Output{"Mono", 1}, Output{"Pair", 2}};
  SinkRef sink = makeSink(scratch + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  // Capture queues an empty chunk when a buffer brings no frames.
  std::vector<ChunkRef> chunks = {chunk(1, 1000), chunk(2, 480), chunk(3, 0), chunk(4, 2048)};
  for (const ChunkRef& c : chunks) push(c);

  EXPECT_TRUE(drain(sink));
  EXPECT_TRUE(rec().pending.empty());
  EXPECT_EQ(rec().writtenFrames, 1000 + 480 + 2048);
  EXPECT_EQ(std::vector<ChunkRef>(rec().recent.begin(), rec().recent.end()), chunks);

  ASSERT_TRUE(flushAndClose(sink, 5.0));
  for (std::size_t o = 0; o < 2; ++o) {
    SCOPED_TRACE(o);
    ReadBack back = readFloat(sink->paths()[o]);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.info.channels, static_cast<int>(o + 1));
    EXPECT_EQ(back.samples, expected(chunks, o));
  }
}

TEST_F(WriterTest, DrainChangesNothingForASinkThatIsNotCurrentOrWithNothingPending) {
  SinkRef sink = makeSink(scratch + "/old");
  SinkRef other = makeSink(scratch + "/new");
  ASSERT_TRUE(sink && other);
  ChunkRef waiting = chunk(1, 1000);
  push(waiting);
  rec().current = other;
  EXPECT_TRUE(drain(sink));
  ASSERT_EQ(rec().pending.size(), 1u);
  EXPECT_EQ(rec().pending.front(), waiting);
  EXPECT_EQ(rec().writtenFrames, 0);
  EXPECT_TRUE(rec().recent.empty());
  EXPECT_EQ(sink->files()[0]->framesWritten(), 0);

  rec().current = sink;
  rec().pending.clear();
  EXPECT_TRUE(drain(sink));
  EXPECT_EQ(rec().writtenFrames, 0);
  EXPECT_EQ(sink->files()[0]->framesWritten(), 0);
}

struct RecentCase {
  std::int64_t chunkFrames;
  std::size_t recentChunks;  // the shortest run of newest chunks holding a second
  std::int64_t chunksPerSync;
};

class RecentTest : public WriterTest, public ::testing::WithParamInterface<RecentCase> {};

TEST_P(RecentTest, RecentHoldsTheNewestSecondAndEachSecondIsMadeDurable) {
  const RecentCase param = GetParam();
  rec().outputs = {Output{"A", 1}, Output{"B", 1}};
  SinkRef sink = makeSink(scratch + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  std::int64_t written = 0;
  const std::int64_t count = 3 * param.chunksPerSync + 1;
  for (std::int64_t k = 1; k <= count; ++k) {
    SCOPED_TRACE(k);
    ChunkRef made = chunk(k, param.chunkFrames);
    push(made);
    ASSERT_TRUE(drain(sink));
    written += param.chunkFrames;
    std::lock_guard<std::mutex> hold(rec().lock);
    EXPECT_EQ(rec().writtenFrames, written);
    EXPECT_EQ(rec().durableSequence, param.chunksPerSync * (k / param.chunksPerSync));
    ASSERT_FALSE(rec().recent.empty());
    EXPECT_EQ(rec().recent.back(), made);
    if (written >= 48000) EXPECT_EQ(rec().recent.size(), param.recentChunks);
    else EXPECT_EQ(rec().recent.size(), static_cast<std::size_t>(k));
    std::int64_t held = 0;
    for (const ChunkRef& c : rec().recent) held += c->frames;
    if (written >= 48000) {
      EXPECT_GE(held, 48000);
      EXPECT_LT(held - rec().recent.front()->frames, 48000);
    }
    if (k % param.chunksPerSync == 0) {
      // The sync brought every header up to date while the files stay open.
      for (const std::string& path : sink->paths()) EXPECT_EQ(readFloat(path).info.frames, written) << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, RecentTest,
                         ::testing::Values(RecentCase{4800, 10, 10}, RecentCase{4096, 12, 12},
                                           RecentCase{60000, 1, 1}));

TEST_F(WriterTest, AFailedSyncIsNeverForgottenByALaterGoodOne) {
  rec().sampleRate = 8000;
  SinkRef sink = makeSink(scratch + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  std::vector<ChunkRef> chunks;
  for (std::int64_t k = 1; k <= 8; ++k) chunks.push_back(chunk(k, 1000));
  for (const ChunkRef& c : chunks) push(c);
  ASSERT_TRUE(drain(sink));
  EXPECT_EQ(rec().durableSequence, 8);  // a second was written and synced
  ChunkRef undurable = chunk(9, 100);
  push(undurable);
  ASSERT_TRUE(drain(sink));

  failingDatasyncs = 1;
  ChunkRef big = chunk(10, 8000);  // a second on its own
  push(big);
  long requestsBefore = sink.use_count();
  EXPECT_FALSE(drain(sink));
  // Each queued failover request holds the Sink until it runs.
  EXPECT_EQ(sink.use_count(), requestsBefore + 1);

  // Linux reports a writeback error once: this sync succeeds, yet chunks 9
  // and 10 may never have reached the drive.
  ChunkRef after = chunk(11, 8000);
  push(after);
  EXPECT_TRUE(drain(sink));
  {
    std::lock_guard<std::mutex> hold(rec().lock);
    EXPECT_TRUE(rec().pending.empty());
    EXPECT_EQ(rec().writtenFrames, 8 * 1000 + 100 + 2 * 8000);
    EXPECT_EQ(rec().durableSequence, 8);
    EXPECT_EQ(std::vector<ChunkRef>(rec().recent.begin(), rec().recent.end()),
              (std::vector<ChunkRef>{undurable, big, after}));
  }
  // Nor does the final flush report the files as saved.
  EXPECT_FALSE(flushAndClose(sink, 5.0));
  EXPECT_EQ(messageOfRealFailover(),
            "Writing to the drive failed (Input/output error). Recording stopped; what was written is saved.");
}

TEST_F(WriterTest, FlushAndCloseWritesWhatIsPendingAndClosesTheFiles) {
  SinkRef sink = makeSink(scratch + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  std::vector<ChunkRef> chunks = {chunk(1, 4096), chunk(2, 4096)};
  for (const ChunkRef& c : chunks) push(c);
  EXPECT_TRUE(flushAndClose(sink, 5.0));
  EXPECT_TRUE(sink->files().empty());
  EXPECT_TRUE(rec().pending.empty());
  EXPECT_EQ(readFloat(sink->paths()[0]).samples, expected(chunks, 0));
}

TEST_F(WriterTest, FlushAndCloseOfASinkThatIsNoLongerCurrentOnlyClosesIt) {
  SinkRef sink = makeSink(scratch + "/old");
  ASSERT_NE(sink, nullptr);
  rec().current = makeSink(scratch + "/new");
  ChunkRef waiting = chunk(1, 4096);
  push(waiting);
  EXPECT_TRUE(flushAndClose(sink, 5.0));
  EXPECT_TRUE(sink->files().empty());
  ASSERT_EQ(rec().pending.size(), 1u);
  EXPECT_EQ(rec().pending.front(), waiting);
  ReadBack back = readFloat(sink->paths()[0]);
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.info.frames, 0);
}

TEST_F(WriterTest, FlushAndCloseGivesUpAfterItsTimeOutWithoutCancelling) {
  SinkRef sink = makeSink(scratch + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  std::vector<ChunkRef> chunks = {chunk(1, 4096)};
  push(chunks[0]);
  // Work that does not return holds the Sink's queue, as a hung drive would;
  // the guard frees it however the test ends.
  auto release = std::make_shared<Semaphore>();
  struct Release {
    std::shared_ptr<Semaphore> semaphore;
    ~Release() { semaphore->signal(); }
  } guard{release};
  sink->queue().async([release] { release->wait(); });

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(flushAndClose(sink, 0.3));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.3);
  EXPECT_LT(waited, 2.0);
  EXPECT_EQ(rec().pending.size(), 1u);

  // Once the queue is free, the queued drain and close still happen.
  release->signal();
  auto done = std::make_shared<Semaphore>();
  sink->queue().async([done] { done->signal(); });
  ASSERT_TRUE(done->waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
  EXPECT_TRUE(sink->files().empty());
  EXPECT_TRUE(rec().pending.empty());
  EXPECT_EQ(readFloat(sink->paths()[0]).samples, expected(chunks, 0));
}

// A 64 KiB tmpfs under the scratch folder: a drive that really fills up.
class FullDriveTest : public WriterTest {
 protected:
  void SetUp() override {
    WriterTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    drive = scratch + "/drive";
    fs::create_directory(drive);
    if (mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    mounted = true;
  }

  void TearDown() override {
    if (mounted) umount2(drive.c_str(), MNT_DETACH);
    WriterTest::TearDown();
  }

  // Writes `path` until the drive refuses; returns the bytes it took.
  static std::int64_t fill(const std::string& path, std::int64_t limit = INT64_MAX) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    std::vector<char> block(4096, 'x');
    std::int64_t total = 0;
    while (total < limit) {
      ssize_t n = write(fd, block.data(), static_cast<std::size_t>(std::min<std::int64_t>(4096, limit - total)));
      if (n <= 0) break;
      total += n;
    }
    close(fd);
    return total;
  }

  // Leaves exactly one free page: the first file's 1024 float frames (4096
  // bytes after its header) need one new page, and so does the second's.
  void leaveOnePage() {
    ASSERT_EQ(fill(drive + "/hole", 4096), 4096);
    ASSERT_GT(fill(drive + "/filler"), 0);
    ASSERT_EQ(fill(drive + "/probe", 1), 0) << "the drive should be full";
    fs::remove(drive + "/probe");
    fs::remove(drive + "/hole");
  }

  std::string drive;
  bool mounted = false;
};

TEST_F(FullDriveTest, AFullDriveKeepsTheChunkAndARetryDoesNotWriteItTwice) {
  rec().outputs = {Output{"A", 1}, Output{"B", 1}, Output{"C", 1}};
  SinkRef sink = makeSink(drive + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  leaveOnePage();

  const std::uintmax_t header = fs::file_size(sink->paths()[0]);
  ChunkRef stuck = chunk(1, 1024);
  push(stuck);
  long requestsBefore = sink.use_count();
  EXPECT_FALSE(drain(sink));
  EXPECT_EQ(sink.use_count(), requestsBefore + 1) << "one failover request per failed drain";
  EXPECT_FALSE(drain(sink));
  EXPECT_EQ(sink.use_count(), requestsBefore + 2) << "one failover request per failed drain";
  {
    std::lock_guard<std::mutex> hold(rec().lock);
    ASSERT_EQ(rec().pending.size(), 1u);
    EXPECT_EQ(rec().pending.front(), stuck);
    EXPECT_EQ(rec().writtenFrames, 0);
    EXPECT_TRUE(rec().recent.empty());
  }
  // The first file gave the chunk back, and the part the second file took
  // before the drive refused was cut off: all files hold the same audio.
  EXPECT_EQ(sink->files()[0]->framesWritten(), 0);
  EXPECT_EQ(sink->files()[1]->framesWritten(), 0);
  EXPECT_EQ(sink->files()[2]->framesWritten(), 0);
  EXPECT_EQ(fs::file_size(sink->paths()[0]), header);
  EXPECT_EQ(fs::file_size(sink->paths()[1]), header);
  EXPECT_EQ(fs::file_size(sink->paths()[2]), header);

  // Space comes back; the retry completes the chunk in the files that lacked it.
  fs::remove(drive + "/filler");
  EXPECT_TRUE(drain(sink));
  {
    std::lock_guard<std::mutex> hold(rec().lock);
    EXPECT_TRUE(rec().pending.empty());
    EXPECT_EQ(rec().writtenFrames, 1024);
  }
  ASSERT_TRUE(flushAndClose(sink, 5.0));
  for (std::size_t o = 0; o < 3; ++o) {
    SCOPED_TRACE(o);
    ReadBack back = readFloat(sink->paths()[o]);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.info.frames, 1024);
    EXPECT_EQ(back.samples, expected({stuck}, o));
  }
  // The two failed drains' requests reach the failover, which ends the
  // recording (no backup folder) with the drive's own description.
  EXPECT_EQ(messageOfRealFailover(),
            "Writing to the drive failed (No space left on device). Recording stopped; what was written is saved.");
}

TEST_F(FullDriveTest, AFileWhoseRollBackFailedTakesNothingMore) {
  rec().outputs = {Output{"A", 1}, Output{"B", 1}};
  SinkRef sink = makeSink(drive + "/rec");
  ASSERT_NE(sink, nullptr);
  rec().current = sink;
  leaveOnePage();
  const std::uintmax_t header = fs::file_size(sink->paths()[0]);

  // A takes the chunk, B runs out of space; neither can be cut back.
  failingTruncates = 2;
  push(chunk(1, 1024));
  EXPECT_FALSE(drain(sink));
  failingTruncates = 0;
  const std::uintmax_t partial = fs::file_size(sink->paths()[1]);

  // With space back, a retry must not append to files that hold part or
  // all of the chunk already: that would repeat it or shift every sample.
  fs::remove(drive + "/filler");
  EXPECT_FALSE(drain(sink));
  EXPECT_EQ(fs::file_size(sink->paths()[0]), header + 4096);
  EXPECT_EQ(fs::file_size(sink->paths()[1]), partial);
  EXPECT_NE(messageOfRealFailover().find("Writing to the drive failed"), std::string::npos);
}

}  // namespace
}  // namespace quilltap
