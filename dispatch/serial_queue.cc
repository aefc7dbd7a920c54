#include "dispatch/serial_queue.h"

#include <pthread.h>

#include <utility>

namespace quilltap {

SerialQueue::SerialQueue(const std::string& label) : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_] { run(*state); });
  // What top -H and perf show; the kernel keeps 15 bytes of it.
  pthread_setname_np(thread_.native_handle(), label.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->closing = true;
  }
  state_->wake.notify_one();
  // The last reference may be dropped by work running on this very queue.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->work.push_back(std::move(work));
  }
  state_->wake.notify_one();
}

void SerialQueue::run(State& state) {
  std::unique_lock<std::mutex> hold(state.mutex);
  for (;;) {
    state.wake.wait(hold, [&] { return state.closing || !state.work.empty(); });
    if (state.work.empty()) return;  // closing, and nothing left to do
    std::function<void()> next = std::move(state.work.front());
    state.work.pop_front();
    hold.unlock();
    next();
    next = nullptr;  // release what the work captured before taking the lock again
    hold.lock();
  }
}

}  // namespace quilltap
