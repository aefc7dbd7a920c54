#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dispatch/main_queue.h"
#include "dispatch/semaphore.h"
#include "dispatch/serial_queue.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

TEST(MainQueue, WorkFromManyThreadsRunsOnTheQueueThreadInPostingOrderPerThread) {
  MainQueue queue;
  std::vector<std::pair<int, int>> ran;  // (thread, index): touched on the queue only
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      for (int k = 0; k < 100; ++k) queue.post([&, t, k] { ran.emplace_back(t, k); });
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(queue.runUntil([&] { return ran.size() == 400; }, 2s));
  int next[4] = {0, 0, 0, 0};
  for (auto [t, k] : ran) EXPECT_EQ(k, next[t]++);
}

TEST(MainQueue, TimerRepeatsUntilCancelled) {
  MainQueue queue;
  int ticks = 0;
  MainQueue::TimerId timer = queue.every(10ms, 10ms, [&] { ++ticks; });
  auto start = MainQueue::Clock::now();
  ASSERT_TRUE(queue.runUntil([&] { return ticks == 5; }, 2s));
  EXPECT_GE(MainQueue::Clock::now() - start, 45ms);
  queue.cancel(timer);
  queue.runUntil([] { return false; }, 50ms);
  EXPECT_EQ(ticks, 5);
}

TEST(MainQueue, ASignalRunsItsHandlerOnTheQueue) {
  MainQueue queue;
  std::thread::id handledOn;
  int handled = 0;
  queue.onSignal(SIGUSR1, [&] {
    ++handled;
    handledOn = std::this_thread::get_id();
  });
  std::thread([] { raise(SIGUSR1); }).join();
  ASSERT_TRUE(queue.runUntil([&] { return handled > 0; }, 2s));
  EXPECT_EQ(handledOn, std::this_thread::get_id());
  signal(SIGUSR1, SIG_DFL);
}

TEST(SerialQueue, RunsInOrderAndAHungQueueHoldsOnlyItself) {
  Semaphore release;
  SerialQueue hung("hung");
  hung.async([&] { release.wait(); });
  std::atomic<bool> laterRan{false};
  hung.async([&] { laterRan = true; });

  SerialQueue healthy("healthy");
  std::vector<int> order;
  Semaphore done;
  for (int k = 0; k < 50; ++k) healthy.async([&, k] { order.push_back(k); });
  healthy.async([&] { done.signal(); });
  ASSERT_TRUE(done.waitUntil(std::chrono::steady_clock::now() + 2s));
  for (int k = 0; k < 50; ++k) EXPECT_EQ(order[k], k);
  EXPECT_FALSE(laterRan);
  release.signal();
}

TEST(Semaphore, TimedWaitReturnsFalseAfterItsDeadlineAndTrueOnceSignalled) {
  Semaphore semaphore;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.waitUntil(start + 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  std::thread([&] { semaphore.signal(); }).detach();
  EXPECT_TRUE(semaphore.waitUntil(std::chrono::steady_clock::now() + 2s));
}

}  // namespace
}  // namespace quilltap
