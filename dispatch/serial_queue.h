#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
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
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);
  const std::string& label() const { return label_; }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;  // guarded by mutex_
  bool closing_ = false;                    // guarded by mutex_
  std::thread thread_;
};

}  // namespace quilltap
