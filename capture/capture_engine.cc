#include "capture/capture_engine.h"

#include <cstdint>
#include <string>

#include "app/state.h"
#include "capture/buffer_processing.h"

namespace quilltap {

std::optional<Error> startEngine() {
  Recording& r = rec();
  InputFormat format = r.engine->inputFormat();
  if (format.sampleRate != r.sampleRate) {
    return Error{kErrorDomain, kSampleRateChanged,
                 "sample rate changed from " + std::to_string(static_cast<std::int64_t>(r.sampleRate)) +
                     " to " + std::to_string(static_cast<std::int64_t>(format.sampleRate)) + " Hz"};
  }
  r.engine->installTap(4096, [](const AudioBuffer& buffer) { handleBuffer(buffer); });
  std::string description;
  if (!r.engine->start(&description)) return Error{"jack", 0, description};
  return std::nullopt;
}

}  // namespace quilltap
