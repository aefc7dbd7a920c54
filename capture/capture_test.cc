#include <cmath>

#include "capture/buffer_processing.h"
#include "supervision/control_channel.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {

// A recording on the fake four-channel device whose drive hangs, so that
// every chunk stays in `pending` to be looked at.
class BufferProcessingTest : public RecordingTest {
 protected:
  void record(std::vector<std::string> words) {
    words.insert(words.end(), {"--out", scratch.path + "/take", "--bits", "32"});
    ASSERT_EQ(start(words), "");
    drive.stalled = true;
  }
  template <typename Value>
  ChunkRef chunkOf(std::size_t frames, Value value) {
    EXPECT_TRUE(audio.deliver(buffer(frames, value)));
    MutexLock hold(take().lock);
    return take().pending.empty() ? nullptr : take().pending.back();
  }
};

TEST_F(BufferProcessingTest, DefaultMixGainsCentreMonoTracksAndSpreadStereoOnes) {
  record({"--track", "1:A", "--track", "2,3:B", "--mix", "Mix", "--gains", "1,1"});  // dropped
  EXPECT_EQ(recorder->capture().processor().gains(),
            (std::vector<float>{0.7071f, 0.7071f, 1.0f, 0.0f, 0.0f, 1.0f}));
}

TEST_F(BufferProcessingTest, AGainsChangeRampsLinearlyAcrossTheNextBufferAndPeaksComeBeforeGains) {
  record({"--track", "1:A", "--track", "3,2:B", "--mix", "Mix", "--gains", "1,0.5,1,0,0,1"});
  const std::size_t n = 64;
  auto ones = [](std::size_t c, std::size_t) { return c == 0 ? 1.0f : 0.0f; };
  ChunkRef chunk = chunkOf(n, ones);
  EXPECT_EQ(chunk->buffers[0].channel(0)[n - 1], 1.0f);
  EXPECT_EQ(chunk->buffers[0].channel(1)[n - 1], 0.5f);
  EXPECT_FALSE(recorder->capture().processor().setGains({0, 0.5f}));  // a count that does not fit
  handleControlLine("\tgains 0,0.5,0.5,0,0,0.5 ", recorder->capture().processor());  // as on stdin
  chunk = chunkOf(n, ones);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(chunk->buffers[0].channel(0)[i], -1.0f / float(n) * float(i) + 1.0f) << i;
    EXPECT_EQ(chunk->buffers[0].channel(1)[i], 0.5f);
  }
  EXPECT_EQ(chunkOf(n, ones)->buffers[0].channel(0)[0], 0.0f);  // the next starts on the target
  // Every track channel, in the track's order, is summed with its own gains; NaN raises no peak.
  chunk =
      chunkOf(4, [](std::size_t c, std::size_t i) { return c == 1 && i == 0 ? NAN : c + 1.0f; });
  EXPECT_EQ(chunk->buffers[0].channel(0)[1], 0.5f * 3);
  EXPECT_EQ(chunk->buffers[0].channel(1)[1], 0.5f * 1 + 0.5f * 2);
  MutexLock hold(take().lock);
  EXPECT_EQ(take().peaks, (std::vector<float>{1.0f, 3.0f}));  // B's input, not B's mixed share
}

}  // namespace quilltap
