#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/events.h"
#include "app/startup.h"
#include "app/state.h"
#include "audio/fake_audio.h"
#include "dispatch/main_queue.h"
#include "dispatch/semaphore.h"
#include "writing/sink.h"

namespace quilltap {

/// Thrown by the replaced process exit, so a test can see `fail` and `finish`.
struct ProcessExit {
  int status;
};

/// A fresh recording on the fake audio system, with events captured in a
/// pipe and a scratch folder that is removed afterwards.
class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRecordingForTesting();
    setAudioSystem(&audio);
    setExitHandlerForTesting([](int status) { throw ProcessExit{status}; });
    ASSERT_EQ(pipe(eventPipe), 0);
    setEventFdForTesting(eventPipe[1]);
    char pattern[] = "/tmp/quilltap-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
  }

  void TearDown() override {
    // Work a test left on the main queue must not act on the next test.
    if (rec().progress) mainQueue().cancel(rec().progress);
    rec().stopping = true;
    try {
      mainQueue().runUntil([] { return true; }, std::chrono::milliseconds(0));
    } catch (const ProcessExit&) {
    }
    // Nor may its writers still be at work when the next test sets up.
    std::vector<SinkRef> sinks = rec().abandoned;
    if (rec().current) sinks.push_back(rec().current);
    for (const SinkRef& sink : sinks) {
      auto idle = std::make_shared<Semaphore>();
      sink->queue().async([idle] { idle->signal(); });
      idle->waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    setEventFdForTesting(STDOUT_FILENO);
    setExitHandlerForTesting(nullptr);
    setAudioSystem(nullptr);
    close(eventPipe[0]);
    close(eventPipe[1]);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }

  /// Every event emitted since the last call, parsed.
  std::vector<Event> events() {
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
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      parsed.push_back(Event::parse(text.substr(start, end - start)));
    }
    EXPECT_EQ(start, text.size()) << "an event line without its line feed";
    return parsed;
  }

  /// Runs `action`, which must end the process, and returns the exit status.
  template <typename Action>
  int exitStatusOf(Action action) {
    try {
      action();
    } catch (const ProcessExit& exit) {
      return exit.status;
    }
    ADD_FAILURE() << "the process did not exit";
    return -1;
  }

  /// Parses `words` as options of `record` and starts a recording on the
  /// fake device "XR18" (4 channels at 48 kHz), without standard input.
  void startRecording(std::vector<std::string> words) {
    if (audio.devices.empty()) audio.devices = {{7, "XR18", "XR18 Multichannel", 4}};
    rec().args = std::move(words);
    parseRecordOptions();
    prepareRecording(-1);
  }

  /// One buffer of `frames` frames in which channel c (0-based) holds
  /// value(c, i) at frame i.
  template <typename Value>
  static std::vector<std::vector<float>> buffer(std::size_t channels, std::size_t frames, Value value) {
    std::vector<std::vector<float>> data(channels, std::vector<float>(frames));
    for (std::size_t c = 0; c < channels; ++c)
      for (std::size_t i = 0; i < frames; ++i) data[c][i] = value(c, i);
    return data;
  }

  /// Waits until the writer has written `frames` frames in all.
  bool waitForWritten(std::int64_t frames) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> hold(rec().lock);
        if (rec().writtenFrames >= frames) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  FakeAudioSystem audio;
  int eventPipe[2] = {-1, -1};
  std::string scratch;
};

}  // namespace quilltap
