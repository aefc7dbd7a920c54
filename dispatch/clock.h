#pragma once

#include <chrono>

namespace quilltap {

/// The monotonic clock that chunks and watchdogs read, so that a jump of the
/// wall clock can neither fake nor hide a stall. Tests advance one by hand.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
};

class SteadyClock : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace quilltap
