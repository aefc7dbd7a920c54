#include "capture/buffer_processing.h"

#include <cmath>
#include <limits>

#include "tests/unit/recording_fixture.h"
#include "writing/sink.h"

namespace quilltap {
namespace {

// handleBuffer on a recording whose writer is kept from running: the Sink is
// not current while its drain work runs, so the chunks stay in `pending`.
class BufferProcessingTest : public RecordingTest {
 protected:
  void prepare(std::vector<Track> tracks, std::string mixName = "", std::vector<float> gains = {}) {
    Recording& r = rec();
    r.tracks = std::move(tracks);
    r.mixName = std::move(mixName);
    r.gains = std::move(gains);
    r.sampleRate = 48000;
    r.bitDepth = 32;
    deriveOutputs(4);
    r.appliedGains = r.gains;
    r.peaks.assign(r.tracks.size(), 0.0f);
    Error error;
    r.current = Sink::create(scratch, "", &error);
    ASSERT_TRUE(r.current);
    held = r.current;
    r.current->queue().async([gate = gate] { gate->wait(); });  // the writer waits
  }
  void TearDown() override {
    gate->signal();
    RecordingTest::TearDown();
  }
  void process(const std::vector<std::vector<float>>& channels) {
    std::vector<const float*> pointers;
    for (auto& channel : channels) pointers.push_back(channel.data());
    handleBuffer(AudioBuffer{pointers.data(), static_cast<std::uint32_t>(channels.size()),
                             static_cast<std::uint32_t>(channels.empty() ? 0 : channels[0].size())});
  }
  ChunkRef last() {
    std::lock_guard<std::mutex> hold(rec().lock);
    return rec().pending.empty() ? nullptr : rec().pending.back();
  }
  std::shared_ptr<Semaphore> gate = std::make_shared<Semaphore>();
  SinkRef held;
};

TEST_F(BufferProcessingTest, TrackModeCopiesEachTracksChannelsInOrder) {
  prepare({{{3, 4}, "Keys"}, {{2}, "Vox"}, {{4, 3}, "Swapped"}});
  process(buffer(4, 8, [](std::size_t c, std::size_t i) { return float(c * 100 + i); }));
  ChunkRef chunk = last();
  ASSERT_TRUE(chunk);
  ASSERT_EQ(chunk->buffers.size(), 3u);
  EXPECT_EQ(chunk->frames, 8);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(chunk->buffers[0].channel(0)[i], 200 + i);
    EXPECT_EQ(chunk->buffers[0].channel(1)[i], 300 + i);
    EXPECT_EQ(chunk->buffers[1].channel(0)[i], 100 + i);
    EXPECT_EQ(chunk->buffers[2].channel(0)[i], 300 + i);
  }
  EXPECT_EQ(rec().capturedFrames, 8);
}

TEST_F(BufferProcessingTest, AChannelBeyondTheInputIsSilentAndRaisesNoPeak) {
  prepare({{{2, 4}, "Pair"}});
  process(buffer(2, 4, [](std::size_t, std::size_t) { return 0.25f; }));  // the input lost two channels
  ChunkRef chunk = last();
  ASSERT_TRUE(chunk);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(chunk->buffers[0].channel(0)[i], 0.25f);
    EXPECT_EQ(chunk->buffers[0].channel(1)[i], 0.0f);
  }
  EXPECT_EQ(rec().peaks[0], 0.25f);
}

TEST_F(BufferProcessingTest, PeaksComeFromTheInputBeforeGainsAndNaNNeverRaisesThem) {
  prepare({{{1}, "A"}, {{2}, "B"}}, "Mix", {0.1f, 0.1f, 0.1f, 0.1f});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  process(buffer(4, 4, [&](std::size_t c, std::size_t i) {
    if (c == 0) return i == 2 ? -0.8f : 0.1f;
    return i == 0 ? nan : 0.3f;
  }));
  EXPECT_EQ(rec().peaks[0], 0.8f);
  EXPECT_EQ(rec().peaks[1], 0.3f);
  process(buffer(4, 4, [](std::size_t, std::size_t) { return 0.05f; }));
  EXPECT_EQ(rec().peaks[0], 0.8f);  // kept until the progress tick resets it
}

TEST_F(BufferProcessingTest, MixRampsLinearlyFromTheAppliedGainsToTheTarget) {
  prepare({{{1}, "A"}}, "Mix", {1.0f, 0.5f});
  const std::size_t n = 64;
  auto ones = buffer(4, n, [](std::size_t, std::size_t) { return 1.0f; });
  process(ones);
  ChunkRef steady = last();
  ASSERT_EQ(steady->buffers.size(), 1u);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(steady->buffers[0].channel(0)[i], 1.0f);
    EXPECT_EQ(steady->buffers[0].channel(1)[i], 0.5f);
  }
  {
    std::lock_guard<std::mutex> hold(rec().lock);
    rec().gains = {0.0f, 0.5f};
  }
  process(ones);
  ChunkRef ramp = last();
  const float step = (0.0f - 1.0f) / static_cast<float>(n);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(ramp->buffers[0].channel(0)[i], step * static_cast<float>(i) + 1.0f) << i;
    EXPECT_EQ(ramp->buffers[0].channel(1)[i], 0.5f);
  }
  EXPECT_GT(ramp->buffers[0].channel(0)[n - 1], 0.0f);  // one step short of the target
  process(ones);
  EXPECT_EQ(last()->buffers[0].channel(0)[0], 0.0f);    // the next buffer starts on it
  EXPECT_EQ(rec().appliedGains, (std::vector<float>{0.0f, 0.5f}));
}

TEST_F(BufferProcessingTest, MixSumsEveryTrackChannelWithItsOwnGains) {
  prepare({{{1}, "Mono"}, {{2, 3}, "Stereo"}}, "Mix", {0.5f, 0.25f, 1, 0, 0, 1});
  process(buffer(4, 4, [](std::size_t c, std::size_t) { return float(c + 1); }));
  ChunkRef chunk = last();
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(chunk->buffers[0].channel(0)[i], 0.5f * 1 + 2.0f);
    EXPECT_EQ(chunk->buffers[0].channel(1)[i], 0.25f * 1 + 3.0f);
  }
}

TEST_F(BufferProcessingTest, AnEmptyBufferQueuesAnEmptyChunkAndMovesTheGainsAtOnce) {
  prepare({{{1}, "A"}}, "Mix", {1.0f, 1.0f});
  {
    std::lock_guard<std::mutex> hold(rec().lock);
    rec().gains = {0.0f, 0.0f};
  }
  process(buffer(4, 0, [](std::size_t, std::size_t) { return 1.0f; }));
  ASSERT_TRUE(last());
  EXPECT_EQ(last()->frames, 0);
  EXPECT_EQ(rec().capturedFrames, 0);
  EXPECT_EQ(rec().appliedGains, (std::vector<float>{0.0f, 0.0f}));
}

TEST_F(BufferProcessingTest, ABufferWithoutDataIsDropped) {
  prepare({{{1}, "A"}});
  handleBuffer(AudioBuffer{nullptr, 4, 128});
  EXPECT_FALSE(last());
  EXPECT_EQ(rec().capturedFrames, 0);
}

}  // namespace
}  // namespace quilltap
