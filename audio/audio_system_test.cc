#include "audio/audio_system.h"

#include <gtest/gtest.h>

#include "audio/sample_ring.h"

namespace quilltap {
namespace {

std::string found(const std::string& query) {
  static const std::vector<InputDevice> devices = {
      {"system", "Built-in Capture", 2},
      {"usb-mixer", "Behringer XR18 (USB)", 18},
      {"XR18", "Rack mixer", 18},
      {"mixer-b", "xr18 second", 18},
  };
  std::optional<InputDevice> device = findDevice(devices, query);
  return device ? device->uid : "";
}

TEST(FindDevice, AnExactUidOrNameBeatsAnEarlierSubstringMatchThatIgnoresCase) {
  EXPECT_EQ(found("XR18"), "XR18");
  EXPECT_EQ(found("xr18 second"), "mixer-b");
  EXPECT_EQ(found("xr18"), "usb-mixer");  // the first name that contains it
  EXPECT_EQ(found("RACK"), "XR18");
  EXPECT_EQ(found("usb-mix"), "");  // part of a uid is not a match
  EXPECT_EQ(findDevice({}, "XR18"), std::nullopt);
}

TEST(SampleRing, FramesThatDoNotFitAreDroppedWholeAndCounted) {
  SampleRing ring(2, 8);
  std::vector<float> left(6, 1.0f), right(6, 2.0f);
  const float* source[] = {left.data(), right.data()};
  ring.push(source, 6);
  ring.push(source, 6);  // 2 frames of room: the buffer is dropped whole
  EXPECT_EQ(ring.readable(), 6u);
  EXPECT_EQ(ring.takeDropped(), 6);
  EXPECT_EQ(ring.takeDropped(), 0);
}

}  // namespace
}  // namespace quilltap
