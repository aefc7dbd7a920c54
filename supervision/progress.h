#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "capture/capture.h"
#include "common/events.h"
#include "common/options.h"
#include "dispatch/clock.h"
#include "writing/failover.h"
#include "writing/finish.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {

/// A peak (linear, 1.0 = full scale) as a level in dB to 0.1 dB, computed in
/// single precision; −120 for silence, a negative peak or NaN.
double levelOf(float peak);

/// The name of the drive at `volumePath`: its last path component.
std::string driveName(const std::string& volumePath);

/// The progress timer's tick, every 0.25 s on the main queue: reports
/// "progress", warns about input the system dropped, and runs the
/// drive-gone, stall and backlog watchdogs. Once capture pauses, it has the
/// writer write what it holds back for a whole group.
class Progress {
 public:
  /// Remembers which filesystem `volumePath` is on now, so that a drive
  /// unmounted under a mount-point folder that stays behind is noticed.
  Progress(const Options& options, Take& take, Capture& capture, Writer& writer, Failover& failover,
           Finish& finish, const EventStream& events, const Clock& clock);
  ~Progress();

  void tick() EXCLUDES(take_.lock);

 private:
  class VolumeWatch;
  void warnOfLostInput();

  const Options& options_;
  Take& take_;
  Capture& capture_;
  Writer& writer_;
  Failover& failover_;
  Finish& finish_;
  const EventStream& events_;
  const Clock& clock_;
  std::unique_ptr<VolumeWatch> volume_;
};

}  // namespace quilltap
