// Firmware images and the unit-driven download, with a host that follows the
// download procedure step by step and records what the unit asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "test_host.h"
#include "unit_firmware.h"

namespace korvel::sim::test {
namespace {

TEST(FirmwareImage, MadeImagesCheckAndDamagedOnesDoNot) {
  const auto img = make_firmware_image(106, 7, 1000);
  ASSERT_EQ(img.size(), 1000u);
  uint16_t v = 0, b = 0;
  std::string why;
  ASSERT_TRUE(check_firmware_image(img.data(), img.size(), &v, &b, &why)) << why;
  EXPECT_EQ(v, 106);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(make_firmware_image(106, 7, 1000), img);  // deterministic
  EXPECT_EQ(make_firmware_image(1, 1, 0).size(), 64u * 1024);
  const auto header_only = make_firmware_image(2, 3, 32);
  EXPECT_TRUE(check_firmware_image(header_only.data(), header_only.size(), &v, &b, nullptr));

  auto bad = img;
  bad[500] ^= 0x01;
  EXPECT_FALSE(check_firmware_image(bad.data(), bad.size(), &v, &b, &why));
  EXPECT_NE(why.find("CRC"), std::string::npos);
  bad = img;
  bad[8] = 0xFF;  // version bytes patched: "655.35"
  bad[9] = 0xFF;
  EXPECT_FALSE(check_firmware_image(bad.data(), bad.size(), &v, &b, &why));
  bad = img;
  bad[0] = 'X';
  EXPECT_FALSE(check_firmware_image(bad.data(), bad.size(), nullptr, nullptr, nullptr));
  bad = img;
  bad[25] = 1;  // reserved header byte
  EXPECT_FALSE(check_firmware_image(bad.data(), bad.size(), nullptr, nullptr, nullptr));
  EXPECT_FALSE(check_firmware_image(img.data(), img.size() - 1, nullptr, nullptr, nullptr));
  EXPECT_FALSE(check_firmware_image(img.data(), 31, nullptr, nullptr, nullptr));
  EXPECT_FALSE(check_firmware_image(nullptr, 0, nullptr, nullptr, nullptr));
}

struct Transfer {
  int result = -1;  // 0 ok, 1 failure, 2 cancelled by the unit
  std::vector<uint32_t> lengths;
  int not_ready = 0;
  bool offset_behind = false;
};

// One status exchange: 0x22, then replies until 0x23 and 0x24 both arrived.
bool status(Host& h, uint32_t* len, uint32_t* off) {
  EXPECT_EQ(h.send(Msg().none(0x22)), TransferResult::Ok);
  bool have_len = false, have_off = false;
  for (int i = 0; i < 20 && !(have_len && have_off); ++i) {
    for (const auto& it : h.recv()) {
      if (it.cmd == 0x23) *len = it.num, have_len = true;
      if (it.cmd == 0x24) *off = it.num, have_off = true;
    }
  }
  return have_len && have_off;
}

Transfer download(Host& h, const std::vector<uint8_t>& img) {
  Transfer t;
  const uint32_t total = static_cast<uint32_t>(img.size());
  EXPECT_EQ(h.send(Msg().u32(0x21, total)), TransferResult::Ok);
  uint32_t pos = 0;
  int idle = 0;
  while (pos < total) {
    uint32_t len = 0, off = 0;
    if (!status(h, &len, &off)) return t;
    if (off < pos) t.offset_behind = true;
    if (len != 0 && off == pos) {
      t.lengths.push_back(len);
      while (len > 0 && pos < total) {
        const uint32_t n = std::min(len, total - pos);
        const uint32_t piece = std::min<uint32_t>(n, 61);
        Msg m;
        m.bytes(n > 61 ? 0x25 : 0x26, img.data() + pos, piece);
        EXPECT_EQ(h.send(m), TransferResult::Ok);
        pos += piece;
        len -= piece;
      }
      idle = 0;
      continue;
    }
    if (len == 0 && off == 0 && pos == 0) {
      t.result = 2;
      return t;
    }
    if (len == 0) ++t.not_ready;
    if (++idle > 1000) {
      t.result = 1;
      return t;
    }
    h.advance_ms(10);
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    uint32_t len = 255, off = 0;
    status(h, &len, &off);
    if (off == total && len == 0) {
      t.result = 0;
      return t;
    }
  }
  t.result = 1;
  return t;
}

TEST(FirmwareTransfer, UnitDrivenDownloadAdoptsTheNewVersion) {
  Host h(Model::Dorrit);
  const auto img = make_firmware_image(107, 311, 40000);
  const Transfer t = download(h, img);
  EXPECT_EQ(t.result, 0);
  EXPECT_FALSE(t.offset_behind);
  // Ranges vary in length, stay within 1..300, and some requests were "not ready".
  std::set<uint32_t> distinct(t.lengths.begin(), t.lengths.end());
  EXPECT_GT(distinct.size(), 20u);
  EXPECT_LE(*std::max_element(t.lengths.begin(), t.lengths.end()), 300u);
  EXPECT_GT(t.not_ready, 0);
  EXPECT_EQ(h.unit.info().version, 107);
  EXPECT_EQ(h.unit.info().build, 311);
  const auto items = h.ask(Msg().none(0x31));
  EXPECT_EQ(items[0].num, 107u);
  EXPECT_EQ(items[1].num, 311u);
  // The transfer is over: status keeps reporting completion.
  uint32_t len = 9, off = 0;
  ASSERT_TRUE(status(h, &len, &off));
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(off, 40000u);
}

TEST(FirmwareTransfer, DamagedImageIsRefusedAndTheOldVersionKept) {
  Host h(Model::Tarrow);
  auto img = make_firmware_image(200, 1, 3000);
  img[1234] ^= 0x40;
  const Transfer t = download(h, img);
  EXPECT_EQ(t.result, 1);
  EXPECT_EQ(h.unit.info().version, 105);
  EXPECT_EQ(h.unit.info().build, 42);
  uint32_t len = 9, off = 9;
  ASSERT_TRUE(status(h, &len, &off));
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(off, 0u);
}

TEST(FirmwareTransfer, ZeroOrOversizedTotalIsCancelledByTheUnit) {
  for (uint32_t total : {0u, (4u << 20) + 1}) {
    Host h(Model::Pellin);
    ASSERT_EQ(h.send(Msg().u32(0x21, total)), TransferResult::Ok);
    uint32_t len = 9, off = 9;
    ASSERT_TRUE(status(h, &len, &off));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(off, 0u);
    // Data sent anyway changes nothing.
    const uint8_t junk[61] = {};
    h.ask(Msg().bytes(0x25, junk, 61));
    ASSERT_TRUE(status(h, &len, &off));
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(h.unit.info().version, 105);
  }
}

TEST(FirmwareTransfer, RangesAreFullChunksClosedOnlyByAnExactLastChunk) {
  // A total whose first range is two full chunks, so that its rest is
  // exactly one chunk long.
  detail::FirmwareReceiver r;
  uint32_t total = 1000;
  for (;; ++total) {
    r.begin(total);
    if (r.status().length == 122) break;
  }
  const std::vector<uint8_t> data(200, 7);
  uint16_t v, b;
  EXPECT_FALSE(r.data(data.data(), 60, false, &v, &b));  // 0x25 of less than 61
  EXPECT_FALSE(r.data(data.data(), 10, true, &v, &b));   // 0x26 that leaves a rest
  EXPECT_EQ(r.received(), 0u);
  EXPECT_FALSE(r.data(data.data(), 61, false, &v, &b));
  EXPECT_EQ(r.received(), 61u);
  EXPECT_FALSE(r.data(data.data(), 61, false, &v, &b));  // the rest with the wrong item
  EXPECT_EQ(r.received(), 61u);
  EXPECT_EQ(r.status().offset, 61u);  // the open range, asked again
  EXPECT_FALSE(r.data(data.data(), 61, true, &v, &b));
  EXPECT_EQ(r.received(), 122u);
  EXPECT_EQ(r.refused(), 3u);
  EXPECT_FALSE(r.data(data.data(), 1, true, &v, &b));  // nothing asked for: out of order
  EXPECT_EQ(r.received(), 122u);
}

TEST(FirmwareTransfer, DataOutsideTheRequestedRangeIsIgnored) {
  Host h(Model::Quenby);
  const auto img = make_firmware_image(150, 2, 64);
  const uint8_t junk[61] = {1, 2, 3};
  ASSERT_EQ(h.send(Msg().u32(0x21, 64)), TransferResult::Ok);
  h.ask(Msg().bytes(0x25, junk, 61));  // before any request: not where the unit is
  uint32_t len = 0, off = 0;
  ASSERT_TRUE(status(h, &len, &off));
  EXPECT_EQ(off, 0u);
  ASSERT_GT(len, 0u);
  // More than the requested range in one item is refused whole.
  if (len < 61) {
    h.ask(Msg().bytes(0x26, img.data(), len + 1));
    uint32_t len2 = 0, off2 = 0;
    ASSERT_TRUE(status(h, &len2, &off2));
    EXPECT_EQ(off2, 0u);
    EXPECT_EQ(len2, len);  // the same range, asked again
  }
  // The proper download still completes and the image is intact.
  ASSERT_EQ(download(h, img).result, 0);
  EXPECT_EQ(h.unit.info().version, 150);
}

}  // namespace
}  // namespace korvel::sim::test
