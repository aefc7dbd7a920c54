#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/events.h"
#include "app/state.h"
#include "audio/fake_audio.h"

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

  FakeAudioSystem audio;
  int eventPipe[2] = {-1, -1};
  std::string scratch;
};

}  // namespace quilltap
