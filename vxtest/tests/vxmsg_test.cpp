// Message codec: building up to the 64-byte limit and reading replies safely.
#include "vxmsg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Msg {
  uint8_t mem[64] = {};
  vxmsg_buf_t m;
  explicit Msg(uint8_t size = 64) { vxmsg_init(&m, mem, size); }
};

TEST(VxmsgBuild, NumbersAreLittleEndianWithTheirItemSizes) {
  Msg b;
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x15, VXMSG_TYPE_U8, 0x1AB, 0));  // stored as one byte
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x32, VXMSG_TYPE_U16, 0x0169, 0));
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x18, VXMSG_TYPE_U32, 48000, 0));
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x71, VXMSG_TYPE_NONE, 0, 0));
  const uint8_t want[] = {0x15, 2, 0xAB, 0x32, 3, 0x69, 0x01, 0x18, 4, 0x80, 0xBB, 0x00, 0x00, 0x71, 1};
  ASSERT_EQ(sizeof want, b.m.pos);
  EXPECT_EQ(0, std::memcmp(want, b.mem, sizeof want));

  b.m.size = b.m.pos;
  vxmsg_rewind(&b.m);
  uint32_t cmd, type;
  uint64_t value;
  uint8_t size;
  ASSERT_EQ(0u, vxmsg_get(&b.m, &cmd, &type, &value, &size));
  EXPECT_EQ(0x15u, cmd);
  EXPECT_EQ(0xABu, value);
  EXPECT_EQ(1, size);
  ASSERT_EQ(0u, vxmsg_get(&b.m, &cmd, &type, &value, &size));
  EXPECT_EQ(0x169u, value);
  ASSERT_EQ(0u, vxmsg_get(&b.m, &cmd, &type, &value, &size));
  EXPECT_EQ(48000u, value);
  EXPECT_EQ(4, size);
  ASSERT_EQ(0u, vxmsg_get(&b.m, &cmd, &type, &value, &size));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(0, size);
  EXPECT_EQ(1u, vxmsg_get(&b.m, &cmd, &type, &value, &size));
}

TEST(VxmsgBuild, FullMessageDropsTheEndItemAndRefusesOthers) {
  Msg b;
  uint8_t data[61];
  std::memset(data, 0x5A, sizeof data);
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x25, VXMSG_TYPE_BYTES, uintptr_t(data), 61));
  EXPECT_EQ(64, b.m.pos);
  EXPECT_EQ(0u, vxmsg_put(&b.m, 0, VXMSG_TYPE_END, 0, 0));  // silently dropped
  EXPECT_EQ(64, b.m.pos);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, vxmsg_put(&b.m, 0x71, VXMSG_TYPE_NONE, 0, 0));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("../../vxtest/vxmsg:"));
  EXPECT_EQ(64, b.m.pos);
}

TEST(VxmsgBuild, ItemsThatDoNotFitLeaveTheCursorAlone) {
  Msg b(5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, vxmsg_put(&b.m, 0x17, VXMSG_TYPE_U32, 1, 0));  // needs 6
  EXPECT_EQ(0, b.m.pos);
  EXPECT_EQ(1u, vxmsg_put(&b.m, 0x3A, VXMSG_TYPE_BYTES, uintptr_t("abc"), 3));  // needs 6
  EXPECT_EQ(1u, vxmsg_put(&b.m, 0x01, VXMSG_TYPE_END, 0, 0));                   // type 0 only with command 0
  EXPECT_EQ(1u, vxmsg_put(&b.m, 0x01, 9, 0, 0));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, b.m.pos);
  EXPECT_EQ(0u, vxmsg_put(&b.m, 0x18, VXMSG_TYPE_U16, 7, 0));
  EXPECT_EQ(4, b.m.pos);
  Msg three(3);  // a u16 item needs four bytes
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, vxmsg_put(&three.m, 0x18, VXMSG_TYPE_U16, 7, 0));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, three.m.pos);
}

