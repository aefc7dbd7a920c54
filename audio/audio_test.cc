#include <gtest/gtest.h>

#include "audio/audio_system.h"
#include "audio/sample_ring.h"

namespace quilltap {

TEST(FindDevice, AnExactUidOrNameBeatsAnEarlierSubstringMatchThatIgnoresCase) {
  const std::vector<InputDevice> devices = {{"usb-mixer", "Behringer XR18 (USB)", 18},
                                            {"XR18", "Rack mixer", 18},
                                            {"mixer-b", "xr18 second", 18}};
  const std::pair<const char*, const char*> cases[] = {
      {"XR18", "XR18"}, {"xr18 second", "mixer-b"}, {"xr18", "usb-mixer"}, {"RACK", "XR18"},
      {"usb-mix", ""},  // part of a uid is not a match
  };
  for (auto [query, uid] : cases) {
    std::optional<InputDevice> device = findDevice(devices, query);
    EXPECT_EQ(device ? device->uid : "", uid) << query;
  }
}

TEST(SampleRing, FramesThatDoNotFitAreDroppedWholeAndFramesReadInPlaceKeepTheirRoom) {
  SampleRing ring(2, 8);
  std::vector<float> left(6, 1.0f), right(6, 2.0f);
  const float* source[] = {left.data(), right.data()};
  ring.push(source, 6);
  ring.push(source, 6);  // 2 frames of room: the buffer is dropped whole
  EXPECT_EQ(ring.readable(), 6u);
  EXPECT_EQ(ring.takeDropped(), 6);
  EXPECT_EQ(ring.takeDropped(), 0);
  // Read where they are, the frames stay the producer's to keep off until consumed.
  const float* at[2];
  ASSERT_TRUE(ring.peek(at, 4));
  EXPECT_EQ(at[1][3], 2.0f);
  EXPECT_EQ(ring.writable(), 2u);
  ring.consume(4);
  EXPECT_EQ(ring.writable(), 6u);
  ring.push(source, 6);  // wraps around the end: not in one piece
  EXPECT_FALSE(ring.peek(at, 8));
}

}  // namespace quilltap
