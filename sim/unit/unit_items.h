// The unit's own view of message items: a reader for command messages that
// arrive from the host (outside input: every length is checked before a byte
// is read) and a builder for answer groups that go into the reply queue.
#ifndef KORVEL_SIM_UNIT_ITEMS_H
#define KORVEL_SIM_UNIT_ITEMS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvel::sim::detail {

enum ItemType : uint8_t {
  kTypeEnd = 0,
  kTypeNone = 1,
  kTypeU8 = 2,
  kTypeU16 = 3,
  kTypeU32 = 4,
  kTypeBytes = 5
};

constexpr size_t kMessageMax = 64;  // one control transfer
constexpr size_t kMarkerSize = 3;   // the ready marker 0xA1 as a u8 item
// An answer group is at most this long, so that it always fits one reply
// together with the ready marker.
constexpr size_t kGroupMax = kMessageMax - kMarkerSize;

struct Item {
  uint8_t cmd = 0;
  uint8_t type = kTypeEnd;
  uint32_t num = 0;                // numeric payload, zero-extended
  const uint8_t* bytes = nullptr;  // type 5: the bytes inside the message
  uint8_t n = 0;                   // type 5: their count
  bool numeric() const { return type == kTypeU8 || type == kTypeU16 || type == kTypeU32; }
};

// Walks a received command message. It ends at an end item, where fewer than
// two bytes remain, at an item whose payload runs past the message, and at an
// unknown payload type.
class ItemReader {
 public:
  ItemReader(const uint8_t* data, size_t size) : p_(data), size_(data ? size : 0) {}
  bool next(Item* out);

 private:
  const uint8_t* p_;
  size_t size_;
  size_t pos_ = 0;
};

// Items that must reach the host in the same reply (a channel-qualified
// answer keeps its 0x61/0x62 items next to the value they qualify).
class Group {
 public:
  bool none(uint8_t cmd);
  bool u8(uint8_t cmd, uint8_t v);
  bool u16(uint8_t cmd, uint16_t v);
  bool u32(uint8_t cmd, uint32_t v);
  // A numeric item of `width` bytes (1, 2 or 4); false when v does not fit.
  bool num(uint8_t cmd, uint32_t v, int width);
  // Bytes beyond the group's room are cut off.
  bool bytes(uint8_t cmd, const void* data, size_t n);
  // Bytes followed by `pad` zero bytes, both cut to the group's room.
  bool padded(uint8_t cmd, const void* data, size_t n, size_t pad);

  size_t size() const { return len_; }
  const uint8_t* data() const { return b_.data(); }
  int items() const { return items_; }

 private:
  bool head(uint8_t cmd, uint8_t type, size_t payload);
  std::array<uint8_t, kGroupMax> b_{};
  uint8_t len_ = 0;
  uint8_t items_ = 0;
};

}  // namespace korvel::sim::detail

#endif
