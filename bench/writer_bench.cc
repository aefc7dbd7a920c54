// The writer's throughput for a full XR18 session: 18 mono 24-bit tracks,
// 4096-frame chunks at 48 kHz, through TrackFile (libsndfile's conversion and
// our descriptor), with and without the once-a-second sync, beside plain
// write(2) calls of the same number of 24-bit bytes. Files go to a folder on
// the real disk under /var/tmp, not to a tmpfs, so syncs cost what they cost.
//
// Figures (per second): float_MB counts the 32-bit float input (what the capture side
// hands over), disk_MB the 24-bit bytes that reach the files, x_realtime how
// many times faster than the audio arrives the 18 tracks are written.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/chunk.h"
#include "writing/track_file.h"

namespace quilltap {
namespace {

constexpr int kFiles = 18;
constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kChunk = 4096;
constexpr std::int64_t kChunksPerIteration = 12;  // about a second of audio

// A scratch folder on the real disk, removed with everything in it.
class DiskFolder {
 public:
  DiskFolder() {
    char pattern[] = "/var/tmp/quilltap-bench-XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~DiskFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(int k) const { return path_ + "/" + std::to_string(k + 1) + " Track.wav"; }

 private:
  std::string path_;
};

void report(benchmark::State& state) {
  const double frames = static_cast<double>(state.iterations()) * kChunksPerIteration * kChunk;
  state.SetBytesProcessed(static_cast<std::int64_t>(frames * kFiles * sizeof(float)));
  state.counters["float_MB"] =
      benchmark::Counter(frames * kFiles * sizeof(float) / 1e6, benchmark::Counter::kIsRate);
  state.counters["disk_MB"] =
      benchmark::Counter(frames * kFiles * 3 / 1e6, benchmark::Counter::kIsRate);
  state.counters["x_realtime"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}

void BM_TrackFileWrite(benchmark::State& state) {
  const bool syncing = state.range(0) != 0;
  DiskFolder folder;
  if (folder.path().empty()) {
    state.SkipWithError("cannot make a folder under /var/tmp");
    return;
  }
  PosixFileSystem drive;
  std::vector<std::unique_ptr<TrackFile>> files;
  std::vector<PcmBuffer> buffers;
  for (int k = 0; k < kFiles; ++k) {
    std::unique_ptr<TrackFile> file;
    if (Status made = TrackFile::create(drive, folder.file(k), "Track", kRate, 1, 24, &file);
        !made.ok()) {
      state.SkipWithError(made.message().c_str());
      return;
    }
    files.push_back(std::move(file));
    buffers.emplace_back(1, kChunk);
    for (std::int64_t i = 0; i < kChunk; ++i) {
      buffers.back().channel(0)[i] = 0.8f * std::sin(0.01f * static_cast<float>(i * (k + 1)));
    }
  }

  std::int64_t sinceSync = 0;
  for (auto _ : state) {
    for (std::int64_t c = 0; c < kChunksPerIteration; ++c) {
      for (int k = 0; k < kFiles; ++k) {
        if (Status wrote = files[k]->write(buffers[k]); !wrote.ok()) {
          state.SkipWithError(wrote.message().c_str());
          return;
        }
      }
      sinceSync += kChunk;
      if (syncing && sinceSync >= kRate) {
        for (auto& file : files) {
          Status synced = file->updateHeader();
          if (synced.ok()) synced = file->drive().sync();
          if (!synced.ok()) {
            state.SkipWithError(synced.message().c_str());
            return;
          }
        }
        sinceSync = 0;
      }
    }
  }
  report(state);
  for (auto& file : files) (void)file->close();
}

void BM_PlainWrite(benchmark::State& state) {
  const bool syncing = state.range(0) != 0;
  DiskFolder folder;
  if (folder.path().empty()) {
    state.SkipWithError("cannot make a folder under /var/tmp");
    return;
  }
  std::vector<int> fds;
  for (int k = 0; k < kFiles; ++k) {
    int fd = open(folder.file(k).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      state.SkipWithError("cannot create a file");
      for (int open : fds) close(open);
      return;
    }
    fds.push_back(fd);
  }
  std::vector<char> bytes(static_cast<std::size_t>(kChunk) * 3, 0x55);

  std::int64_t sinceSync = 0;
  for (auto _ : state) {
    for (std::int64_t c = 0; c < kChunksPerIteration; ++c) {
      for (int fd : fds) {
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
          state.SkipWithError("write failed");
          break;
        }
      }
      sinceSync += kChunk;
      if (syncing && sinceSync >= kRate) {
        for (int fd : fds) fdatasync(fd);
        sinceSync = 0;
      }
    }
  }
  report(state);
  for (int fd : fds) close(fd);
}

BENCHMARK(BM_TrackFileWrite)
    ->ArgName("sync")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PlainWrite)
    ->ArgName("sync")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace quilltap

BENCHMARK_MAIN();
