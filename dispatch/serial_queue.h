#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quilltap {

/// Runs the work posted to it one item at a time, in order, on a thread of its
/// own. Each Sink has one, so a write that hangs on one drive holds only that
/// Sink's queue.
///
/// The destructor finishes the queued work and joins the thread; a queue whose
/// work can hang must be kept alive until the process exits instead.
class SerialQueue {
 public:
  /// `label` names the thread (its first 15 bytes).
  explicit SerialQueue(const std::string& label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);

 private:
  // Shared with the thread, so that a queue destroyed by its own work (the
  // last reference to its owner dropped there) leaves the thread valid state.
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> work;  // guarded by mutex
    bool closing = false;                    // guarded by mutex
  };
  static void run(State& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace quilltap
