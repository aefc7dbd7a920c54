// handleBuffer's cost per frame, for 18 mono tracks and for 18 channels mixed
// into one stereo file, beside a plain memcpy of the same samples.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "app/command_line.h"
#include "capture/buffer_processing.h"
#include "dispatch/clock.h"
#include "dispatch/semaphore.h"
#include "writing/sink.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {
namespace {

constexpr std::uint32_t kChannels = 18;
constexpr std::uint32_t kFrames = 4096;

struct Input {
  std::vector<std::vector<float>> channels;
  std::vector<const float*> pointers;
  Input() : channels(kChannels, std::vector<float>(kFrames)) {
    for (std::uint32_t c = 0; c < kChannels; ++c) {
      for (std::uint32_t i = 0; i < kFrames; ++i)
        channels[c][i] = static_cast<float>((i * 7 + c) % 200) / 100.0f - 1.0f;
      pointers.push_back(channels[c].data());
    }
  }
  AudioBuffer buffer() const { return AudioBuffer{pointers.data(), kChannels, kFrames}; }
};

// A take whose writer is held, so only handleBuffer is measured.
void runHandleBuffer(benchmark::State& state, bool mixing) {
  Options options;
  options.sampleRate = 48000;
  options.bitDepth = 24;
  if (mixing) options.mixName = "Mix";
  deriveOutputs(options, kChannels);
  Take take;
  Writer writer(options, take, [](const std::string&, const SinkRef&) {});
  SteadyClock clock;
  BufferProcessor processor(options, take, writer, clock);
  processor.primeGains();
  std::string dir = std::filesystem::temp_directory_path() / "quilltap-bench-handle-buffer";
  PosixFileSystem drive;
  SinkRef sink;
  if (Status made = Sink::create(drive, options, dir, "", &sink); !made.ok()) {
    state.SkipWithError(made.message().c_str());
    return;
  }
  {
    MutexLock hold(take.lock);
    take.current = sink;
    take.peaks.assign(options.tracks.size(), 0.0f);
  }
  auto release = std::make_shared<Semaphore>();
  sink->queue().async([release] { release->wait(); });

  Input input;
  AudioBuffer buffer = input.buffer();
  // Every chunk is freed as soon as it is made, which a recording never does
  // (`recent` keeps a second): glibc would give the emptied heap back and grow
  // it again on each buffer, and the figure would be the kernel's.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  for (auto _ : state) {
    processor.handleBuffer(buffer);
    // The writer takes each chunk at once, as it does while the drive keeps up.
    MutexLock hold(take.lock);
    take.pending.clear();
  }
  release->signal();
  {
    MutexLock hold(take.lock);
    take.current = nullptr;  // the queued drains find nothing to do
  }
  // The writer and the take die with this function: the drains queued by
  // handleBuffer must all have run first.
  auto drained = std::make_shared<Semaphore>();
  sink->queue().async([drained] { drained->signal(); });
  drained->wait();
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetBytesProcessed(state.iterations() * kFrames * kChannels * sizeof(float));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                  benchmark::Counter::kIsRate);
  sink.reset();
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
