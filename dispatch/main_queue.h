#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace quilltap {

/// The main queue: work posted from any thread runs in order on the thread that
/// runs the queue (the main thread, which a recording hands over for good).
/// Repeating timers and signal handlers run there too, so everything that emits
/// an event of a running recording is serialised without further locking.
class MainQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using TimerId = std::uint64_t;

  MainQueue();
  ~MainQueue();
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

  /// Safe from any thread, including the JACK notification thread.
  void post(std::function<void()> work);

  /// A timer whose first tick comes `first` from now and then every `period`.
  TimerId every(Clock::duration first, Clock::duration period, std::function<void()> tick);
  void cancel(TimerId timer);

  /// Installs a process-wide handler for `signo` that only wakes this queue;
  /// `handler` then runs on the queue. Deliveries that arrive before the
  /// handler ran merge into one.
  void onSignal(int signo, std::function<void()> handler);

  /// Runs the queue on the calling thread; never returns.
  [[noreturn]] void runForever();

 private:
  struct Timer {
    Clock::time_point due;
    Clock::duration period;
    std::function<void()> tick;
  };
  // Runs what is ready now; returns how long the caller may sleep.
  int runReady();
  void sleep(int timeoutMs);

  std::mutex mutex_;
  std::deque<std::function<void()>> work_;  // guarded by mutex_
  std::map<TimerId, Timer> timers_;         // touched on the queue's thread only
  TimerId nextTimer_ = 1;
  std::map<int, std::function<void()>> signalHandlers_;  // queue's thread only
  int wakeFd_;
};

/// The process's main queue.
MainQueue& mainQueue();

}  // namespace quilltap
