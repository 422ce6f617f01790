// Record checks of the control-request tunnel.
#include "tunnel.h"

#include <gtest/gtest.h>

#include <vector>

#include "devhost_wire.h"

using namespace korvel;
using korvel::devhost::check_ctrl_record;
using korvel::devhost::ControlTransfer;

namespace {

std::vector<uint8_t> record(uint32_t dir, uint32_t len, size_t payload, uint8_t bRequest = 0x1D) {
  std::vector<uint8_t> r(16 + payload, 0);
  r[0] = uint8_t(dir);
  r[4] = uint8_t(len);
  r[5] = uint8_t(len >> 8);
  r[8] = 23;
  r[10] = 0x34;
  r[11] = 0x12;
  r[12] = 0x78;
  r[13] = 0x56;
  r[15] = bRequest;
  if (r.size() < 20) r.resize(20, 0);
  return r;
}

TEST(TunnelRecord, HostToDeviceLengthLimits) {
  ControlTransfer t;
  auto r64 = record(0, 64, 64);
  ASSERT_EQ(wire::kStatusSuccess, check_ctrl_record(r64.data(), r64.size(), 0, &t));
  EXPECT_FALSE(t.device_to_host);
  EXPECT_EQ(64, t.length);
  EXPECT_EQ(r64.data() + 16, t.data);
  EXPECT_EQ(0x1234, t.wValue);
  EXPECT_EQ(0x5678, t.wIndex);
  EXPECT_EQ(0x1D, t.bRequest);
  auto r65 = record(0, 65, 65);
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(r65.data(), r65.size(), 0, &t));
  // A data length running past the buffer the caller handed over.
  auto lying = record(0, 40, 4);
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(lying.data(), lying.size(), 0, &t));
  auto huge = record(0, 0xFFFFFFF0u, 4);
  huge[6] = huge[7] = 0xFF;
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(huge.data(), huge.size(), 0, &t));
}

TEST(TunnelRecord, DeviceToHostTakesTheOutputLength) {
  ControlTransfer t;
  auto r = record(1, 0, 4, 0x1E);
  ASSERT_EQ(wire::kStatusSuccess, check_ctrl_record(r.data(), r.size(), 64, &t));
  EXPECT_TRUE(t.device_to_host);
  EXPECT_EQ(64, t.length);
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(r.data(), r.size(), 0, &t));
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(r.data(), r.size(), 65, &t));
  r[0] = 3;  // only bit 0 of the direction counts
  ASSERT_EQ(wire::kStatusSuccess, check_ctrl_record(r.data(), r.size(), 8, &t));
  EXPECT_TRUE(t.device_to_host);
}

TEST(TunnelRecord, RecordsShorterThanTwentyBytesAreRefused) {
  ControlTransfer t;
  auto r = record(1, 0, 4);
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(r.data(), 16, 64, &t));
  EXPECT_EQ(wire::kStatusInvalidParameter, check_ctrl_record(nullptr, 0, 64, &t));
}

}  // namespace
