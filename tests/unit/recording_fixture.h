#pragma once

#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/startup.h"
#include "dispatch/main_queue.h"
#include "dispatch/semaphore.h"
#include "tests/fakes/fake_audio.h"
#include "tests/fakes/faulty_file_system.h"

namespace quilltap {

/// Thrown by the recorder's exit in tests, so a test can see finish end it.
struct ProcessExit {
  int status;
};

/// A recording on the fake audio system and a faulty drive in a scratch
/// folder, with its events in a pipe and a clock the test moves.
class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(eventPipe), 0);
    events = EventStream(eventPipe[1]);
    char pattern[] = "/tmp/quilltap-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    audio.devices = {{"XR18", "XR18 Multichannel", 4}};
  }

  void TearDown() override {
    if (recorder) {
      // Work left on the main queue must not act on the next test, nor may
      // the writers still be at work.
      drive.release();
      try {
        mainQueue().runUntil([] { return true; }, std::chrono::milliseconds(0));
      } catch (const ProcessExit&) {
      }
      std::vector<SinkRef> sinks;
      {
        MutexLock hold(recorder->take().lock);
        sinks = recorder->take().abandoned;
        if (recorder->take().current) sinks.push_back(recorder->take().current);
      }
      for (const SinkRef& sink : sinks) idle(sink);
      recorder.reset();
    }
    close(eventPipe[0]);
    close(eventPipe[1]);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }

  /// Parses `words` as options of `record`, lets `tweak` change what no
  /// option sets, and makes the recorder.
  Recorder& make(std::vector<std::string> words,
                 const std::function<void(Options&)>& tweak = nullptr) {
    Options options;
    Status parsed = parseRecordOptions(words, &options);
    EXPECT_TRUE(parsed.ok()) << parsed.message();
    if (tweak) tweak(options);
    recorder = std::make_unique<Recorder>(std::move(options), audio, drive, events, clock,
                                          [](int status) { throw ProcessExit{status}; });
    return *recorder;
  }

  /// Starts a recording on the fake "XR18" (4 channels at 48 kHz), without
  /// standard input; returns what failed, or "" when it started.
  std::string start(std::vector<std::string> words,
                    const std::function<void(Options&)>& tweak = nullptr) {
    Status started = make(std::move(words), tweak).start(-1);
    return started.ok() ? "" : started.message();
  }

  /// Every event emitted since the last call, parsed.
  std::vector<Event> takeEvents() {
    std::string text;
    char buffer[65536];
    for (;;) {
      fd_set ready;
      FD_ZERO(&ready);
      FD_SET(eventPipe[0], &ready);
      timeval none = {0, 0};
      if (select(eventPipe[0] + 1, &ready, nullptr, nullptr, &none) <= 0) break;
      ssize_t n = read(eventPipe[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<Event> parsed;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      parsed.push_back(Event::parse(text.substr(begin, end - begin)));
    }
    EXPECT_EQ(begin, text.size()) << "an event line without its line feed";
    return parsed;
  }

  /// Runs `action`, which must end the recording, and returns the exit status.
  template <typename Action>
  static int exitStatusOf(Action action) {
    try {
      action();
    } catch (const ProcessExit& exit) {
      return exit.status;
    }
    ADD_FAILURE() << "the recording did not end";
    return -1;
  }

  /// Runs the main queue until the recording ends; returns the exit status.
  static int runToTheEnd() {
    return exitStatusOf(
        [] { mainQueue().runUntil([] { return false; }, std::chrono::seconds(30)); });
  }

  /// One buffer of `frames` frames in which channel c (0-based) holds
  /// value(c, i) at frame i.
  template <typename Value>
  static std::vector<std::vector<float>> buffer(std::size_t channels, std::size_t frames,
                                                Value value) {
    std::vector<std::vector<float>> data(channels, std::vector<float>(frames));
    for (std::size_t c = 0; c < channels; ++c)
      for (std::size_t i = 0; i < frames; ++i) data[c][i] = value(c, i);
    return data;
  }

  /// Waits until everything queued on `sink`'s writer has run.
  static void idle(const SinkRef& sink) {
    auto done = std::make_shared<Semaphore>();
    sink->queue().async([done] { done->signal(); });
    done->waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  }

  Take& take() { return recorder->take(); }

  FakeAudioSystem audio;
  FaultyFileSystem drive;
  ManualClock clock;
  int eventPipe[2] = {-1, -1};
  EventStream events{-1};
  std::string scratch;
  std::unique_ptr<Recorder> recorder;
};

}  // namespace quilltap
