#include "writing/writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <mutex>

#include "tests/fakes/faulty_file_system.h"
#include "tests/unit/read_back.h"

namespace quilltap {
namespace {

namespace fs = std::filesystem;

// A value that tells chunk, output, channel and frame apart; exact in float.
float sampleOf(std::int64_t sequence, std::size_t output, std::uint32_t channel,
               std::int64_t frame) {
  return static_cast<float>(sequence * 64 + static_cast<std::int64_t>(output) * 8 + channel) /
             65536.0f +
         static_cast<float>(frame % 256) / 256.0f;
}

// A writer on a take of its own, whose failovers are only counted.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quilltap-writer-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    options.sampleRate = 48000;
    options.bitDepth = 32;
    options.outputs = {Output{"A", 1}, Output{"B", 2}};
  }
  void TearDown() override {
    drive.release();
    for (const SinkRef& sink : sinks) flushed(sink);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }

  SinkRef current(const std::string& name = "rec") {
    SinkRef sink;
    Status made = Sink::create(drive, options, scratch + "/" + name, "", &sink);
    EXPECT_TRUE(made.ok()) << made.message();
    sinks.push_back(sink);
    MutexLock hold(take.lock);
    take.current = sink;
    return sink;
  }
  // A chunk with one buffer per output.
  ChunkRef chunk(std::int64_t sequence, std::int64_t frames) {
    std::vector<PcmBuffer> buffers;
    for (std::size_t o = 0; o < options.outputs.size(); ++o) {
      PcmBuffer buffer(static_cast<std::uint32_t>(options.outputs[o].channels), frames);
      for (std::uint32_t c = 0; c < buffer.channelCount(); ++c) {
        for (std::int64_t i = 0; i < frames; ++i)
          buffer.channel(c)[i] = sampleOf(sequence, o, c, i);
      }
      buffers.push_back(std::move(buffer));
    }
    return std::make_shared<const Chunk>(std::move(buffers), frames,
                                         std::chrono::steady_clock::now(), sequence);
  }
  ChunkRef push(ChunkRef made) {
    MutexLock hold(take.lock);
    take.pending.push_back(made);
    return made;
  }
  // What file `output` must hold after `chunks`, interleaved.
  std::vector<float> expected(const std::vector<ChunkRef>& chunks, std::size_t output) {
    std::vector<float> all;
    for (const ChunkRef& c : chunks) {
      const PcmBuffer& buffer = c->buffers[output];
      for (std::int64_t i = 0; i < c->frames; ++i)
        for (std::uint32_t k = 0; k < buffer.channelCount(); ++k)
          all.push_back(buffer.channel(k)[i]);
    }
    return all;
  }
  std::vector<ChunkRef> recent() {
    MutexLock hold(take.lock);
    return {take.recent.begin(), take.recent.end()};
  }
  bool flushed(const SinkRef& sink) { return writer.flushAndClose(sink, 5.0); }

  std::string scratch;
  Options options;
  Take take;
  FaultyFileSystem drive;
  std::mutex failuresLock;
  std::vector<std::string> failures;
  Writer writer{options, take, [this](const std::string& message, const SinkRef&) {
                  std::lock_guard<std::mutex> hold(failuresLock);
                  failures.push_back(message);
                }};
  std::vector<SinkRef> sinks;
};

TEST_F(WriterTest, EveryPendingChunkGoesInOrderIntoEveryFileOfTheCurrentSinkOnly) {
  SinkRef old = current("old");
  SinkRef sink = current();
  std::vector<ChunkRef> chunks = {chunk(1, 1000), chunk(2, 480), chunk(3, 0), chunk(4, 2048)};
  for (const ChunkRef& c : chunks) push(c);
  EXPECT_TRUE(writer.drain(old));  // not current: nothing
  EXPECT_EQ(old->files()[0]->framesWritten(), 0);
  EXPECT_TRUE(writer.drain(sink));
  EXPECT_EQ(recent(), chunks);
  ASSERT_TRUE(flushed(sink));
  for (std::size_t o = 0; o < 2; ++o)
    EXPECT_EQ(readFloat(sink->paths()[o]).samples, expected(chunks, o)) << o;
  MutexLock hold(take.lock);
  EXPECT_EQ(take.writtenFrames, 1000 + 480 + 2048);
}

struct RecentCase {
  std::int64_t chunkFrames;
  std::size_t recentChunks;  // the shortest run of newest chunks holding a second
};

class RecentTest : public WriterTest, public ::testing::WithParamInterface<RecentCase> {};

