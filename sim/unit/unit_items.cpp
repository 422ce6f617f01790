// Item reader and answer-group builder of the simulated unit.
#include "unit_items.h"

#include <cstring>

namespace korvel::sim::detail {

bool ItemReader::next(Item* out) {
  const size_t r = size_ - pos_;
  if (r < 2) return false;
  const uint8_t* at = p_ + pos_;
  Item it;
  it.cmd = at[0];
  it.type = at[1];
  size_t item_size = 0;
  switch (it.type) {
    case kTypeNone:
      item_size = 2;
      break;
    case kTypeU8:
      if (r < 3) return false;
      it.num = at[2];
      item_size = 3;
      break;
    case kTypeU16:
      if (r < 4) return false;
      it.num = static_cast<uint32_t>(at[2]) | static_cast<uint32_t>(at[3]) << 8;
      item_size = 4;
      break;
    case kTypeU32:
      if (r < 6) return false;
      it.num = static_cast<uint32_t>(at[2]) | static_cast<uint32_t>(at[3]) << 8 |
               static_cast<uint32_t>(at[4]) << 16 | static_cast<uint32_t>(at[5]) << 24;
      item_size = 6;
      break;
    case kTypeBytes:
      if (r < 3 || r < static_cast<size_t>(at[2]) + 3) return false;
      it.n = at[2];
      it.bytes = at + 3;
      item_size = static_cast<size_t>(it.n) + 3;
      break;
    default:  // end item, or a type the unit does not know
      return false;
  }
  pos_ += item_size;
  *out = it;
  return true;
}

bool Group::head(uint8_t cmd, uint8_t type, size_t payload) {
  if (static_cast<size_t>(len_) + 2 + payload > b_.size()) return false;
  b_[len_] = cmd;
  b_[len_ + 1] = type;
  ++items_;
  return true;
}

bool Group::none(uint8_t cmd) {
  if (!head(cmd, kTypeNone, 0)) return false;
  len_ += 2;
  return true;
}

bool Group::u8(uint8_t cmd, uint8_t v) {
  if (!head(cmd, kTypeU8, 1)) return false;
  b_[len_ + 2] = v;
  len_ += 3;
  return true;
}

bool Group::u16(uint8_t cmd, uint16_t v) {
  if (!head(cmd, kTypeU16, 2)) return false;
  b_[len_ + 2] = static_cast<uint8_t>(v);
  b_[len_ + 3] = static_cast<uint8_t>(v >> 8);
  len_ += 4;
  return true;
}

bool Group::u32(uint8_t cmd, uint32_t v) {
  if (!head(cmd, kTypeU32, 4)) return false;
  for (int i = 0; i < 4; ++i) b_[len_ + 2 + i] = static_cast<uint8_t>(v >> (8 * i));
  len_ += 6;
  return true;
}

bool Group::num(uint8_t cmd, uint32_t v, int width) {
  switch (width) {
    case 1:
      return v <= 0xFF && u8(cmd, static_cast<uint8_t>(v));
    case 2:
      return v <= 0xFFFF && u16(cmd, static_cast<uint16_t>(v));
    case 4:
      return u32(cmd, v);
    default:
      return false;
  }
}

bool Group::padded(uint8_t cmd, const void* data, size_t n, size_t pad) {
  if (static_cast<size_t>(len_) + 3 > b_.size()) return false;
  const size_t room = b_.size() - len_ - 3;
  if (n > room) n = room;
  if (pad > room - n) pad = room - n;
  if (!head(cmd, kTypeBytes, n + pad + 1)) return false;
  b_[len_ + 2] = static_cast<uint8_t>(n + pad);
  if (n > 0) std::memcpy(&b_[len_ + 3], data, n);
  std::memset(&b_[len_ + 3 + n], 0, pad);
  len_ += static_cast<uint8_t>(n + pad + 3);
  return true;
}

bool Group::bytes(uint8_t cmd, const void* data, size_t n) {
  if (static_cast<size_t>(len_) + 3 > b_.size()) return false;
  const size_t room = b_.size() - len_ - 3;
  if (n > room) n = room;
  if (!head(cmd, kTypeBytes, n + 1)) return false;
  b_[len_ + 2] = static_cast<uint8_t>(n);
  if (n > 0) std::memcpy(&b_[len_ + 3], data, n);
  len_ += static_cast<uint8_t>(n + 3);
  return true;
}

}  // namespace korvel::sim::detail
