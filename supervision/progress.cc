#include "supervision/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "dispatch/semaphore.h"
#include "dispatch/serial_queue.h"

namespace quilltap {
namespace {

constexpr auto kStallAge = std::chrono::milliseconds(8000);
// A chunk this old waits for a group that capture stopped completing (a
// frozen server, a device change): it is written as it is.
constexpr auto kHoldAge = std::chrono::milliseconds(500);
constexpr auto kVolumeCheckWait = std::chrono::milliseconds(100);

}  // namespace

// The drive check runs on a thread of its own: a drive that stops answering
// hangs stat() too, and must not hang the main queue with it. A check that
// does not answer in time leaves the last answer standing; the stall watchdog
// sees such a drive through its writes.
class Progress::VolumeWatch {
 public:
  explicit VolumeWatch(std::string path) : path_(std::move(path)) {
    struct stat info;
    deviceKnown_ = stat(path_.c_str(), &info) == 0;
    if (deviceKnown_) device_ = info.st_dev;
  }

  /// The drive is gone when nothing is at the path, or something else is
  /// there than at start-up (an unmounted drive leaves its mount-point folder).
  bool gone() {
    if (!outstanding_ || outstanding_->answered.load()) {
      auto check = std::make_shared<Check>();
      outstanding_ = check;
      queue_.async([check, path = path_, known = deviceKnown_, device = device_] {
        struct stat info;
        check->gone.store(stat(path.c_str(), &info) != 0 || (known && info.st_dev != device));
        check->answered.store(true);
        check->done.signal();
      });
      if (check->done.waitUntil(std::chrono::steady_clock::now() + kVolumeCheckWait))
        lastGone_ = check->gone.load();
    }
    return lastGone_;
  }

  /// A check still hangs in stat(); its thread cannot be joined.
  bool hung() const { return outstanding_ && !outstanding_->answered.load(); }

 private:
  struct Check {
    Semaphore done;
    std::atomic<bool> answered{false};
    std::atomic<bool> gone{false};
  };
  const std::string path_;
  bool deviceKnown_ = false;
  dev_t device_ = 0;
  SerialQueue queue_{"quilltap volume"};
  std::shared_ptr<Check> outstanding_;  // a new check starts only once it answered
  bool lastGone_ = false;
};

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

Progress::Progress(const Options& options, Take& take, Capture& capture, Writer& writer,
                   Failover& failover, Finish& finish, const EventStream& events,
                   const Clock& clock)
    : options_(options),
      take_(take),
      capture_(capture),
      writer_(writer),
      failover_(failover),
      finish_(finish),
      events_(events),
      clock_(clock),
      volume_(options.volumePath.empty() ? nullptr
                                         : std::make_unique<VolumeWatch>(options.volumePath)) {}

Progress::~Progress() {
  if (volume_ && volume_->hung())
    (void)volume_.release();  // its thread waits on the drive until exit
}

// Only frames measured lost count: JACK reports other clients' overruns to
// every client, and those cost this recording nothing.
void Progress::warnOfLostInput() {
  const std::int64_t lost = capture_.takeLostFrames();
  if (lost <= 0) return;
  double ms = static_cast<double>(lost) * 1000.0 / options_.sampleRate;
  long long whole = std::max<long long>(1, static_cast<long long>(ms));
  events_.emit({{"event", "warning"},
                {"message",
                 "Lost " + std::to_string(whole) + " ms of input: the system could not keep up."}});
}

void Progress::tick() {
  if (finish_.stopping()) return;
  std::vector<double> levels;
  double seconds;
  bool stalled, held;
  SinkRef sink;
  std::int64_t backlog = 0;
  bool failedOver;
  {
    MutexLock hold(take_.lock);
    for (float& peak : take_.peaks) {
      levels.push_back(levelOf(peak));
      peak = 0.0f;
    }
    seconds = static_cast<double>(take_.capturedFrames) / options_.sampleRate;
    const auto now = clock_.now();
    const auto age = now - (take_.pending.empty() ? now : take_.pending.front()->captured);
    stalled = age > kStallAge;
    held = age > kHoldAge;
    sink = take_.current;
    for (const ChunkRef& chunk : take_.pending) backlog += chunk->frames;
    failedOver = take_.failedOver;
  }
  events_.emit({{"event", "progress"}, {"seconds", seconds}, {"peaks", levels}});
  if (held && sink) writer_.queueDrain(sink, Writer::Drain::all);

  warnOfLostInput();

  if (!failedOver) {
    if (volume_ && volume_->gone()) {
      failover_.failover("The drive “" + driveName(options_.volumePath) + "” was disconnected");
      return;
    }
    if (stalled) {
      failover_.failover("The drive stopped responding");
      return;
    }
  }
  if (static_cast<double>(backlog) / options_.sampleRate > options_.maxPendingSeconds) {
    events_.emit({{"event", "error"},
                  {"message",
                   "The disk can’t keep up with the recording. Recording stopped; what was written "
                   "is saved."}});
    finish_.finish("write-error");
  }
}

}  // namespace quilltap
