#include "writing/track_file.h"

#include <ctime>

#include "tests/unit/recording_fixture.h"

namespace quilltap {

// `samples` written as a mono file of `bits` whose first frame comes
// `framesBefore` after `takeStart`; what reads back.
static ReadBack written(const std::vector<float>& samples, std::int64_t bits,
                        std::int64_t rate = 48000,
                        std::chrono::system_clock::time_point takeStart = {},
                        std::int64_t framesBefore = 0) {
  Scratch scratch;
  PosixFileSystem drive;
  PcmBuffer buffer(1, static_cast<std::int64_t>(samples.size()));
  std::copy(samples.begin(), samples.end(), buffer.channel(0));
  std::unique_ptr<TrackFile> file;
  const std::string path = scratch.path + "/t.wav";
  EXPECT_TRUE(TrackFile::create(drive, path, "Late", double(rate), 1, bits, &file).ok());
  EXPECT_TRUE(file->place(takeStart, framesBefore).ok());
  EXPECT_TRUE(file->write(buffer).ok());
  EXPECT_TRUE(file->close().ok());
  return readFloat(path);
}

TEST(TrackFile, IntegerSamplesLandWithinOneStepAndBeyondFullScaleAreClippedNotWrapped) {
  std::vector<float> samples = {1.5f, -1.5f, 10.0f, -10.0f, 1.0001f, -1.0001f};
  for (int k = 0; k <= 2000; ++k) samples.push_back(-1.0f + float(k) / 1000.0f);
  for (std::int64_t bits : {16, 24}) {
    ReadBack back = written(samples, bits);
    ASSERT_EQ(back.samples.size(), samples.size());
    const float step = 1.0f / static_cast<float>(1 << (bits - 1));
    for (std::size_t k = 0; k < samples.size(); ++k)
      ASSERT_NEAR(back.samples[k], std::clamp(samples[k], -1.0f, 1.0f - step), step) << bits;
  }
}

TEST(TrackFile, TheTimeReferenceOfALateTakeCountsOnPastMidnightInLocalTime) {
  setenv("TZ", "QTZ-05:30", 1);  // east of UTC, so that UTC in place of local time shows
  tzset();
  std::time_t now = std::time(nullptr);
  std::tm day = {};
  localtime_r(&now, &day);
  day.tm_hour = 23, day.tm_min = 59, day.tm_sec = 59, day.tm_isdst = -1;
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

}  // namespace quilltap
