#include "writing/track_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/read_back.h"
#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
  return value;
}

// The chunk layout of a RIFF WAV file as it lies on disk, read without
// libsndfile, which would quietly clamp a data size that claims too much.
struct RiffLayout {
  bool valid = false;
  std::uint32_t riffSize = 0;
  std::size_t dataOffset = 0;
  std::uint32_t dataSize = 0;
  std::size_t fileSize = 0;
};

RiffLayout layoutOf(const std::string& path) {
  RiffLayout layout;
  std::string bytes = fileBytes(path);
  layout.fileSize = bytes.size();
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return layout;
  layout.riffSize = le32(bytes, 4);
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    std::uint32_t size = le32(bytes, at + 4);
    if (bytes.compare(at, 4, "data") == 0) {
      layout.dataOffset = at + 8;
      layout.dataSize = size;
      layout.valid = true;
      return layout;
    }
    at += 8 + size + (size & 1);
  }
  return layout;
}

PcmBuffer monoBuffer(const std::vector<float>& samples) {
  PcmBuffer buffer(1, static_cast<std::int64_t>(samples.size()));
  std::memcpy(buffer.channel(0), samples.data(), samples.size() * sizeof(float));
  return buffer;
}

class TrackFileTest : public RecordingTest {
 protected:
  std::unique_ptr<TrackFile> make(const std::string& name, int channels, std::int64_t bits) {
    std::string description;
    auto file = TrackFile::create(scratch + "/" + name, name, 48000, channels, bits, &description);
    EXPECT_NE(file, nullptr) << description;
    return file;
  }

  void writeAndClose(TrackFile& file, const PcmBuffer& buffer) {
    std::string description;
    EXPECT_TRUE(file.write(buffer, &description)) << description;
    EXPECT_TRUE(file.close(&description)) << description;
  }
};

TEST_F(TrackFileTest, FloatSamplesComeBackBitExact) {
  std::vector<float> samples = {0.0f, -0.0f, 1.0f, -1.0f, 0.1f, -0.7f, 1e-8f, -3e-39f, 0.999999f};
  for (int k = 0; k < 1000; ++k) samples.push_back(std::sin(k * 0.37f) * 0.9f);
  auto file = make("float.wav", 1, 32);
  ASSERT_NE(file, nullptr);
  writeAndClose(*file, monoBuffer(samples));

  ReadBack back = readFloat(scratch + "/float.wav");
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
  EXPECT_EQ(back.info.samplerate, 48000);
  ASSERT_EQ(back.samples.size(), samples.size());
  EXPECT_EQ(std::memcmp(back.samples.data(), samples.data(), samples.size() * sizeof(float)), 0);
}

TEST_F(TrackFileTest, IntegerSamplesLandWithinOneQuantisationStep) {
  std::vector<float> samples;
  for (int k = 0; k <= 20000; ++k) samples.push_back(-1.0f + k / 10000.0f);  // -1 … 1
  for (std::int64_t bits : {16, 24}) {
    SCOPED_TRACE(bits);
    std::string name = std::to_string(bits) + ".wav";
    auto file = make(name, 1, bits);
    ASSERT_NE(file, nullptr);
    writeAndClose(*file, monoBuffer(samples));

    ReadBack back = readFloat(scratch + "/" + name);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.info.format & SF_FORMAT_SUBMASK, bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    ASSERT_EQ(back.samples.size(), samples.size());
    const double step = 1.0 / static_cast<double>(1 << (bits - 1));
    int outside = 0;
    for (std::size_t k = 0; k < samples.size(); ++k) {
      if (std::abs(static_cast<double>(back.samples[k]) - samples[k]) > step) ++outside;
    }
    EXPECT_EQ(outside, 0);
  }
}

