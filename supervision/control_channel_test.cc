#include "supervision/control_channel.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> linesOf(LineSplitter& splitter, std::initializer_list<std::string_view> reads) {
  std::vector<std::string> lines;
  for (std::string_view bytes : reads) {
    splitter.feed(bytes, [&](const std::string& line) {
      lines.push_back(line);
      return true;
    });
  }
  return lines;
}

TEST(LineSplitter, LinesMayArriveInPieces) {
  LineSplitter splitter;
  EXPECT_EQ(linesOf(splitter, {"st", "o", "p\ngai", "ns 1,2\n\nrest"}),
            (std::vector<std::string>{"stop", "gains 1,2", ""}));
  EXPECT_EQ(splitter.held(), "rest");
}

TEST(LineSplitter, CarriageReturnBeforeLineFeedIsDropped) {
  LineSplitter splitter;
  EXPECT_EQ(linesOf(splitter, {"stop\r\n", "a\rb\n", "\r", "\n"}),
            (std::vector<std::string>{"stop", "a\rb", ""}));
}

TEST(LineSplitter, ACharacterSplitAcrossReadsStaysWhole) {
  LineSplitter splitter;
  EXPECT_EQ(linesOf(splitter, {"caf\xc3", "\xa9\n", "\xff stop\n"}),
            (std::vector<std::string>{"café", "\uFFFD stop"}));
}

TEST(LineSplitter, AnOverlongLineIsDiscardedUpToItsLineFeed) {
  LineSplitter splitter(16);
  std::string flood(40, 'x');
  EXPECT_EQ(linesOf(splitter, {flood, flood, "tail\nstop\n"}), (std::vector<std::string>{"stop"}));
  EXPECT_EQ(linesOf(splitter, {std::string(16, 'y') + "\n"}), (std::vector<std::string>{std::string(16, 'y')}));
  EXPECT_LE(splitter.held().size(), 16u);
}

TEST(ControlLine, StopAndGainsAfterTrimmingEverythingElseIgnored) {
  EXPECT_EQ(parseControlLine("stop").kind, ControlCommand::stop);
  EXPECT_EQ(parseControlLine(" \tstop\u00a0").kind, ControlCommand::stop);
  EXPECT_EQ(parseControlLine("STOP").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("stop now").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("gains").kind, ControlCommand::none);
  EXPECT_EQ(parseControlLine("gains\t1").kind, ControlCommand::none);
  ControlCommand gains = parseControlLine("  gains 1,,0.5, 2,abc,-1e-1,");
  EXPECT_EQ(gains.kind, ControlCommand::gains);
  EXPECT_EQ(gains.values, (std::vector<float>{1.0f, 0.5f, -0.1f}));
}

class ControlChannelTest : public RecordingTest {};

TEST_F(ControlChannelTest, AGainsLineReplacesTheGainsOnlyWithTheRightCount) {
  rec().gains = {1, 0, 0, 1, 1, 0, 0, 1};
  EXPECT_FALSE(handleControlLine("gains 0.5,0.5,0.5,0.5,0.5,0.5,0.5"));
  EXPECT_FALSE(handleControlLine("gains 0.5,0.5,0.5,0.5,0.5,0.5,0.5,0.5,0.5"));
  EXPECT_FALSE(handleControlLine("gains 0.5,0.5,0.5,0.5,0.5,0.5,0.5, 0.5"));
  EXPECT_EQ(rec().gains, (std::vector<float>{1, 0, 0, 1, 1, 0, 0, 1}));
  EXPECT_FALSE(handleControlLine("gains 2,0,0,2,,0,1,1,0"));
  EXPECT_EQ(rec().gains, (std::vector<float>{2, 0, 0, 2, 0, 1, 1, 0}));
  EXPECT_TRUE(handleControlLine("stop"));
}

TEST_F(ControlChannelTest, StopAndEndOfInputFinishOnTheMainQueue) {
  startRecording({"--out", scratch + "/t", "--track", "1:A"});
  events();
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  installControlChannel(input[0]);
  ASSERT_EQ(write(input[1], "gains 1\nst", 10), 10);
  ASSERT_EQ(write(input[1], "op\r\nstop\n", 9), 9);
  int status = exitStatusOf([] { mainQueue().runUntil([] { return false; }, 5s); });
  EXPECT_EQ(status, 0);
  std::vector<Event> all = events();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["reason"], "stop");
  close(input[1]);
  close(input[0]);
}

TEST_F(ControlChannelTest, ClosedInputFinishesAsParentExitedEvenMidLine) {
  startRecording({"--out", scratch + "/t", "--track", "1:A"});
  events();
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  installControlChannel(input[0]);
  ASSERT_EQ(write(input[1], "sto", 3), 3);
  close(input[1]);
  EXPECT_EQ(exitStatusOf([] { mainQueue().runUntil([] { return false; }, 5s); }), 0);
  std::vector<Event> all = events();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back()["reason"], "parent-exited");
  close(input[0]);
}

}  // namespace
}  // namespace quilltap
