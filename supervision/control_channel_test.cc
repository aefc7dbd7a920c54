#include "supervision/control_channel.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(LineSplitter& splitter,
                                 std::initializer_list<std::string_view> reads) {
  std::vector<std::string> lines;
  for (std::string_view bytes : reads) {
    splitter.feed(bytes, [&](const std::string& line) {
      lines.push_back(line);
      return true;
    });
  }
  return lines;
}

TEST(LineSplitter, LinesInPiecesWithCarriageReturnsSplitCharactersAndOverlongLines) {
  LineSplitter splitter(16);
  EXPECT_EQ(linesOf(splitter, {"st", "o", "p\r\ngai", "ns 1,2\n\nrest"}),
            (std::vector<std::string>{"stop", "gains 1,2", ""}));
  EXPECT_EQ(splitter.held(), "rest");
  EXPECT_EQ(linesOf(splitter, {"\na\rb\n", "caf\xc3", "\xa9\n", "\xff stop\n"}),
            (std::vector<std::string>{"rest", "a\rb", "café", "\uFFFD stop"}));
  std::string flood(40, 'x');  // a parent that never sends a line feed cannot exhaust memory
  EXPECT_EQ(linesOf(splitter, {flood, flood, "tail\nstop\n"}), (std::vector<std::string>{"stop"}));
  EXPECT_LE(splitter.held().size(), 16u);
}

TEST(ControlLine, StopAndGainsAfterTrimmingEverythingElseIgnored) {
  EXPECT_EQ(parseControlLine(" \tstop\u00a0").kind, ControlCommand::stop);
  EXPECT_EQ(parseControlLine("STOP").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("stop now").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("gains").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("gains\t1").kind, ControlCommand::none);
  ControlCommand gains = parseControlLine("  gains 1,,0.5, 2,abc,-1e-1,");
  EXPECT_EQ(gains.kind, ControlCommand::gains);
  EXPECT_EQ(gains.values, (std::vector<float>{1.0f, 0.5f, -0.1f}));
}

class ControlChannelTest : public RecordingTest {
 protected:
  // Starts a mix recording that reads a pipe as its standard input, writes
  // `input` into it (and closes it after with `close`) and returns the
  // reason the recording ended with.
  std::string reasonAfter(const std::string& input, bool close) {
    EXPECT_EQ(start({"--out", scratch + "/t", "--track", "1:A", "--mix", "M"}), "");
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    installControlChannel(pipeFds[0], recorder->capture().processor(),
                          [this](const std::string& reason) { recorder->finish().finish(reason); });
    EXPECT_EQ(write(pipeFds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (close) ::close(pipeFds[1]);
    EXPECT_EQ(runToTheEnd(), 0);
    if (!close) ::close(pipeFds[1]);
    ::close(pipeFds[0]);
    std::vector<Event> all = takeEvents();
    return all.empty() ? "" : all.back()["reason"].get<std::string>();
  }
};

TEST_F(ControlChannelTest, StopEndsTheRecordingAlsoWithAWindowsLineEnding) {
  EXPECT_EQ(reasonAfter("gains 0.5,0.25\nstop\r\ngains 1,1\n", false), "stop");
  EXPECT_EQ(recorder->capture().processor().gains(),
            (std::vector<float>{0.5f, 0.25f}));  // not the line after stop
}

TEST_F(ControlChannelTest, ClosedInputEndsTheRecordingAsParentExitedEvenMidLine) {
  EXPECT_EQ(reasonAfter("sto", true), "parent-exited");
}

}  // namespace
}  // namespace quilltap
