#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "app/command_line.h"
#include "app/startup.h"
#include "dispatch/main_queue.h"
#include "tests/fakes/fakes.h"

namespace quilltap {

/// A fresh folder under /tmp, removed with everything in it.
struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/quilltap-test-XXXXXX";
    path = mkdtemp(pattern) ? pattern : "";
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
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
  void SetUp() override {
    ASSERT_EQ(pipe2(eventPipe, O_NONBLOCK), 0);
    events = EventStream(eventPipe[1]);
  }
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
    try {
      mainQueue().runUntil([] { return true; }, std::chrono::milliseconds(0));
    } catch (int) {
    }
    recorder.reset();
    close(eventPipe[0]);
    close(eventPipe[1]);
  }
  /// Starts a recording with these options of `record`, without standard
  /// input; returns what failed, or "" when it started.
  std::string start(const std::vector<std::string>& words) {
    Options options;
    Status parsed = parseRecordOptions(words, &options);
    EXPECT_TRUE(parsed.ok()) << parsed.message();
    recorder = std::make_unique<Recorder>(std::move(options), audio, drive, events, clock,
                                          [](int status) { throw status; });
    Status started = recorder->start(-1);
    return started.ok() ? "" : started.message();
  }

  /// Every event emitted since the last call.
  std::vector<Event> takeEvents() {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(eventPipe[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, std::size_t(n));
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "an event line without its line feed";
    std::vector<Event> parsed;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) parsed.push_back(Event::parse(line));
    return parsed;
  }

  /// Runs `action`, which must end the recording; the exit status.
  template <typename Action>
  static int exitStatusOf(Action action) {
    try {
      action();
    } catch (int status) {
      return status;
    }
    ADD_FAILURE() << "the recording did not end";
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

  FakeAudioSystem audio;
  FaultyFileSystem drive;
  ManualClock clock;
  Scratch scratch;
  int eventPipe[2] = {-1, -1};
  EventStream events{-1};
  std::unique_ptr<Recorder> recorder;
};

}  // namespace quilltap