TEST_P(RecentTest, RecentHoldsTheNewestSecondAndEachSecondIsMadeDurableHeaderFirst) {
  const RecentCase param = GetParam();
  SinkRef sink = current();
  std::int64_t written = 0;
  for (std::int64_t k = 1; k <= 3 * static_cast<std::int64_t>(param.recentChunks) + 1; ++k) {
    SCOPED_TRACE(k);
    ChunkRef made = push(chunk(k, param.chunkFrames));
    ASSERT_TRUE(writer.drain(sink));
    written += param.chunkFrames;
    std::vector<ChunkRef> held = recent();
    EXPECT_EQ(held.back(), made);
    EXPECT_EQ(held.size(), written >= 48000 ? param.recentChunks : static_cast<std::size_t>(k));
    if (k % static_cast<std::int64_t>(param.recentChunks) == 0) {
      // The sync brought every header up to date while the files stay open.
      for (const std::string& path : sink->paths())
        EXPECT_EQ(readFloat(path).info.frames, written) << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, RecentTest,
                         ::testing::Values(RecentCase{4800, 10}, RecentCase{4096, 12},
                                           RecentCase{60000, 1}));

TEST_F(WriterTest, AFailedSyncIsNeverForgottenByALaterGoodOne) {
  options.sampleRate = 8000;
  SinkRef sink = current();
  for (std::int64_t k = 1; k <= 8; ++k) push(chunk(k, 1000));
  ASSERT_TRUE(writer.drain(sink));  // a second written and synced
  ChunkRef undurable = push(chunk(9, 100));
  ASSERT_TRUE(writer.drain(sink));
  drive.failingSyncs = 1;
  ChunkRef big = push(chunk(10, 8000));  // a second on its own
  EXPECT_FALSE(writer.drain(sink));
  // Linux reports a writeback error once: this sync succeeds, yet chunks 9
  // and 10 may never have reached the drive.
  ChunkRef after = push(chunk(11, 8000));
  EXPECT_TRUE(writer.drain(sink));
  EXPECT_EQ(recent(), (std::vector<ChunkRef>{undurable, big, after}));
  EXPECT_FALSE(flushed(sink));  // nor does the last flush call the files saved
  EXPECT_EQ(failures, std::vector<std::string>{"Writing to the drive failed (Input/output error)"});
}

TEST_F(WriterTest, AChunkGoesIntoEveryFileOrNoneSoARetryNeverWritesItTwice) {
  SinkRef sink = current();
  // B (two channels) runs out of space half-way through the chunk.
  drive.limitedDir = scratch;
  drive.spaceLeft = 1024 * 4 + 500;
  std::vector<ChunkRef> chunks = {push(chunk(1, 1024))};
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_FALSE(writer.drain(sink));  // one failover request per failed drain
  EXPECT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "Writing to the drive failed (No space left on device)");
  drive.spaceLeft = INT64_MAX;
  EXPECT_TRUE(writer.drain(sink));
  ASSERT_TRUE(flushed(sink));
  for (std::size_t o = 0; o < 2; ++o)
    EXPECT_EQ(readFloat(sink->paths()[o]).samples, expected(chunks, o)) << o;
}

TEST_F(WriterTest, AFileWhoseRollBackFailedTakesNothingMore) {
  SinkRef sink = current();
  const std::uintmax_t header = fs::file_size(sink->paths()[0]);
  drive.limitedDir = scratch;
  drive.spaceLeft = 1024 * 4 + 500;
  drive.failingTruncates = 2;  // A took the chunk, B part of it; neither can be cut back
  push(chunk(1, 1024));
  EXPECT_FALSE(writer.drain(sink));
  const std::uintmax_t partial = fs::file_size(sink->paths()[1]);
  drive.spaceLeft = INT64_MAX;
  // A retry must not append to files that hold part or all of the chunk:
  // that would repeat it or shift every sample after it.
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_EQ(fs::file_size(sink->paths()[0]), header + 4096);
  EXPECT_EQ(fs::file_size(sink->paths()[1]), partial);
}

TEST_F(WriterTest, FlushAndCloseGivesUpAfterItsTimeOutWithoutCancelling) {
  SinkRef sink = current();
  std::vector<ChunkRef> chunks = {push(chunk(1, 1000))};
  drive.stall();
  auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(writer.flushAndClose(sink, 0.3));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(300));
  drive.release();  // the queued flush still writes and closes
  sinks.clear();
  auto done = std::make_shared<std::promise<void>>();
  sink->queue().async([done] { done->set_value(); });
  done->get_future().wait();
  EXPECT_TRUE(sink->files().empty());
  EXPECT_EQ(readFloat(sink->paths()[0]).samples, expected(chunks, 0));
}

}  // namespace
}  // namespace quilltap