TEST(VxmsgBuild, ZeroByteCountTakesTheRestOfTheMessage) {
  Msg b;
  ASSERT_EQ(0u, vxmsg_put(&b.m, 0x18, VXMSG_TYPE_NONE, 0, 0));
  EXPECT_EQ(59u, vxmsg_room(&b.m));
  uint8_t* payload = nullptr;
  uint8_t size = 0;
  ASSERT_EQ(0u, vxmsg_put_head(&b.m, 0x3A, VXMSG_TYPE_BYTES, 0, &payload, &size));
  EXPECT_EQ(59, size);
  EXPECT_EQ(59, b.mem[4]);  // length byte = remaining space - 3
  EXPECT_EQ(b.mem + 5, payload);
  EXPECT_EQ(64, b.m.pos);
  EXPECT_EQ(0u, vxmsg_room(&b.m));
}

TEST(VxmsgRead, ZeroFillEndsAReplyWithoutEndItem) {
  Msg b;
  b.mem[0] = 0xA1;
  b.mem[1] = VXMSG_TYPE_U8;
  b.mem[2] = 1;  // then zero fill: command 0, type 0
  int items = 0;
  while (vxmsg_get(&b.m, nullptr, nullptr, nullptr, nullptr) == 0) ++items;
  EXPECT_EQ(1, items);
  EXPECT_EQ(3, b.m.pos);  // the end item does not move the cursor
}

TEST(VxmsgRead, TruncatedItemsEndTheMessageWithoutReadingPastIt) {
  // A bytes item claiming more than is left, and numbers cut at the end.
  const uint8_t cases[][6] = {
      {0x39, VXMSG_TYPE_BYTES, 9, 'a', 'b', 'c'},
      {0x18, VXMSG_TYPE_U32, 1, 2, 3, 0},
      {0x32, VXMSG_TYPE_U16, 1, 0, 0, 0},
      {0x15, VXMSG_TYPE_U8, 0, 0, 0, 0},
  };
  const uint8_t sizes[] = {6, 5, 3, 2};
  for (size_t i = 0; i < 4; ++i) {
    uint8_t copy[6];
    std::memcpy(copy, cases[i], sizeof copy);
    vxmsg_buf_t m;
    vxmsg_init(&m, copy, sizes[i]);
    uint64_t value = 77;
    EXPECT_EQ(1u, vxmsg_get(&m, nullptr, nullptr, &value, nullptr)) << i;
    EXPECT_EQ(0, m.pos) << i;
    EXPECT_EQ(77u, value) << i;
  }
  // A bytes item that fits exactly is read, and its address lies inside.
  uint8_t exact[5] = {0x39, VXMSG_TYPE_BYTES, 2, 'o', 'k'};
  vxmsg_buf_t m;
  vxmsg_init(&m, exact, 5);
  uint64_t value;
  uint8_t size;
  ASSERT_EQ(0u, vxmsg_get(&m, nullptr, nullptr, &value, &size));
  EXPECT_EQ(uintptr_t(exact + 3), value);
  EXPECT_EQ(2, size);
}

TEST(VxmsgRead, TypeAboveFiveIsReportedWithItsValue) {
  uint8_t mem[8] = {0x72, 6, 1, 2, 0xA1, 2, 1, 0};
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, vxmsg_get(&m, nullptr, nullptr, nullptr, nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("../../vxtest/vxmsg:"));
  EXPECT_NE(std::string::npos, out.find(":ERROR 0x6"));
  EXPECT_EQ(0, m.pos);
}

TEST(VxmsgRead, CorruptCursorBeyondSizeReadsNothing) {
  uint8_t mem[4] = {0x71, 1, 0, 0};
  vxmsg_buf_t m{mem, 2, 200};
  EXPECT_EQ(1u, vxmsg_get(&m, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, vxmsg_room(&m));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1u, vxmsg_put(&m, 0x71, VXMSG_TYPE_NONE, 0, 0));
  testing::internal::GetCapturedStdout();
}

}  // namespace
