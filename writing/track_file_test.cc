#include "writing/track_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "tests/unit/read_back.h"

namespace quilltap {
namespace {

class TrackFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quilltap-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }
  // `buffer` written into a new file of `bits`, closed; the file's path.
  std::string written(const PcmBuffer& buffer, std::int64_t bits, std::int64_t rate = 48000,
                      std::chrono::system_clock::time_point takeStart = {},
                      std::int64_t framesBefore = 0) {
    std::string path = scratch + "/" + std::to_string(++files) + ".wav";
    std::unique_ptr<TrackFile> file;
    EXPECT_TRUE(TrackFile::create(drive, path, "Late", static_cast<double>(rate),
                                  static_cast<int>(buffer.channelCount()), bits, &file)
                    .ok());
    EXPECT_TRUE(file->place(takeStart, framesBefore).ok());
    EXPECT_TRUE(file->write(buffer).ok());
    EXPECT_TRUE(file->close().ok());
    return path;
  }
  static PcmBuffer mono(const std::vector<float>& samples) {
    PcmBuffer buffer(1, static_cast<std::int64_t>(samples.size()));
    std::memcpy(buffer.channel(0), samples.data(), samples.size() * sizeof(float));
    return buffer;
  }

  std::string scratch;
  PosixFileSystem drive;
  int files = 0;
};

TEST_F(TrackFileTest, FloatFramesComeBackBitExactAndInterleavedLeftThenRight) {
  PcmBuffer stereo(2, 1000);
  for (std::int64_t i = 0; i < 1000; ++i) {
    stereo.channel(0)[i] = static_cast<float>(i) / 1024.0f + 1e-7f;
    stereo.channel(1)[i] = -0.5f - static_cast<float>(i) / 4096.0f;
  }
  ReadBack back = readFloat(written(stereo, 32));
  ASSERT_EQ(back.samples.size(), 2000u);
  for (std::int64_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(back.samples[2 * i], stereo.channel(0)[i]) << i;
    ASSERT_EQ(back.samples[2 * i + 1], stereo.channel(1)[i]) << i;
  }
}

TEST_F(TrackFileTest, IntegerSamplesLandWithinOneStepAndBeyondFullScaleAreClippedNotWrapped) {
  std::vector<float> samples;
  for (int k = 0; k <= 2000; ++k) samples.push_back(-1.0f + k / 1000.0f);  // -1 … 1
  for (float beyond : {1.5f, -1.5f, 10.0f, -10.0f, 1.0001f, -1.0001f}) samples.push_back(beyond);
  for (std::int64_t bits : {16, 24}) {
    SCOPED_TRACE(bits);
    ReadBack back = readFloat(written(mono(samples), bits));
    ASSERT_EQ(back.samples.size(), samples.size());
    const float step = 1.0f / static_cast<float>(1 << (bits - 1));
    for (std::size_t k = 0; k < samples.size(); ++k) {
      float clipped = std::max(-1.0f, std::min(samples[k], 1.0f - step));
      ASSERT_NEAR(back.samples[k], clipped, step) << k;
    }
  }
}

TEST_F(TrackFileTest, TheTimeReferenceOfALateTakeCountsOnPastMidnightInLocalTime) {
  // East of UTC, so that a time taken in UTC rather than local time shows.
  setenv("TZ", "QTZ-05:30", 1);
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm day = {};
  localtime_r(&now, &day);
  day.tm_hour = 23, day.tm_min = 59, day.tm_sec = 59, day.tm_isdst = -1;
  const auto takeStart =
      std::chrono::system_clock::from_time_t(std::mktime(&day)) + std::chrono::milliseconds(500);
  // The file's first frame comes 2 s after the take's, on the next day. At
  // 96 kHz the count is beyond 32 bits.
  constexpr std::int64_t kRate = 96000;
  ReadBack back = readFloat(written(mono({0.25f}), 32, kRate, takeStart, 2 * kRate));
  const SF_BROADCAST_INFO& bext = back.bext;
  EXPECT_EQ(static_cast<std::uint64_t>(bext.time_reference_high) << 32 | bext.time_reference_low,
            (86399 * kRate + kRate / 2) + 2 * kRate);
  EXPECT_EQ(std::string(bext.origination_time, 8), "23:59:59");
  EXPECT_EQ(std::string(bext.description), "Late");
  EXPECT_EQ(std::string(bext.originator), "quilltap");
}

}  // namespace
}  // namespace quilltap
