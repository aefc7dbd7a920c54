#include "app/startup.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {

class StartupTest : public RecordingTest {
 protected:
  std::string out() { return scratch.path + "/take"; }
};

TEST_F(StartupTest, StoppedComesOnceAndOnlyAfterEveryFileIsClosed) {
  ASSERT_EQ(start({"--out", out(), "--bits", "32", "--track", "1:A", "--track", "2,3:B"}), "");
  takeEvents();
  for (int k = 0; k < 3; ++k)
    ASSERT_TRUE(audio.deliver(buffer(4096, [](std::size_t c, std::size_t) { return c * 0.1f; })));
  std::vector<Event> beforeClose;
  drive.onClose = [&](const std::string&) {
    for (Event& e : takeEvents()) beforeClose.push_back(e);
  };
  EXPECT_EQ(exitStatusOf([this] { recorder->finish().finish("stop"); }), 0);
  EXPECT_EQ(beforeClose, std::vector<Event>{});
  EXPECT_EQ(takeEvents(),
            std::vector<Event>{(Event{{"event", "stopped"},
                                      {"reason", "stop"},
                                      {"seconds", 3 * 4096 / 48000.0},
                                      {"files", {out() + "/01 A.wav", out() + "/02 B.wav"}},
                                      {"interrupted", Event::array()}})});
  EXPECT_FALSE(audio.tap);
  // A signal after "stopped" starts no second finish.
  EXPECT_EQ(exitStatusOf([this] {
              recorder->finish().finish("signal");
              throw ProcessExit{-3};
            }),
            -3);
  EXPECT_TRUE(takeEvents().empty());
}

}  // namespace quilltap
