#include "capture/buffer_processing.h"

#include <cmath>
#include <limits>

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

// A recording on the fake four-channel device whose drive hangs, so that
// every chunk stays in `pending` to be looked at.
class BufferProcessingTest : public RecordingTest {
 protected:
  void record(std::vector<std::string> words) {
    words.insert(words.end(), {"--out", scratch + "/take", "--bits", "32"});
    ASSERT_EQ(start(words), "");
    drive.stall();
  }
  void deliver(const std::vector<std::vector<float>>& channels) {
    ASSERT_TRUE(audio.engine->deliver(channels));
  }
  ChunkRef last() {
    MutexLock hold(take().lock);
    return take().pending.empty() ? nullptr : take().pending.back();
  }
  std::vector<float> peaks() {
    MutexLock hold(take().lock);
    return take().peaks;
  }
  static std::vector<std::vector<float>> numbered(std::size_t frames) {
    return buffer(4, frames, [](std::size_t c, std::size_t i) { return float(c * 100 + i); });
  }
};

TEST_F(BufferProcessingTest, TrackModeCopiesEachTracksDeviceChannelsInOrder) {
  record({"--track", "3,4:Keys", "--track", "2:Vox", "--track", "4,3:Swapped"});
  deliver(numbered(8));
  ChunkRef chunk = last();
  ASSERT_TRUE(chunk);
  ASSERT_EQ(chunk->buffers.size(), 3u);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(chunk->buffers[0].channel(0)[i], 200 + i);
    EXPECT_EQ(chunk->buffers[0].channel(1)[i], 300 + i);
    EXPECT_EQ(chunk->buffers[1].channel(0)[i], 100 + i);
    EXPECT_EQ(chunk->buffers[2].channel(0)[i], 300 + i);
  }
  // A channel the input no longer has is silent and raises no peak.
  deliver(buffer(2, 4, [](std::size_t, std::size_t) { return 0.25f; }));
  EXPECT_EQ(last()->buffers[1].channel(0)[3], 0.25f);
  EXPECT_EQ(last()->buffers[0].channel(0)[3], 0.0f);
  MutexLock hold(take().lock);
  EXPECT_EQ(take().capturedFrames, 12);
}

TEST_F(BufferProcessingTest, PeaksComeFromTheInputBeforeGainsAndNaNNeverRaisesThem) {
  record({"--track", "1:A", "--track", "2:B", "--mix", "Mix", "--gains", "0.1,0.1,0.1,0.1"});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  deliver(buffer(4, 4, [&](std::size_t c, std::size_t i) {
    if (c == 0) return i == 2 ? -0.8f : 0.1f;
    return i == 0 ? nan : 0.3f;
  }));
  deliver(buffer(4, 4, [](std::size_t, std::size_t) { return 0.05f; }));
  EXPECT_EQ(peaks(), (std::vector<float>{0.8f, 0.3f}));  // kept until the progress tick resets them
}

TEST_F(BufferProcessingTest, AGainsChangeRampsLinearlyAcrossTheNextBuffer) {
  record({"--track", "1:A", "--track", "2,3:B", "--mix", "Mix", "--gains", "1,0.5,1,0,0,1"});
  const std::size_t n = 64;
  auto ones = buffer(4, n, [](std::size_t c, std::size_t) { return c == 0 ? 1.0f : 0.0f; });
  deliver(ones);
  EXPECT_EQ(last()->buffers[0].channel(0)[n - 1], 1.0f);
  EXPECT_EQ(last()->buffers[0].channel(1)[n - 1], 0.5f);
  EXPECT_FALSE(recorder->capture().processor().setGains({0, 0.5f}));  // a count that does not fit
  ASSERT_TRUE(recorder->capture().processor().setGains({0, 0.5f, 1, 0, 0, 1}));
  deliver(ones);
  const float step = (0.0f - 1.0f) / static_cast<float>(n);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(last()->buffers[0].channel(0)[i], step * static_cast<float>(i) + 1.0f) << i;
    EXPECT_EQ(last()->buffers[0].channel(1)[i], 0.5f);
  }
  deliver(ones);
  EXPECT_EQ(last()->buffers[0].channel(0)[0], 0.0f);  // the next buffer starts on the target
  // Every track channel is summed with its own gains.
  deliver(buffer(4, 4, [](std::size_t c, std::size_t) { return float(c + 1); }));
  EXPECT_EQ(last()->buffers[0].channel(0)[1], 0.0f * 1 + 2.0f);
  EXPECT_EQ(last()->buffers[0].channel(1)[1], 0.5f * 1 + 3.0f);
}

TEST_F(BufferProcessingTest, DefaultMixGainsCentreMonoTracksAndSpreadStereoOnes) {
  record({"--track", "1:A", "--track", "2,3:B", "--mix", "Mix", "--gains",
          "1,1"});  // wrong count: dropped
  EXPECT_EQ(recorder->capture().processor().gains(),
            (std::vector<float>{0.7071f, 0.7071f, 1.0f, 0.0f, 0.0f, 1.0f}));
}

}  // namespace
}  // namespace quilltap
