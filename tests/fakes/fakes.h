#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

#include "audio/audio_system.h"
#include "dispatch/clock.h"
#include "writing/file_system.h"

namespace quilltap {

/// A scripted audio system whose engine's input the test drives: `deliver`
/// calls the tap as the capture thread would, where a throw ends the process.
struct FakeAudioSystem : AudioSystem {
  std::int64_t lostFrames = 0;
  InputFormat format{48000, 4};
  TapBlock tap;                    // what the engine holds
  std::function<void()> onChange;  // the recording's device-change handler

  std::vector<InputDevice> inputDevices() override { return {{"XR18", "XR18 Multichannel", 4}}; }
  std::unique_ptr<AudioEngine> makeEngine() override { return std::make_unique<Engine>(*this); }
  /// One vector per input channel, of equal lengths; false when no tap runs.
  bool deliver(const std::vector<std::vector<float>>& input) noexcept {
    if (!tap) return false;
    std::array<const float*, 64> pointers{};  // no allocation: tests make the tap's fail
    for (std::size_t c = 0; c < input.size(); ++c) pointers[c] = input[c].data();
    tap(AudioBuffer{pointers.data(), std::uint32_t(input.size()), std::uint32_t(input[0].size())});
    return true;
  }

 private:
  struct Engine : AudioEngine {
    explicit Engine(FakeAudioSystem& system) : s(system) {}
    ~Engine() override { s.tap = nullptr; }
    Status selectDevice(const InputDevice&, const std::vector<int64_t>&) override { return {}; }
    InputFormat inputFormat() override { return s.format; }
    void installTap(std::uint32_t, TapBlock block) override { s.tap = std::move(block); }
    void removeTap() override { s.tap = nullptr; }
    Status start() override { return {}; }
    void stop() override {}
    void onConfigurationChange(std::function<void()> handler) override { s.onChange = handler; }
    std::int64_t takeLostFrames() override { return std::exchange(s.lostFrames, 0); }
    FakeAudioSystem& s;
  };
};

/// Real files, with a drive's faults on command for those under `limitedDir`
/// (all when empty): it fills up (a write beyond `spaceLeft` bytes takes what
/// fits and fails with ENOSPC), a sync or a truncate fails with EIO.
class FaultyFileSystem : public PosixFileSystem {
 public:
  std::atomic<std::int64_t> spaceLeft{INT64_MAX};
  std::string limitedDir;
  std::atomic<int> failingSyncs{0}, failingTruncates{0};
  std::function<void(const std::string&)> onClose;  // the path of every file closed
  std::int64_t keptBelow = INT64_MAX;  // bytes past it are counted, not kept: 4 GiB in a moment

  Status createFile(const std::string& path, std::unique_ptr<WritableFile>* file) override {
    std::unique_ptr<WritableFile> real;
    Status opened = PosixFileSystem::createFile(path, &real);
    if (opened.ok()) *file = std::make_unique<File>(*this, path, std::move(real));
    return opened;
  }
  std::atomic<bool> stalled{false};  // every write and close waits while set

 private:
  struct File : WritableFile {
    File(FaultyFileSystem& drive, std::string path, std::unique_ptr<WritableFile> real)
        : drive(drive), path(std::move(path)), real(std::move(real)) {}
    // Only bytes that make the file longer take space, as on a real drive.
    Status write(std::int64_t offset, const void* data, std::size_t size,
                 std::size_t* written) override {
      std::int64_t end = 0;
      waitWhileStalled();
      if (offset + std::int64_t(size) > drive.keptBelow) {
        counted = std::max(counted, offset + std::int64_t(size));
        std::size_t kept = std::size_t(std::max<std::int64_t>(drive.keptBelow - offset, 0)), took;
        *written = size;
        return kept ? real->write(offset, data, std::min(kept, size), &took) : Status();
      }
      if (!limited() || !real->length(&end).ok()) return real->write(offset, data, size, written);
      const std::int64_t from = std::max(end, offset), left = drive.spaceLeft.load();
      const std::int64_t growth = std::max<std::int64_t>(0, offset + std::int64_t(size) - from);
      if (growth > left) {
        drive.spaceLeft = 0;
        Status partial = real->write(offset, data, std::size_t(from + left - offset), written);
        return partial.ok() ? Status::posix(path, ENOSPC) : partial;
      }
      drive.spaceLeft -= growth;
      return real->write(offset, data, size, written);
    }
    Status read(std::int64_t offset, void* into, std::size_t size, std::size_t* got) override {
      return real->read(offset, into, size, got);
    }
    Status length(std::int64_t* bytes) override {
      Status known = real->length(bytes);
      *bytes = std::max(*bytes, counted);
      return known;
    }
    Status truncate(std::int64_t to) override {
      counted = std::min(counted, to);
      return take(drive.failingTruncates) ? Status::posix(path, EIO) : real->truncate(to);
    }
    Status sync() override {
      return take(drive.failingSyncs) ? Status::posix(path, EIO) : real->sync();
    }
    Status close() override {
      waitWhileStalled();
      if (drive.onClose) drive.onClose(path);
      return real->close();
    }
    static bool take(std::atomic<int>& count) { return count.fetch_sub(1) > 0; }
    bool limited() const { return path.rfind(drive.limitedDir, 0) == 0; }
    void waitWhileStalled() const {
      while (limited() && drive.stalled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FaultyFileSystem& drive;
    std::string path;
    std::unique_ptr<WritableFile> real;
    std::int64_t counted = 0;  // the length, with the bytes not kept
  };
};

/// A monotonic clock that moves only when told.
struct ManualClock : Clock {
  TimePoint now() const override { return now_.load(); }
  void advance(std::chrono::milliseconds by) { now_.store(now_.load() + by); }
  std::atomic<TimePoint> now_{std::chrono::steady_clock::now()};
};

}  // namespace quilltap
