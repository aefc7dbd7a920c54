#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quilltap {

/// A counting semaphore whose timed wait runs on the monotonic clock, so that a
/// change of the wall clock neither shortens nor stretches a time-out.
class Semaphore {
 public:
  explicit Semaphore(int initial = 0) : count_(initial) {}

  void signal() {
    // Notified under the lock: once a waiter has returned (and may destroy
    // the semaphore), the signaller no longer touches it.
    std::lock_guard<std::mutex> hold(mutex_);
    ++count_;
    changed_.notify_one();
  }

  void wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return count_ > 0; });
    --count_;
  }

  /// Returns false when `deadline` passed before a signal could be taken.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!changed_.wait_until(hold, deadline, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_;
};

}  // namespace quilltap
