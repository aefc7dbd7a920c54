#include "writing/writer.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {

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
  // Channel c of output o at frame f of the take: exact in float, all told apart.
  static float sampleAt(std::size_t o, std::size_t c, std::int64_t f) {
    return float(o * 2 + c) + float(f % 65536) / 65536.0f;
  }
  // Queues the take's next `frames` frames as one chunk.
  ChunkRef push(std::int64_t frames) {
    std::vector<PcmBuffer> buffers;
    for (std::size_t o = 0; o < 2; ++o) {
      buffers.emplace_back(std::uint32_t(o + 1), frames);
      for (std::uint32_t c = 0; c <= o; ++c)
        for (std::int64_t i = 0; i < frames; ++i)
          buffers[o].channel(c)[i] = sampleAt(o, c, pushed + i);
    }
    pushed += frames;
    auto made = std::make_shared<const Chunk>(std::move(buffers), frames,
                                              std::chrono::steady_clock::now(), ++sequence);
    MutexLock hold(take.lock);
    take.pending.push_back(made);
    return made;
  }
  // Closes the files, which must hold every frame pushed once, in order.
  void expectWhole() {
    ASSERT_TRUE(writer.flushAndClose(sink, 5.0));
    for (std::size_t o = 0; o < 2; ++o) {
      std::vector<float> samples = readFloat(sink->paths()[o]).samples;
      ASSERT_EQ(std::int64_t(samples.size()), pushed * std::int64_t(o + 1));
      for (std::size_t k = 0; k < samples.size(); ++k)
        ASSERT_EQ(samples[k], sampleAt(o, k % (o + 1), std::int64_t(k / (o + 1)))) << o << " " << k;
    }
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
  std::int64_t pushed = 0, sequence = 0;
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
  for (std::int64_t k = 1; k <= 3 * std::int64_t(recentChunks) + 1; ++k) {
    SCOPED_TRACE(k);
    ChunkRef made = push(chunkFrames);
    ASSERT_TRUE(writer.drain(sink));
    const std::int64_t written = k * chunkFrames;
    std::vector<ChunkRef> held = recent();
    EXPECT_EQ(held.back(), made);
    EXPECT_EQ(held.size(), written >= 48000 ? recentChunks : std::size_t(k));
    const bool synced = k % std::int64_t(recentChunks) == 0;  // each second, headers first
    for (const std::string& path : sink->paths())
      EXPECT_EQ(readFloat(path).info.frames, synced ? written : readFloat(path).info.frames);
  }
  expectWhole();
}
INSTANTIATE_TEST_SUITE_P(ChunkSizes, RecentTest,
                         ::testing::Values(RecentCase{4800, 10}, RecentCase{4096, 12},
                                           RecentCase{60000, 1}));

TEST_F(WriterTest, AFailedSyncIsNeverForgottenByALaterGoodOne) {
  options.sampleRate = 8000;
  for (int k = 1; k <= 8; ++k) push(1000);
  ASSERT_TRUE(writer.drain(sink));  // a second written and synced
  ChunkRef undurable = push(100);
  ASSERT_TRUE(writer.drain(sink));
  drive.failingSyncs = 1;
  ChunkRef big = push(8000);  // a second on its own: its sync fails
  writer.drain(sink);
  // Linux reports a writeback error once: this sync succeeds, yet the two
  // chunks before may never have reached the drive.
  ChunkRef after = push(8000);
  writer.drain(sink);
  EXPECT_EQ(recent(), (std::vector<ChunkRef>{undurable, big, after}));
  EXPECT_FALSE(writer.flushAndClose(sink, 5.0));  // nor are the files called saved
  EXPECT_EQ(failures, std::vector<std::string>{"Writing to the drive failed (Input/output error)"});
}

TEST_F(WriterTest, AChunkGoesIntoEveryFileOrNoneSoARetryNeverWritesItTwice) {
  drive.limitedDir = scratch.path;
  drive.spaceLeft = 1024 * 4 + 500;  // B (two channels) fills the drive half-way through
  push(1024);
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_FALSE(writer.drain(sink));  // one failover request per failed drain
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0], "Writing to the drive failed (No space left on device)");
  drive.spaceLeft = INT64_MAX;
  EXPECT_TRUE(writer.drain(sink));
  expectWhole();
}

TEST_F(WriterTest, AFileWhoseRollBackFailedTakesNothingMore) {
  const std::uintmax_t header = fs::file_size(sink->paths()[0]);
  drive.limitedDir = scratch.path;
  drive.spaceLeft = 1024 * 4 + 500;
  drive.failingTruncates = 2;  // A took the chunk, B part of it; neither can be cut back
  push(1024);
  EXPECT_FALSE(writer.drain(sink));
  const std::uintmax_t partial = fs::file_size(sink->paths()[1]);
  drive.spaceLeft = INT64_MAX;
  // Appending now would repeat the chunk or shift every sample after it.
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_EQ(fs::file_size(sink->paths()[0]), header + 4096);
  EXPECT_EQ(fs::file_size(sink->paths()[1]), partial);
}

}  // namespace quilltap
