#include <ctime>
#include <fstream>

#include "tests/unit/recording_fixture.h"
#include "writing/failover.h"
#include "writing/track_file.h"
#include "writing/writer.h"

namespace quilltap {

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
  void TearDown() override { writer.flushAndClose(sink, 5.0); }
  // Channel c of output o at frame f of the take: exact in float, all told apart.
  static float sampleAt(std::size_t o, std::size_t c, std::int64_t f) {
    return float(o * 2 + c) + float(f % 65536) / 65536.0f;
  }
  ChunkRef push(std::int64_t frames) {
    std::vector<PcmBuffer> buffers;
    for (std::size_t o = 0; o < 2; ++o) {
      buffers.emplace_back(std::uint32_t(o + 1), frames);
      for (std::uint32_t c = 0; c <= o; ++c)
        for (std::int64_t i = 0; i < frames; ++i)
          buffers[o].channel(c)[i] = sampleAt(o, c, pushed + i);
    }
    pushed += frames;
    MutexLock hold(take.lock);
    return take.pending.emplace_back(std::make_shared<const Chunk>(
        std::move(buffers), frames, std::chrono::steady_clock::now(), ++sequence));
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

// Chunk sizes and the shortest run of newest chunks that holds a second.
class RecentTest : public WriterTest,
                   public ::testing::WithParamInterface<std::pair<std::int64_t, std::size_t>> {};

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
    for (const std::string& path : sink->paths())  // synced each second, headers first
      EXPECT_TRUE(k % std::int64_t(recentChunks) || readFloat(path).info.frames == written) << path;
  }
  expectWhole();
}
INSTANTIATE_TEST_SUITE_P(ChunkSizes, RecentTest,
                         ::testing::Values(std::pair{4800L, 10UL}, std::pair{4096L, 12UL},
                                           std::pair{60000L, 1UL}));

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
  const std::uintmax_t header = std::filesystem::file_size(sink->paths()[0]);
  drive.spaceLeft = 1024 * 4 + 500;
  drive.failingTruncates = 2;  // A took the chunk, B part of it; neither can be cut back
  push(1024);
  EXPECT_FALSE(writer.drain(sink));
  const std::uintmax_t partial = std::filesystem::file_size(sink->paths()[1]);
  drive.spaceLeft = INT64_MAX;
  // Appending now would repeat the chunk or shift every sample after it.
  EXPECT_FALSE(writer.drain(sink));
  EXPECT_EQ(std::filesystem::file_size(sink->paths()[0]), header + 4096);
  EXPECT_EQ(std::filesystem::file_size(sink->paths()[1]), partial);
}

using FailoverTest = RecordingTest;

TEST_F(FailoverTest, AllOfRecentIsReplayedAndALateRequestFromTheAbandonedDriveChangesNothing) {
  ASSERT_EQ(start({"--out", scratch.path + "/t", "--fallback", scratch.path + "/b"}), "");
  takeEvents();
  for (int k = 0; k < 3; ++k)  // one group, written and kept in `recent`
    ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t, std::size_t) { return 0.1f; })));
  awaitWritten(3 * 4096);
  recorder->failover().failover("The drive stopped responding");
  Event moved = takeEvents().back();
  ASSERT_EQ(moved["event"], "failover");
  EXPECT_EQ(std::pair(moved["seconds"], moved["overlap"]), std::pair(Event(0.0), Event(0.256)));
  recorder->failover().failover("Writing to the drive failed (Input/output error)",
                                take().firstSink);  // queued before the move
  EXPECT_TRUE(takeEvents().empty());
  // A failure of the backup drive itself ends it.
  EXPECT_EQ(exitStatusOf([&] { recorder->failover().failover("The drive stopped responding"); }),
            0);
  EXPECT_EQ(takeEvents().back()["reason"], "write-error");
}

