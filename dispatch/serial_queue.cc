#include "dispatch/serial_queue.h"

#include <utility>

namespace quilltap {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  // The last reference may be dropped by work running on this very queue.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    work_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    wake_.wait(hold, [this] { return closing_ || !work_.empty(); });
    if (work_.empty()) return;  // closing, and nothing left to do
    std::function<void()> next = std::move(work_.front());
    work_.pop_front();
    hold.unlock();
    next();
    next = nullptr;  // release what the work captured before taking the lock again
    hold.lock();
  }
}

}  // namespace quilltap
