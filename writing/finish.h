#pragma once

#include <functional>
#include <string>

#include "common/events.h"
#include "common/options.h"
#include "writing/failover.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {

class Capture;

/// The one way a started recording ends. Main queue only.
class Finish {
 public:
  /// `exit` ends the process with the status it is given and does not
  /// return (tests make it throw).
  Finish(const Options& options, Take& take, Writer& writer, Failover& failover, Capture& capture,
         const EventStream& events, std::function<void(int)> exit)
      : options_(options),
        take_(take),
        writer_(writer),
        failover_(failover),
        capture_(capture),
        events_(events),
        exit_(std::move(exit)) {}

  /// Stops capture, writes and closes everything (moving to the backup
  /// folder if the drive does not finish within 20 s), emits "stopped" with
  /// `reason` and every file, and exits with status 0. The first call wins;
  /// later calls return at once.
  void finish(const std::string& reason) EXCLUDES(take_.lock);

  bool stopping() const { return stopping_; }

 private:
  SinkRef current() EXCLUDES(take_.lock);

  const Options& options_;
  Take& take_;
  Writer& writer_;
  Failover& failover_;
  Capture& capture_;
  const EventStream& events_;
  std::function<void(int)> exit_;
  bool stopping_ = false;
};

}  // namespace quilltap
