#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>

#include "app/command_line.h"
#include "app/startup.h"
#include "dispatch/main_queue.h"
#include "tests/fakes/fakes.h"

namespace quilltap {

/// A fresh folder under /tmp, removed with everything in it.
struct Scratch {
  std::string path = mkdtemp(std::string("/tmp/quilltap-test-XXXXXX").data());
  std::error_code ignored;
  ~Scratch() { std::filesystem::remove_all(path, ignored); }
};

/// What libsndfile reads back from a file: its format and interleaved samples.
struct ReadBack {
  SF_INFO info = {};
  std::vector<float> samples;
  SF_BROADCAST_INFO bext = {};
};
inline ReadBack readFloat(const std::string& path) {
  ReadBack back;
  if (SNDFILE* file = sf_open(path.c_str(), SFM_READ, &back.info)) {
    sf_command(file, SFC_GET_BROADCAST_INFO, &back.bext, sizeof back.bext);
    back.samples.resize(static_cast<std::size_t>(back.info.frames * back.info.channels));
    sf_readf_float(file, back.samples.data(), back.info.frames);
    sf_close(file);
  }
  return back;
}

/// A recording on the fake audio system (a 4-channel "XR18" at 48 kHz) and a
/// faulty drive in a scratch folder, with its events in a pipe and a clock
/// the test moves. The recorder's exit throws its status.
class RecordingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Neither the writers nor work left on the main queue may act on the next test.
    drive.stalled = false;
    std::vector<SinkRef> sinks;
    if (recorder) {
      MutexLock hold(take().lock);
      sinks = take().abandoned;
      sinks.push_back(take().current);
    }
    for (const SinkRef& sink : sinks)
      if (sink) recorder->writer().flushAndClose(sink, 5.0);
    mainQueue().post([] { throw -2; });  // stops the queue after the work left, in one pass
    exitStatusOf([] { mainQueue().runForever(); });
    recorder.reset();
    for (int fd : eventPipe) close(fd);
  }
  /// Starts a recording with these options of `record`, without standard
  /// input; returns what failed, or "" when it started.
  std::string start(const std::vector<std::string>& words) {
    Options options;
    EXPECT_EQ(parseRecordOptions(words, &options).message(), "");
    recorder = std::make_unique<Recorder>(std::move(options), audio, drive, events, clock,
                                          [](int status) { throw status; });
    return recorder->start(-1).message();  // a failure always says what failed
  }

  /// Every event emitted since the last call.
  std::vector<Event> takeEvents() {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(eventPipe[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, std::size_t(n));
    std::vector<Event> parsed;
    for (std::size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1))
      parsed.push_back(Event::parse(text.substr(0, end)));
    EXPECT_EQ(text, "") << "an event line without its line feed";
    return parsed;
  }

  /// Runs `action`, which ends the recording; the exit status, or -1 when it did not end.
  template <typename Action>
  static int exitStatusOf(Action action) {
    try {
      action();
    } catch (int status) {
      return status;
    }
    return -1;
  }

  /// One buffer of `frames` frames on 4 channels; channel c holds value(c, i) at frame i.
  template <typename Value>
  static std::vector<std::vector<float>> buffer(std::size_t frames, Value value) {
    std::vector<std::vector<float>> data(4, std::vector<float>(frames));
    for (std::size_t c = 0; c < 4; ++c)
      for (std::size_t i = 0; i < frames; ++i) data[c][i] = value(c, i);
    return data;
  }

  Take& take() { return recorder->take(); }
  /// Waits up to 5 s for the writer to have written `frames` frames of the take.
  void awaitWritten(std::int64_t frames) {
    auto written = [&] { return MutexLock(take().lock), take().writtenFrames; };
    for (int k = 0; k < 5000 && written() < frames; ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  FakeAudioSystem audio;
  FaultyFileSystem drive;
  ManualClock clock;
  Scratch scratch;
  int eventPipe[2] = {-1, -1};
  EventStream events{pipe2(eventPipe, O_NONBLOCK) == 0 ? eventPipe[1] : -1};
  std::unique_ptr<Recorder> recorder;
};

}  // namespace quilltap
