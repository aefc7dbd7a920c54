// handleBuffer's cost per frame, for 18 mono tracks and for 18 channels mixed
// into one stereo file, beside a plain memcpy of the same samples.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "app/command_line.h"
#include "app/state.h"
#include "capture/buffer_processing.h"
#include "dispatch/semaphore.h"
#include "writing/sink.h"

namespace quilltap {
namespace {

constexpr std::uint32_t kChannels = 18;
constexpr std::uint32_t kFrames = 4096;

struct Input {
  std::vector<std::vector<float>> channels;
  std::vector<const float*> pointers;
  Input() : channels(kChannels, std::vector<float>(kFrames)) {
    for (std::uint32_t c = 0; c < kChannels; ++c) {
      for (std::uint32_t i = 0; i < kFrames; ++i) channels[c][i] = static_cast<float>((i * 7 + c) % 200) / 100.0f - 1.0f;
      pointers.push_back(channels[c].data());
    }
  }
  AudioBuffer buffer() const { return AudioBuffer{pointers.data(), kChannels, kFrames}; }
};

// A recording whose writer is held, so only handleBuffer is measured.
void runHandleBuffer(benchmark::State& state, bool mixing) {
  resetRecordingForTesting();
  Recording& r = rec();
  r.sampleRate = 48000;
  r.bitDepth = 24;
  if (mixing) r.mixName = "Mix";
  deriveOutputs(kChannels);
  r.appliedGains = r.gains;
  r.peaks.assign(r.tracks.size(), 0.0f);
  std::string dir = std::filesystem::temp_directory_path() / "quilltap-bench-handle-buffer";
  Error error;
  r.current = Sink::create(dir, "", &error);
  if (!r.current) {
    state.SkipWithError(error.description.c_str());
    return;
  }
  auto release = std::make_shared<Semaphore>();
  r.current->queue().async([release] { release->wait(); });

  Input input;
  AudioBuffer buffer = input.buffer();
  for (auto _ : state) {
    handleBuffer(buffer);
    // The writer takes each chunk at once, as it does while the drive keeps up.
    std::lock_guard<std::mutex> hold(r.lock);
    r.pending.clear();
  }
  release->signal();
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetBytesProcessed(state.iterations() * kFrames * kChannels * sizeof(float));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                 benchmark::Counter::kIsRate);
  std::filesystem::remove_all(dir);
}

void BM_HandleBufferTracks(benchmark::State& state) { runHandleBuffer(state, false); }
void BM_HandleBufferMix(benchmark::State& state) { runHandleBuffer(state, true); }

void BM_MemcpySameSamples(benchmark::State& state) {
  Input input;
  std::vector<std::vector<float>> out(kChannels, std::vector<float>(kFrames));
  for (auto _ : state) {
    for (std::uint32_t c = 0; c < kChannels; ++c) {
      std::memcpy(out[c].data(), input.channels[c].data(), kFrames * sizeof(float));
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetBytesProcessed(state.iterations() * kFrames * kChannels * sizeof(float));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                 benchmark::Counter::kIsRate);
}

BENCHMARK(BM_HandleBufferTracks);
BENCHMARK(BM_HandleBufferMix);
BENCHMARK(BM_MemcpySameSamples);

}  // namespace
}  // namespace quilltap

BENCHMARK_MAIN();
