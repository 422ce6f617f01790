// A scripted unit behind the device channel's two transfer functions, linked
// in place of usbdevs_win so the command layer's budgets, retries and sleeps
// run without a host and without real waits.
#ifndef VXTEST_FAKE_CHANNEL_H
#define VXTEST_FAKE_CHANNEL_H

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "vxctl.h"

namespace fake {

using Bytes = std::vector<uint8_t>;

struct Channel {
  // Results the next transfers return before any reply logic runs (2 busy, 1 gone).
  std::deque<unsigned> out_results;
  std::deque<unsigned> in_results;
  // Called for every message the host sends; may queue replies.
  std::function<void(const Bytes&)> on_message;
  // Replies handed out in order; when empty, `idle_reply` is used.
  std::deque<Bytes> replies;
  Bytes idle_reply;
  std::vector<Bytes> sent;
  std::vector<uint32_t> sleeps;
  int receives = 0;
  // The exchange lock: how deep it is held now, and transfers made without it.
  int exchange_depth = 0;
  int unlocked_transfers = 0;
  int nested_exchanges = 0;
  // Every exchange takes the lock over from a holder that ended inside its own.
  bool abandoned_exchange = false;
};

Channel& channel();
void reset();

// Reply builders.
Bytes item_u8(uint8_t cmd, uint8_t v);
Bytes item_u16(uint8_t cmd, uint16_t v);
Bytes item_u32(uint8_t cmd, uint32_t v);
Bytes item_none(uint8_t cmd);
Bytes item_bytes(uint8_t cmd, const Bytes& b);
Bytes item_text(uint8_t cmd, const char* text);
// Concatenates items, then zero-fills to 64 bytes.
Bytes reply(std::initializer_list<Bytes> items);

}  // namespace fake

#endif
