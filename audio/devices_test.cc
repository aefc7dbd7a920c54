#include "audio/devices.h"

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

class FindDeviceTest : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    audio.devices = {
        {1, "system", "Built-in Capture", 2},
        {2, "usb-mixer", "Behringer XR18 (USB)", 18},
        {3, "XR18", "Rack mixer", 18},
        {4, "mixer-b", "xr18 second", 18},
    };
  }
  std::string found(const std::string& query) {
    std::optional<InputDevice> device = findDevice(query);
    return device ? device->uid : "";
  }
};

TEST_F(FindDeviceTest, AnExactUidOrNameBeatsAnEarlierSubstringMatch) {
  EXPECT_EQ(found("XR18"), "XR18");
  EXPECT_EQ(found("xr18 second"), "mixer-b");
  EXPECT_EQ(found("Built-in Capture"), "system");
}

TEST_F(FindDeviceTest, SubstringPassIgnoresCaseAndLooksAtNamesOnly) {
  EXPECT_EQ(found("xr18"), "usb-mixer");  // the first name that contains it
  EXPECT_EQ(found("RACK"), "XR18");
  EXPECT_EQ(found("usb-mix"), "");        // part of a uid is not a match
  EXPECT_EQ(found("(usb)"), "usb-mixer");
}

TEST_F(FindDeviceTest, NoDevicesFindsNothing) {
  audio.devices.clear();
  EXPECT_EQ(found("XR18"), "");
  EXPECT_EQ(found(""), "");
}

}  // namespace
}  // namespace quilltap
