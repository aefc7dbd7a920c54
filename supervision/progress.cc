#include "supervision/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "app/events.h"
#include "app/state.h"
#include "dispatch/semaphore.h"
#include "dispatch/serial_queue.h"
#include "writing/failover.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

constexpr auto kStallAge = std::chrono::milliseconds(8000);

constexpr auto kVolumeCheckWait = std::chrono::milliseconds(100);

// The drive is gone when nothing is at `volumePath`, or something else is
// there than at start-up (an unmounted drive leaves its mount-point folder).
bool driveGone(const std::string& volumePath, bool deviceKnown, dev_t device) {
  struct stat info;
  if (stat(volumePath.c_str(), &info) != 0) return true;
  return deviceKnown && info.st_dev != device;
}

// The drive check runs on a thread of its own: a drive that stops answering
// hangs stat() too, and must not hang the main queue with it. A check that
// does not answer in time leaves the last answer standing; the stall watchdog
// sees such a drive through its writes.
class VolumeWatch {
 public:
  bool gone(const Recording& r) {
    if (!outstanding_ || outstanding_->answered.load()) {
      auto check = std::make_shared<Check>();
      outstanding_ = check;
      queue_.async([check, path = r.volumePath, known = r.volumeDeviceKnown, device = r.volumeDevice] {
        check->gone.store(driveGone(path, known, device));
        check->answered.store(true);
        check->done.signal();
      });
      if (check->done.waitUntil(std::chrono::steady_clock::now() + kVolumeCheckWait)) {
        lastGone_ = check->gone.load();
      }
    }
    return lastGone_;
  }

 private:
  struct Check {
    Semaphore done;
    std::atomic<bool> answered{false};
    std::atomic<bool> gone{false};
  };
  SerialQueue queue_{"quilltap.volume"};
  std::shared_ptr<Check> outstanding_;  // a new check starts only once it answered
  bool lastGone_ = false;
};

bool volumeGone(const Recording& r) {
  static VolumeWatch* watch = new VolumeWatch();  // its thread may hang until exit
  return watch->gone(r);
}

// Only frames measured lost count: JACK reports other clients' overruns to
// every client, and those cost this recording nothing.
void warnAboutLostInput(Recording& r) {
  std::int64_t lost = r.engine->takeLostFrames() + r.droppedFrames.exchange(0);
  if (lost <= 0) return;
  double ms = static_cast<double>(lost) * 1000.0 / r.sampleRate;
  long long whole = std::max<long long>(1, static_cast<long long>(ms));
  emit({{"event", "warning"},
        {"message", "Lost " + std::to_string(whole) + " ms of input: the system could not keep up."}});
}

}  // namespace

double levelOf(float peak) {
  if (!(peak > 0.0f)) return -120.0;
  // An infinite sample must still give a number: JSON has no infinity.
  peak = std::min(peak, std::numeric_limits<float>::max());
  // Rounded in single precision; the tenths are then divided as doubles, so
  // that −47.6 is written as −47.6 and not as the float nearest to it.
  float tenths = std::round(20.0f * std::log10(peak) * 10.0f);
  return static_cast<double>(tenths) / 10.0;
}

std::string driveName(const std::string& volumePath) {
  std::string path = volumePath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || path.size() == 1) return path;
  return path.substr(slash + 1);
}

void noteVolume() {
  Recording& r = rec();
  struct stat info;
  r.volumeDeviceKnown = !r.volumePath.empty() && stat(r.volumePath.c_str(), &info) == 0;
  if (r.volumeDeviceKnown) r.volumeDevice = info.st_dev;
}

void progressTick() {
  Recording& r = rec();
  if (r.stopping) return;
  std::vector<double> levels;
  double seconds;
  bool stalled;
  std::int64_t backlog = 0;
  bool failedOver;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    for (float& peak : r.peaks) {
      levels.push_back(levelOf(peak));
      peak = 0.0f;
    }
    seconds = static_cast<double>(r.capturedFrames) / r.sampleRate;
    stalled = !r.pending.empty() &&
              std::chrono::steady_clock::now() - r.pending.front()->capturedMonotonic > kStallAge;
    for (const ChunkRef& chunk : r.pending) backlog += chunk->frames;
    failedOver = r.failedOver;
  }
  emit({{"event", "progress"}, {"seconds", seconds}, {"peaks", levels}});
  warnAboutLostInput(r);

  if (!failedOver) {
    if (!r.volumePath.empty() && volumeGone(r)) {
      failover("The drive “" + driveName(r.volumePath) + "” was disconnected");
      return;
    }
    if (stalled) {
      failover("The drive stopped responding");
      return;
    }
  }
  if (static_cast<double>(backlog) / r.sampleRate > r.maxPendingSeconds) {
    emit({{"event", "error"},
          {"message", "The disk can’t keep up with the recording. Recording stopped; what was written is saved."}});
    finish("write-error");
  }
}

}  // namespace quilltap
