// Test side of the message channel: builds command messages, reads replies
// with a decoder of its own (independent of the unit's reader) and drives a
// unit on a clock the test sets.
#ifndef KORVEL_SIM_UNIT_TESTS_TEST_HOST_H
#define KORVEL_SIM_UNIT_TESTS_TEST_HOST_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unit.h"

namespace korvel::sim::test {

struct TestItem {
  uint8_t cmd = 0;
  uint8_t type = 0;
  uint32_t num = 0;
  std::vector<uint8_t> bytes;
  std::string text() const { return std::string(bytes.begin(), bytes.end()); }
};

// Decodes a reply the way a host does: items up to an end item (zero fill),
// up to fewer than two remaining bytes, or up to a truncated item. `clean`
// is false when something other than zero fill follows the items.
inline std::vector<TestItem> decode(const std::vector<uint8_t>& r, bool* clean = nullptr) {
  std::vector<TestItem> out;
  size_t pos = 0;
  bool ok = true;
  while (r.size() - pos >= 2) {
    TestItem it;
    it.cmd = r[pos];
    it.type = r[pos + 1];
    size_t n = 0;
    if (it.type == 0) break;
    if (it.type == 1) {
      n = 2;
    } else if (it.type >= 2 && it.type <= 4) {
      const size_t w = it.type == 2 ? 1 : it.type == 3 ? 2 : 4;
      if (r.size() - pos < 2 + w) {
        ok = false;
        break;
      }
      for (size_t i = 0; i < w; ++i) it.num |= static_cast<uint32_t>(r[pos + 2 + i]) << (8 * i);
      n = 2 + w;
    } else if (it.type == 5) {
      if (r.size() - pos < 3 || r.size() - pos < 3u + r[pos + 2]) {
        ok = false;
        break;
      }
      it.bytes.assign(r.begin() + static_cast<long>(pos) + 3,
                      r.begin() + static_cast<long>(pos) + 3 + r[pos + 2]);
      n = 3u + r[pos + 2];
    } else {
      ok = false;
      break;
    }
    out.push_back(it);
    pos += n;
  }
  for (size_t i = pos; i < r.size(); ++i) ok = ok && r[i] == 0;
  if (clean) *clean = ok;
  return out;
}

// Encoder for command messages.
class Msg {
 public:
  Msg& none(uint8_t cmd) { return put(cmd, 1, {}); }
  Msg& u8(uint8_t cmd, uint8_t v) { return put(cmd, 2, {v}); }
  Msg& u16(uint8_t cmd, uint16_t v) { return put(cmd, 3, {uint8_t(v), uint8_t(v >> 8)}); }
  Msg& u32(uint8_t cmd, uint32_t v) {
    return put(cmd, 4, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  }
  Msg& bytes(uint8_t cmd, const void* p, size_t n) {
    std::vector<uint8_t> v{uint8_t(n)};
    v.insert(v.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    return put(cmd, 5, v);
  }
  Msg& ch(uint8_t type, uint8_t no) { return u8(0x61, type).u8(0x62, no); }
  Msg& assign(uint8_t in_type, uint8_t in_no, uint8_t out_type, uint8_t out_no) {
    ch(in_type, in_no).none(0x41);
    ch(out_type, out_no).none(0x42);
    return none(0x43);
  }
  // The end item, when it fits.
  std::vector<uint8_t> done() const {
    std::vector<uint8_t> b = b_;
    if (b.size() + 2 <= 64) b.insert(b.end(), {0, 0});
    return b;
  }

 private:
  Msg& put(uint8_t cmd, uint8_t type, std::vector<uint8_t> payload) {
    b_.push_back(cmd);
    b_.push_back(type);
    b_.insert(b_.end(), payload.begin(), payload.end());
    return *this;
  }
  std::vector<uint8_t> b_;
};

class Host {
 public:
  explicit Host(Model m, uint64_t start_us = 1'000'000)
      : clock_(std::make_shared<std::atomic<uint64_t>>(start_us)),
        unit(m, [c = clock_] { return c->load(); }) {}

  void advance_ms(uint64_t ms) { *clock_ += ms * 1000; }
  uint64_t now_us() const { return clock_->load(); }

  TransferResult send(const Msg& m) {
    const std::vector<uint8_t> b = m.done();
    return unit.control_out(0x1D, 0, 0, b.data(), static_cast<uint16_t>(b.size()));
  }
  std::vector<uint8_t> raw(uint16_t len = 64, TransferResult* res = nullptr) {
    std::vector<uint8_t> b(len, 0xEE);
    const TransferResult r = unit.control_in(0x1E, 0, 0, b.data(), len);
    if (res) *res = r;
    EXPECT_EQ(r, TransferResult::Ok);
    return b;
  }
  std::vector<TestItem> recv(uint16_t len = 64) {
    bool clean = false;
    auto items = decode(raw(len), &clean);
    EXPECT_TRUE(clean);
    return items;
  }
  // Reads replies until one carries nothing but the ready marker; returns
  // every item before it, markers left out.
  std::vector<TestItem> drain(int max_replies = 1000) {
    std::vector<TestItem> all;
    for (int i = 0; i < max_replies; ++i) {
      auto items = recv();
      const bool only_marker = items.size() == 1 && items[0].cmd == 0xA1;
      for (auto& it : items) {
        if (it.cmd != 0xA1) all.push_back(it);
      }
      if (only_marker) return all;
    }
    ADD_FAILURE() << "queue never drained";
    return all;
  }
  std::vector<TestItem> ask(const Msg& m) {
    EXPECT_EQ(send(m), TransferResult::Ok);
    return drain();
  }

 private:
  std::shared_ptr<std::atomic<uint64_t>> clock_;

 public:
  Unit unit;
};

inline const TestItem* find(const std::vector<TestItem>& items, uint8_t cmd) {
  for (const auto& it : items) {
    if (it.cmd == cmd) return &it;
  }
  return nullptr;
}

}  // namespace korvel::sim::test

#endif
