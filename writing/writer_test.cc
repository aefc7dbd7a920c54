#include "writing/writer.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

namespace fs = std::filesystem;

// A writer of two files (mono A, stereo B) on a take of its own; failovers are only counted.
class WriterTest : public ::testing::Test {
 protected:
  WriterTest() {
    options.sampleRate = 48000;
    options.bitDepth = 32;
    options.outputs = {Output{"A", 1}, Output{"B", 2}};
    EXPECT_TRUE(Sink::create(drive, options, scratch.path + "/rec", "", &sink).ok());
    take.current = sink;
  }
  void TearDown() override {
    drive.stall(false);
    writer.flushAndClose(sink, 5.0);
  }
  // A chunk with one buffer per output, whose samples tell chunk, output, channel and frame apart.
  ChunkRef push(std::int64_t sequence, std::int64_t frames) {
    std::vector<PcmBuffer> buffers;
    for (std::size_t o = 0; o < options.outputs.size(); ++o) {
      buffers.emplace_back(static_cast<std::uint32_t>(options.outputs[o].channels), frames);
      for (std::uint32_t c = 0; c < buffers[o].channelCount(); ++c)
        for (std::int64_t i = 0; i < frames; ++i)
          buffers[o].channel(c)[i] =
              float(sequence * 64 + std::int64_t(o * 8 + c)) / 65536.0f + float(i % 256) / 256.0f;
    }
    auto made = std::make_shared<const Chunk>(std::move(buffers), frames,
                                              std::chrono::steady_clock::now(), sequence);
    MutexLock hold(take.lock);
    take.pending.push_back(made);
    return made;
  }
  // What file `output` must hold after `chunks`, interleaved.
  static std::vector<float> expected(const std::vector<ChunkRef>& chunks, std::size_t output) {
    std::vector<float> all;
    for (const ChunkRef& c : chunks)
      for (std::int64_t i = 0; i < c->frames; ++i)
        for (std::uint32_t k = 0; k < c->buffers[output].channelCount(); ++k)
          all.push_back(c->buffers[output].channel(k)[i]);
    return all;
  }
  std::vector<ChunkRef> recent() {
    MutexLock hold(take.lock);
    return {take.recent.begin(), take.recent.end()};
  }

  Scratch scratch;
  Options options;
  Take take;
  FaultyFileSystem drive;
  SinkRef sink;
  std::vector<std::string> failures;  // read once the writer is idle
  Writer writer{options, take, [this](const std::string& message, const SinkRef&) {
                  failures.push_back(message);
                }};
};

struct RecentCase {
  std::int64_t chunkFrames;
  std::size_t recentChunks;  // the shortest run of newest chunks holding a second
};
class RecentTest : public WriterTest, public ::testing::WithParamInterface<RecentCase> {};

TEST_P(RecentTest, RecentHoldsTheNewestSecondAndEachSecondIsMadeDurableHeaderFirst) {
  const auto [chunkFrames, recentChunks] = GetParam();
  std::vector<ChunkRef> chunks;
  for (std::int64_t k = 1; k <= 3 * std::int64_t(recentChunks) + 1; ++k) {
    SCOPED_TRACE(k);
    chunks.push_back(push(k, chunkFrames));
    ASSERT_TRUE(writer.drain(sink));
    const std::int64_t written = k * chunkFrames;
    std::vector<ChunkRef> held = recent();
    EXPECT_EQ(held.back(), chunks.back());
    EXPECT_EQ(held.size(), written >= 48000 ? recentChunks : std::size_t(k));
    const bool synced = k % std::int64_t(recentChunks) == 0;  // each second, headers first
    for (const std::string& path : sink->paths())
      EXPECT_EQ(readFloat(path).info.frames, synced ? written : readFloat(path).info.frames);
  }
  ASSERT_TRUE(writer.flushAndClose(sink, 5.0));
  for (std::size_t o = 0; o < 2; ++o)
    EXPECT_EQ(readFloat(sink->paths()[o]).samples, expected(chunks, o)) << o;
}
INSTANTIATE_TEST_SUITE_P(ChunkSizes, RecentTest,
                         ::testing::Values(RecentCase{4800, 10}, RecentCase{4096, 12},
                                           RecentCase{60000, 1}));

TEST_F(WriterTest, AFailedSyncIsNeverForgottenByALaterGoodOne) {
  options.sampleRate = 8000;
  for (std::int64_t k = 1; k <= 8; ++k) push(k, 1000);
  ASSERT_TRUE(writer.drain(sink));  // a second written and synced
  ChunkRef undurable = push(9, 100);
  ASSERT_TRUE(writer.drain(sink));
  drive.failingSyncs = 1;
  ChunkRef big = push(10, 8000);  // a second on its own: its sync fails
  writer.drain(sink);
  // Linux reports a writeback error once: this sync succeeds, yet chunks 9
  // and 10 may never have reached the drive.
  ChunkRef after = push(11, 8000);
  writer.drain(sink);
  EXPECT_EQ(recent(), (std::vector<ChunkRef>{undurable, big, after}));
  EXPECT_FALSE(writer.flushAndClose(sink, 5.0));  // nor are the files called saved
  EXPECT_EQ(failures, std::vector<std::string>{"Writing to the drive failed (Input/output error)"});
}

TEST_F(WriterTest, AChunkGoesIntoEveryFileOrNoneSoARetryNeverWritesItTwice) {
  drive.limitedDir = scratch.path;
  drive.spaceLeft = 1024 * 4 + 500;  // B (two channels) fills the drive half-way through
  std::vector<ChunkRef> chunks = {push(1, 1024)};
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_FALSE(writer.drain(sink));  // one failover request per failed drain
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "Writing to the drive failed (No space left on device)");
  drive.spaceLeft = INT64_MAX;
  EXPECT_TRUE(writer.drain(sink));
  ASSERT_TRUE(writer.flushAndClose(sink, 5.0));
  for (std::size_t o = 0; o < 2; ++o)
    EXPECT_EQ(readFloat(sink->paths()[o]).samples, expected(chunks, o)) << o;
}

TEST_F(WriterTest, AFileWhoseRollBackFailedTakesNothingMore) {
  const std::uintmax_t header = fs::file_size(sink->paths()[0]);
  drive.limitedDir = scratch.path;
  drive.spaceLeft = 1024 * 4 + 500;
  drive.failingTruncates = 2;  // A took the chunk, B part of it; neither can be cut back
  push(1, 1024);
  EXPECT_FALSE(writer.drain(sink));
  const std::uintmax_t partial = fs::file_size(sink->paths()[1]);
  drive.spaceLeft = INT64_MAX;
  // Appending now would repeat the chunk or shift every sample after it.
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_EQ(fs::file_size(sink->paths()[0]), header + 4096);
  EXPECT_EQ(fs::file_size(sink->paths()[1]), partial);
}

}  // namespace
}  // namespace quilltap
