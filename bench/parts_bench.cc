// Where the writer's and handleBuffer's time goes, one part at a time, for an XR18
// session (18 mono 24-bit tracks, 4096-frame chunks at 48 kHz):
//
//   BM_SndfileConvert    libsndfile's float -> 24-bit conversion alone, configured as
//                        TrackFile configures it (RF64 with auto downgrade, clipping on or
//                        off), writing through virtual I/O that only counts the bytes.
//   BM_WriteChunks       write(2) of the converted bytes to 18 files under /var/tmp: one
//                        12288-byte call per chunk, or the 8190 + 4098 bytes that libsndfile's
//                        8 KiB conversion buffer makes of it (split:1).
//   BM_Peak              the peak of 18 x 4096 samples: one running maximum kept with a
//                        compare-and-select per sample (as handleBuffer keeps it, NaN never
//                        raises it), against eight independent running maxima with the same
//                        NaN rule that the compiler can keep in vector registers (lanes:8).
//
// Figures: x_realtime is how many times faster than the audio arrives the 18 channels are
// processed; ns_per_sample the cost of one sample of one channel.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 18;
constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kChunk = 4096;
constexpr std::int64_t kChunksPerIteration = 12;  // about a second of audio

void report(benchmark::State& state) {
  const double frames = static_cast<double>(state.iterations()) * kChunksPerIteration * kChunk;
  state.counters["x_realtime"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
  // A rate of giga-samples per second, inverted: nanoseconds per sample.
  state.counters["ns_per_sample"] = benchmark::Counter(
      frames * kFiles / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::vector<float> signal(int k) {
  std::vector<float> x(kChunk);
  for (std::int64_t i = 0; i < kChunk; ++i)
    x[i] = 0.8f * std::sin(0.01f * static_cast<float>(i * (k + 1)));
  return x;
}

// Virtual I/O that keeps nothing: libsndfile's own work without any system call.
struct NullFile {
  sf_count_t position = 0;
  sf_count_t length = 0;
};
sf_count_t nullLength(void* f) { return static_cast<NullFile*>(f)->length; }
sf_count_t nullSeek(sf_count_t offset, int whence, void* p) {
  auto* f = static_cast<NullFile*>(p);
  f->position = whence == SEEK_SET   ? offset
                : whence == SEEK_CUR ? f->position + offset
                                     : f->length + offset;
  return f->position;
}
sf_count_t nullRead(void*, sf_count_t, void*) { return 0; }
sf_count_t nullWrite(const void*, sf_count_t count, void* p) {
  auto* f = static_cast<NullFile*>(p);
  f->position += count;
  f->length = std::max(f->length, f->position);
  return count;
}
sf_count_t nullTell(void* f) { return static_cast<NullFile*>(f)->position; }

void BM_SndfileConvert(benchmark::State& state) {
  static SF_VIRTUAL_IO io = {&nullLength, &nullSeek, &nullRead, &nullWrite, &nullTell};
  std::vector<NullFile> files(kFiles);
  std::vector<SNDFILE*> handles;
  std::vector<std::vector<float>> inputs;
  for (int k = 0; k < kFiles; ++k) {
    SF_INFO info = {};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_PCM_24 | SF_ENDIAN_LITTLE;
    SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, &files[k]);
    if (!f) {
      state.SkipWithError(sf_strerror(nullptr));
      return;
    }
    sf_command(f, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(f, SFC_SET_CLIPPING, nullptr, state.range(0) ? SF_TRUE : SF_FALSE);
    handles.push_back(f);
    inputs.push_back(signal(k));
  }
  for (auto _ : state) {
    for (std::int64_t c = 0; c < kChunksPerIteration; ++c) {
      for (int k = 0; k < kFiles; ++k) {
        if (sf_writef_float(handles[k], inputs[k].data(), kChunk) != kChunk) {
          state.SkipWithError("sf_writef_float failed");
          break;
        }
      }
    }
  }
  report(state);
  for (SNDFILE* f : handles) sf_close(f);
}

void BM_WriteChunks(benchmark::State& state) {
  const bool split = state.range(0) != 0;
  char pattern[] = "/var/tmp/quilltap-parts-XXXXXX";
  if (!mkdtemp(pattern)) {
    state.SkipWithError("cannot make a folder under /var/tmp");
    return;
  }
  const std::string folder = pattern;
  std::vector<int> fds;
  for (int k = 0; k < kFiles; ++k) {
    std::string path = folder + "/" + std::to_string(k + 1) + ".raw";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  const std::size_t bytes = static_cast<std::size_t>(kChunk) * 3;
  const std::size_t first = split ? 8190 : bytes;  // libsndfile converts 2730 frames at a time
  std::vector<char> data(bytes, 0x55);
  if (static_cast<int>(fds.size()) != kFiles) state.SkipWithError("cannot create a file");
  for (auto _ : state) {
    if (static_cast<int>(fds.size()) != kFiles) break;
    for (std::int64_t c = 0; c < kChunksPerIteration; ++c) {
      for (int fd : fds) {
        bool ok = write(fd, data.data(), first) == static_cast<ssize_t>(first);
        if (ok && first < bytes)
          ok = write(fd, data.data() + first, bytes - first) == static_cast<ssize_t>(bytes - first);
        if (!ok) {
          state.SkipWithError("write failed");
          break;
        }
      }
    }
  }
  report(state);
  for (int fd : fds) close(fd);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

// Kept out of line so that the compiler cannot fold the loop into the benchmark.
[[gnu::noinline]] float peakSerial(const float* x, std::int64_t n, float peak) {
  for (std::int64_t i = 0; i < n; ++i) {
    float a = std::fabs(x[i]);
    peak = peak <= a ? a : peak;
  }
  return peak;
}

[[gnu::noinline]] float peakLanes(const float* x, std::int64_t n, float peak) {
  float lane[8];
  std::fill(lane, lane + 8, peak);
  const std::int64_t whole = n - n % 8;
  for (std::int64_t i = 0; i < whole; i += 8) {
    for (int j = 0; j < 8; ++j) {
      float a = std::fabs(x[i + j]);
      lane[j] = lane[j] <= a ? a : lane[j];
    }
  }
  for (std::int64_t i = whole; i < n; ++i) {
    float a = std::fabs(x[i]);
    peak = peak <= a ? a : peak;
  }
  for (float l : lane) peak = peak <= l ? l : peak;
  return peak;
}

void BM_Peak(benchmark::State& state) {
  const bool lanes = state.range(0) == 8;
  std::vector<std::vector<float>> inputs;
  for (int k = 0; k < kFiles; ++k) inputs.push_back(signal(k));
  inputs[3][100] = NAN;  // a NaN sample must not change the result
  float expected = 0;
  for (auto& x : inputs) expected = peakSerial(x.data(), kChunk, expected);
  for (auto _ : state) {
    for (std::int64_t c = 0; c < kChunksPerIteration; ++c) {
      float peak = 0;
      for (auto& x : inputs)
        peak = lanes ? peakLanes(x.data(), kChunk, peak) : peakSerial(x.data(), kChunk, peak);
      benchmark::DoNotOptimize(peak);
      if (peak != expected) {
        state.SkipWithError("the two peak loops disagree");
        break;
      }
    }
  }
  report(state);
}

BENCHMARK(BM_SndfileConvert)->ArgName("clip")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteChunks)
    ->ArgName("split")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Peak)->ArgName("lanes")->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