// `samples` written as a mono file of `bits` at `rate` whose first frame comes `before` frames
// after `takeStart`; what reads back.
static ReadBack written(const std::vector<float>& samples, std::int64_t bits, std::int64_t rate,
                        std::chrono::system_clock::time_point takeStart, std::int64_t before) {
  Scratch scratch;
  PosixFileSystem drive;
  PcmBuffer buffer(1, static_cast<std::int64_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer.channel(0));
  std::unique_ptr<TrackFile> file;
  const std::string path = scratch.path + "/t.wav";
  EXPECT_TRUE(TrackFile::create(drive, path, "Late", double(rate), 1, bits, &file).ok());
  EXPECT_TRUE(file->place(takeStart, before).ok() && file->write(buffer).ok() &&
              file->close().ok());
  return readFloat(path);
}

TEST(TrackFile, IntegerSamplesLandWithinOneStepBeyondFullScaleClippedNotWrappedAndNaNSilent) {
  std::vector<float> samples = {1.5f, -1.5f, 10.0f, -10.0f, 1.0001f, -1.0001f, std::nanf("")};
  for (int k = 0; k <= 2000; ++k) samples.push_back(-1.0f + float(k) / 1000.0f);
  for (std::int64_t bits : {16, 24}) {
    ReadBack back = written(samples, bits, 48000, {}, 0);
    ASSERT_EQ(back.samples.size(), samples.size());
    const float step = 1.0f / static_cast<float>(1 << (bits - 1));
    for (std::size_t k = 0; k < samples.size(); ++k)
      ASSERT_NEAR(back.samples[k],
                  std::isnan(samples[k]) ? 0 : std::clamp(samples[k], -1.0f, 1.0f - step), step)
          << bits;
  }
}

TEST(TrackFile, TheTimeReferenceOfALateTakeCountsOnPastMidnightInLocalTime) {
  setenv("TZ", "QTZ-05:30", 1);  // east of UTC, so that UTC in place of local time shows
  tzset();
  std::tm day = {};
  day.tm_sec = 59, day.tm_min = 59, day.tm_hour = 23, day.tm_mday = 1, day.tm_year = 126;
  const auto takeStart =
      std::chrono::system_clock::from_time_t(std::mktime(&day)) + std::chrono::milliseconds(500);
  // The file starts 2 s after the take, on the next day; at 96 kHz the count passes 32 bits.
  constexpr std::int64_t kRate = 96000;
  const SF_BROADCAST_INFO bext = written({0.25f}, 32, kRate, takeStart, 2 * kRate).bext;
  EXPECT_EQ(std::uint64_t(bext.time_reference_high) << 32 | bext.time_reference_low,
            (86399 * kRate + kRate / 2) + 2 * kRate);
  EXPECT_EQ(std::string(bext.origination_time, 8), "23:59:59");
  EXPECT_EQ(std::string(bext.description), "Late");
}

TEST(TrackFile, ATakePastFourGiBIsRf64WithItsSizesInTheDs64Chunk) {
  Scratch scratch;
  FaultyFileSystem drive;
  drive.keptBelow = 1 << 16;
  const std::string path = scratch.path + "/long.wav";
  std::unique_ptr<TrackFile> file;
  ASSERT_TRUE(TrackFile::create(drive, path, "Long", 48000, 1, 32, &file).ok());
  const PcmBuffer run(1, 1 << 24);  // 64 MiB of frames, 65 times: 6.3 hours of a float track
  for (int k = 0; k < 65; ++k) ASSERT_TRUE(file->write(run).ok());
  ASSERT_TRUE(file->close().ok());
  char head[4096] = {};
  std::ifstream(path, std::ios::binary).read(head, sizeof head);
  std::uint64_t ds64[2];  // RIFF size, data size
  std::memcpy(ds64, head + 20, sizeof ds64);
  EXPECT_EQ(std::string(head, 4) + std::string(head + 12, 4), "RF64ds64");
  EXPECT_EQ(ds64[1], std::uint64_t{65} << 26);
  EXPECT_EQ(ds64[0], 4096 + ds64[1] - 8);  // the audio starts on a page: byte 4096
  EXPECT_EQ(std::string(head + 4088, 8), std::string("data\xff\xff\xff\xff"));
}

}  // namespace quilltap
