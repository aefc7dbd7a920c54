#include "supervision/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/events.h"
#include "app/state.h"
#include "writing/failover.h"
#include "writing/finish.h"

namespace quilltap {
namespace {

constexpr auto kStallAge = std::chrono::milliseconds(8000);

// The drive is gone when nothing is at `volumePath`, or something else is
// there than at start-up (an unmounted drive leaves its mount-point folder).
bool driveGone(const Recording& r) {
  struct stat info;
  if (stat(r.volumePath.c_str(), &info) != 0) return true;
  return r.volumeDeviceKnown && info.st_dev != r.volumeDevice;
}

void warnAboutLostInput(Recording& r) {
  AudioEngine::Losses losses = r.engine->takeLosses();
  if (losses.droppedFrames <= 0 && losses.xruns <= 0) return;
  double ms = static_cast<double>(losses.droppedFrames) * 1000.0 / r.sampleRate +
              losses.xrunMicroseconds / 1000.0;
  long long whole = std::max<long long>(1, static_cast<long long>(ms));
  emit({{"event", "warning"},
        {"message", "Lost " + std::to_string(whole) + " ms of input: the system could not keep up."}});
}

}  // namespace

double levelOf(float peak) {
  if (!(peak > 0.0f)) return -120.0;
  float tenths = std::round(20.0f * std::log10(peak) * 10.0f);
  return static_cast<double>(tenths / 10.0f);
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
    if (!r.volumePath.empty() && driveGone(r)) {
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