TEST_F(TrackFileTest, IntegerSamplesBeyondFullScaleAreClippedNotWrapped) {
  const std::vector<float> samples = {1.5f, -1.5f, 10.0f, -10.0f, 1.0f, -1.0f, 1.0001f, -1.0001f};
  // 16-bit read as short: full scale is 32767 / -32768.
  {
    auto file = make("clip16.wav", 1, 16);
    ASSERT_NE(file, nullptr);
    writeAndClose(*file, monoBuffer(samples));
    SF_INFO info = {};
    SNDFILE* in = sf_open((scratch + "/clip16.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(in, nullptr);
    std::vector<short> got(samples.size());
    ASSERT_EQ(sf_readf_short(in, got.data(), info.frames), static_cast<sf_count_t>(samples.size()));
    sf_close(in);
    for (std::size_t k = 0; k < samples.size(); ++k) {
      EXPECT_EQ(got[k], samples[k] > 0 ? 32767 : -32768) << "sample " << k;
    }
  }
  // 24-bit read as int (left-aligned): full scale is 0x7FFFFF00 / INT32_MIN.
  {
    auto file = make("clip24.wav", 1, 24);
    ASSERT_NE(file, nullptr);
    writeAndClose(*file, monoBuffer(samples));
    SF_INFO info = {};
    SNDFILE* in = sf_open((scratch + "/clip24.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(in, nullptr);
    std::vector<int> got(samples.size());
    ASSERT_EQ(sf_readf_int(in, got.data(), info.frames), static_cast<sf_count_t>(samples.size()));
    sf_close(in);
    for (std::size_t k = 0; k < samples.size(); ++k) {
      EXPECT_EQ(got[k], samples[k] > 0 ? 0x7FFFFF00 : INT32_MIN) << "sample " << k;
    }
  }
}

TEST_F(TrackFileTest, StereoFramesAreInterleavedLeftThenRight) {
  const std::int64_t frames = 1000;
  PcmBuffer buffer(2, frames);
  for (std::int64_t i = 0; i < frames; ++i) {
    buffer.channel(0)[i] = static_cast<float>(i) / 1024.0f;
    buffer.channel(1)[i] = -0.5f + static_cast<float>(i) / 4096.0f;
  }
  auto file = make("stereo.wav", 2, 32);
  ASSERT_NE(file, nullptr);
  writeAndClose(*file, buffer);

  ReadBack back = readFloat(scratch + "/stereo.wav");
  ASSERT_TRUE(back.opened);
  ASSERT_EQ(back.info.channels, 2);
  ASSERT_EQ(back.info.frames, frames);
  int wrong = 0;
  for (std::int64_t i = 0; i < frames; ++i) {
    if (back.samples[2 * i] != buffer.channel(0)[i] || back.samples[2 * i + 1] != buffer.channel(1)[i]) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(TrackFileTest, HeaderAgreesWithDataAfterEachSyncWhileStillOpen) {
  const std::string path = scratch + "/open.wav";
  auto file = make("open.wav", 1, 24);
  ASSERT_NE(file, nullptr);
  std::vector<float> samples(4800);
  for (std::size_t k = 0; k < samples.size(); ++k) samples[k] = static_cast<float>(k % 100) / 128.0f;
  std::string description;
  for (std::int64_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(file->write(monoBuffer(samples), &description)) << description;
    ASSERT_TRUE(file->sync(&description)) << description;
    EXPECT_EQ(file->framesWritten(), round * 4800);

    RiffLayout layout = layoutOf(path);
    ASSERT_TRUE(layout.valid);
    EXPECT_EQ(static_cast<std::int64_t>(layout.dataSize), round * 4800 * 3);
    EXPECT_EQ(layout.dataOffset + layout.dataSize, layout.fileSize);
    EXPECT_EQ(layout.riffSize, layout.fileSize - 8);

    ReadBack back = readFloat(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.info.frames, round * 4800);
    ASSERT_EQ(back.samples.size(), static_cast<std::size_t>(round * 4800));
    EXPECT_NEAR(back.samples.back(), samples.back(), 1.0 / (1 << 23));
  }
  EXPECT_TRUE(file->close(&description)) << description;
}

TEST_F(TrackFileTest, AnEmptyFileIsAValidPlainRiffWav) {
  const std::string path = scratch + "/empty.wav";
  auto file = make("empty.wav", 2, 24);
  ASSERT_NE(file, nullptr);
  // Before any frame and before close, the file already starts as plain RIFF.
  EXPECT_EQ(fileBytes(path).substr(0, 4), "RIFF");
  std::string description;
  ASSERT_TRUE(file->close(&description)) << description;

  std::string bytes = fileBytes(path);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 4), "WAVE");
  RiffLayout layout = layoutOf(path);
  ASSERT_TRUE(layout.valid);
  EXPECT_EQ(layout.dataSize, 0u);
  ReadBack back = readFloat(path);
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.info.frames, 0);
  EXPECT_EQ(back.info.channels, 2);
  // The downgraded RF64 header uses the extensible format tag: still a WAV.
  int type = back.info.format & SF_FORMAT_TYPEMASK;
  EXPECT_TRUE(type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX) << std::hex << type;
}

TEST_F(TrackFileTest, TheTimeReferenceOfALateTakeCountsOnPastMidnight) {
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
  std::string description;
  auto file = TrackFile::create(scratch + "/late.wav", "Late", kRate, 1, 32, &description);
  ASSERT_NE(file, nullptr) << description;
  ASSERT_TRUE(file->place(takeStart, 2 * kRate, &description)) << description;
  writeAndClose(*file, monoBuffer({0.25f}));

  const SF_BROADCAST_INFO bext = readFloat(scratch + "/late.wav").bext;
  EXPECT_EQ(static_cast<std::uint64_t>(bext.time_reference_high) << 32 | bext.time_reference_low,
            (86399 * kRate + kRate / 2) + 2 * kRate);
  EXPECT_EQ(std::string(bext.origination_time, 8), "23:59:59");
}

TEST_F(TrackFileTest, CreatingInAMissingFolderReportsTheSystemError) {
  std::string description;
  EXPECT_EQ(TrackFile::create(scratch + "/missing/x.wav", "x", 48000, 1, 24, &description), nullptr);
  EXPECT_EQ(description, "No such file or directory");
}

// Sample n of the crash test's signal; every value is exact in float.
float crashSample(std::int64_t n) { return static_cast<float>(n % 4000 - 2000) / 2048.0f; }

TEST_F(TrackFileTest, AKilledWriterLeavesEverythingUpToItsLastSyncReadable) {
  const std::string path = scratch + "/killed.wav";
  constexpr std::int64_t kRate = 48000, kChunk = 4096, kTotal = 3 * kRate;
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child writes as the recorder does and reports each finished write.
    close(progress[0]);
    std::string description;
    auto file = TrackFile::create(path, "killed", kRate, 1, 32, &description);
    if (!file) _exit(2);
    PcmBuffer buffer(1, kChunk);
    std::int64_t written = 0, sinceSync = 0;
    while (written < kTotal) {
      for (std::int64_t i = 0; i < kChunk; ++i) buffer.channel(0)[i] = crashSample(written + i);
      if (!file->write(buffer, &description)) _exit(3);
      written += kChunk;
      sinceSync += kChunk;
      if (sinceSync >= kRate) {
        if (!file->sync(&description)) _exit(4);
        sinceSync = 0;
      }
      if (::write(progress[1], &written, sizeof written) != sizeof written) _exit(5);
      usleep(3000);  // paced, so that the kill lands while it is still writing
    }
    for (;;) pause();
  }
  close(progress[1]);

  std::int64_t reported = 0, value;
  while (reported < 2 * kRate && read(progress[0], &value, sizeof value) == sizeof value) reported = value;
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed with status " << WEXITSTATUS(status);
  while (read(progress[0], &value, sizeof value) == sizeof value) reported = value;  // reports before death
  close(progress[0]);
  ASSERT_GE(reported, 2 * kRate);

  RiffLayout layout = layoutOf(path);
  ASSERT_TRUE(layout.valid);
  // The header claims no frame that is not in the file.
  EXPECT_LE(layout.dataOffset + layout.dataSize, layout.fileSize);
  EXPECT_EQ(layout.dataSize % 4, 0u);
  const std::int64_t claimed = layout.dataSize / 4;
  // It holds everything up to the last sync: at most a second of audio lost,
  // and never more than was written.
  EXPECT_GE(claimed, reported - kRate);
  EXPECT_LE(claimed, reported + kChunk);

  ReadBack back = readFloat(path);
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.info.frames, claimed);
  ASSERT_EQ(static_cast<std::int64_t>(back.samples.size()), claimed);
  std::int64_t wrong = 0;
  for (std::int64_t n = 0; n < claimed; ++n) {
    if (back.samples[n] != crashSample(n)) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace quilltap
