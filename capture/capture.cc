#include "capture/capture.h"

#include <string>

namespace quilltap {

Status Capture::start() {
  InputFormat format = engine_->inputFormat();
  if (format.sampleRate != options_.sampleRate) {
    return Status::error("sample rate changed from " +
                         std::to_string(static_cast<std::int64_t>(options_.sampleRate)) + " to " +
                         std::to_string(static_cast<std::int64_t>(format.sampleRate)) + " Hz");
  }
  engine_->installTap(4096, [this](const AudioBuffer& buffer) { processor_.handleBuffer(buffer); });
  return engine_->start();
}

void Capture::stop() {
  engine_->stop();
  engine_->removeTap();
}

}  // namespace quilltap
