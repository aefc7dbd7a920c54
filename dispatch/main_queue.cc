#include "dispatch/main_queue.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace quilltap {
namespace {

constexpr int kMaxSignal = 65;
std::atomic<bool> signalArrived[kMaxSignal];
std::atomic<int> signalWakeFd{-1};

// Runs in signal context: it only records the signal and wakes the queue.
void wakeOnSignal(int signo) {
  int savedErrno = errno;
  if (signo > 0 && signo < kMaxSignal) signalArrived[signo].store(true);
  int fd = signalWakeFd.load();
  if (fd >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

MainQueue::MainQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wakeFd_ < 0) std::abort();
}

MainQueue::~MainQueue() {
  if (signalWakeFd.load() == wakeFd_) signalWakeFd.store(-1);
  close(wakeFd_);
}

void MainQueue::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    work_.push_back(std::move(work));
  }
  std::uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

MainQueue::TimerId MainQueue::every(Clock::duration first, Clock::duration period,
                                    std::function<void()> tick) {
  TimerId id = nextTimer_++;
  timers_[id] = Timer{Clock::now() + first, period, std::move(tick)};
  return id;
}

void MainQueue::cancel(TimerId timer) { timers_.erase(timer); }

void MainQueue::onSignal(int signo, std::function<void()> handler) {
  signalHandlers_[signo] = std::move(handler);
  signalWakeFd.store(wakeFd_);
  struct sigaction action = {};
  action.sa_handler = wakeOnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signo, &action, nullptr);
}

int MainQueue::runReady() {
  for (auto& [signo, handler] : signalHandlers_) {
    if (signalArrived[signo].exchange(false)) handler();
  }

  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    batch.swap(work_);
  }
  for (auto& work : batch) work();

  Clock::time_point now = Clock::now();
  std::vector<TimerId> due;
  for (auto& [id, timer] : timers_) {
    if (timer.due <= now) due.push_back(id);
  }
  for (TimerId id : due) {
    auto found = timers_.find(id);
    if (found == timers_.end()) continue;  // cancelled by an earlier tick
    Timer& timer = found->second;
    timer.due += timer.period;
    // A queue blocked for longer than a period (a final flush) skips the
    // missed ticks instead of firing them back to back.
    if (timer.due < now) timer.due = now + timer.period;
    auto tick = timer.tick;
    tick();
  }

  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!work_.empty()) return 0;
  }
  int timeoutMs = -1;
  now = Clock::now();
  for (auto& [id, timer] : timers_) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(timer.due - now).count();
    int ms = left < 0 ? 0 : static_cast<int>(left);
    if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
  }
  return timeoutMs;
}

void MainQueue::sleep(int timeoutMs) {
  struct pollfd wake = {wakeFd_, POLLIN, 0};
  if (poll(&wake, 1, timeoutMs) > 0) {
    std::uint64_t count;
    ssize_t ignored = read(wakeFd_, &count, sizeof count);
    (void)ignored;
  }
}

void MainQueue::runForever() {
  for (;;) sleep(runReady());
}

MainQueue& mainQueue() {
  static MainQueue* queue = new MainQueue();  // lives until exit; never destroyed
  return *queue;
}

}  // namespace quilltap
