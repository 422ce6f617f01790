// The simulated USB device: standard requests, alternate settings, removal,
// frame numbers.
#include "usb/device.h"

#include <gtest/gtest.h>

#include "kernel/clock.h"

namespace usb = korvel::sim::usb;

namespace {

class OneSettingFunction : public usb::Function {
 public:
  std::vector<uint8_t> configuration_descriptor(usb::Speed) const override {
    return {9, 2, 34,   0,    1,    1,    0, 0x80, 50,  // configuration
            9, 4, 0,    0,    0,    1,    1, 0x20, 0,   // interface 0 alt 0
            9, 4, 0,    1,    1,    1,    2, 0x20, 0,   // interface 0 alt 1
            7, 5, 0x01, 0x05, 0x20, 0x00, 1};
  }
  usb::Result control(const usb::Setup& s, uint8_t* data, uint16_t* transferred) override {
    ++class_requests;
    return usb::Result::Stall;
  }
  void interface_selected(uint8_t i, uint8_t a) override { last_alt = a; }
  int class_requests = 0;
  int last_alt = -1;
};

TEST(UsbDevice, StandardRequestsAndSettings) {
  auto f = std::make_shared<OneSettingFunction>();
  usb::Device d(f, usb::Speed::High);
  uint8_t buf[64];
  uint16_t got = 0;
  ASSERT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 9);
  ASSERT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 64}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 34);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::Stall) << "not configured yet";
  ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
  EXPECT_EQ(d.alternate_setting(0), 0);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::Ok);
  EXPECT_EQ(f->last_alt, 1);
  EXPECT_EQ(d.set_interface(0, 2), usb::Result::Stall);
  EXPECT_EQ(d.alternate_setting(0), 1);
  d.stall_next_set_interface(1);
  EXPECT_EQ(d.set_interface(0, 0), usb::Result::Stall);
  EXPECT_EQ(d.set_interface(0, 0), usb::Result::Ok);
  EXPECT_EQ(d.control_transfer({0x21, 0x01, 0x0100, 0, 0}, buf, &got), usb::Result::Stall);
  EXPECT_EQ(f->class_requests, 1);
}

TEST(UsbDevice, UnplugAndPlug) {
  usb::Device d(std::make_shared<OneSettingFunction>(), usb::Speed::Full);
  EXPECT_EQ(d.speed(), usb::Speed::Full);
  ASSERT_EQ(d.set_configuration(1), usb::Result::Ok);
  d.unplug();
  EXPECT_FALSE(d.connected());
  uint8_t buf[9];
  uint16_t got = 0;
  EXPECT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::NoDevice);
  EXPECT_EQ(d.set_interface(0, 1), usb::Result::NoDevice);
  d.plug();
  EXPECT_EQ(d.configuration(), 0);
  EXPECT_EQ(d.control_transfer({0x80, 0x06, 0x0200, 0, 9}, buf, &got), usb::Result::Ok);
}

TEST(UsbDevice, FrameNumberFollowsTheClock) {
  usb::Device d(std::make_shared<OneSettingFunction>(), usb::Speed::High);
  uint32_t f0 = d.frame_number();
  korvel::sim::Clock::instance().sleep_for(5000000);
  EXPECT_EQ(d.frame_number() - f0, 5u);
}

}  // namespace
