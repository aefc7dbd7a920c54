#pragma once

#include <functional>
#include <memory>

#include "audio/audio_system.h"
#include "capture/capture.h"
#include "common/events.h"
#include "common/options.h"
#include "dispatch/clock.h"
#include "dispatch/main_queue.h"
#include "supervision/progress.h"
#include "writing/failover.h"
#include "writing/file_system.h"
#include "writing/finish.h"
#include "writing/take.h"
#include "writing/writer.h"

namespace quilltap {

/// One recording: every piece of it, wired together. Its pieces are handed
/// what they need; nothing else reaches them.
class Recorder {
 public:
  /// `exit` ends the process with a status and does not return.
  Recorder(Options options, AudioSystem& audio, FileSystem& drive, const EventStream& events,
           const Clock& clock, std::function<void(int)> exit);
  ~Recorder();

  /// Turns the parsed options into a running recording: the device and its
  /// tracks, the engine, the first Sink, capture, "started", then the timer,
  /// the signal handlers and the control channel (`controlFd`, none when
  /// negative), which wait for the main queue to run.
  Status start(int controlFd);

  Take& take() { return take_; }
  Writer& writer() { return writer_; }
  Capture& capture() { return capture_; }
  Failover& failover() { return failover_; }
  Finish& finish() { return finish_; }
  Progress& progress() { return *progress_; }

 private:
  Status findDevice();
  Event startedEvent();

  Options options_;
  AudioSystem& audio_;
  FileSystem& drive_;
  const EventStream& events_;
  const Clock& clock_;
  InputDevice device_;
  Take take_;
  Writer writer_;
  Capture capture_;
  Failover failover_;
  Finish finish_;
  std::unique_ptr<Progress> progress_;
  MainQueue::TimerId timer_ = 0;
};

}  // namespace quilltap
