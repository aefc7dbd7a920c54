#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "dispatch/clock.h"
#include "writing/file_system.h"

namespace quilltap {

/// Real files in a scratch folder, with a drive's faults on command: it
/// fills up (a write beyond `spaceLeft` bytes takes what fits and fails with
/// ENOSPC), a sync or a truncate fails with EIO, folders cannot be made, or
/// every write and close stalls until released.
class FaultyFileSystem : public FileSystem {
 public:
  Status createFolders(const std::string& dir) override;
  Status createFile(const std::string& path, std::unique_ptr<WritableFile>* file) override;

  std::atomic<std::int64_t> spaceLeft{INT64_MAX};
  /// The faults hold for files under this folder only (all when empty);
  /// set before the files are made.
  std::string limitedDir;
  std::atomic<int> failingSyncs{0};
  std::atomic<int> failingTruncates{0};
  std::atomic<bool> noFolders{false};
  /// Called with the path of every file as it is closed.
  std::function<void(const std::string&)> onClose;

  void stall();
  void release();
  /// Blocks while stalled (drive threads).
  void waitWhileStalled();

 private:
  PosixFileSystem real_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool stalled_ = false;
};

/// A monotonic clock that moves only when told.
class ManualClock : public Clock {
 public:
  TimePoint now() const override { return now_.load(); }
  void advance(std::chrono::milliseconds by) { now_.store(now_.load() + by); }

 private:
  std::atomic<TimePoint> now_{std::chrono::steady_clock::now()};
};

}  // namespace quilltap
