#include "fake_channel.h"

#include <cstring>

namespace fake {

Channel& channel() {
  static Channel c;
  return c;
}

void reset() {
  channel() = Channel();
  channel().idle_reply = reply({item_u8(VXMSG_CMD_READY, 1)});
}

Bytes item_u8(uint8_t cmd, uint8_t v) {
  return {cmd, VXMSG_TYPE_U8, v};
}
Bytes item_u16(uint8_t cmd, uint16_t v) {
  return {cmd, VXMSG_TYPE_U16, uint8_t(v), uint8_t(v >> 8)};
}
Bytes item_u32(uint8_t cmd, uint32_t v) {
  return {cmd, VXMSG_TYPE_U32, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes item_none(uint8_t cmd) {
  return {cmd, VXMSG_TYPE_NONE};
}
Bytes item_bytes(uint8_t cmd, const Bytes& b) {
  Bytes out{cmd, VXMSG_TYPE_BYTES, uint8_t(b.size())};
  out.insert(out.end(), b.begin(), b.end());
  return out;
}
Bytes item_text(uint8_t cmd, const char* text) {
  return item_bytes(cmd, Bytes(text, text + std::strlen(text)));
}
Bytes reply(std::initializer_list<Bytes> items) {
  Bytes out;
  for (const auto& i : items) out.insert(out.end(), i.begin(), i.end());
  out.resize(64, 0);
  return out;
}

}  // namespace fake

extern "C" {

unsigned usbdevs_init(usbdevs_ctx* ctx) {
  std::memset(ctx, 0, sizeof *ctx);
  return 0;
}

unsigned usbdevs_ctrl_out(usbdevs_handle, uint8_t bRequest, uint16_t, uint16_t, uint16_t length,
                          const void* data) {
  auto& c = fake::channel();
  if (c.exchange_depth != 1) ++c.unlocked_transfers;
  if (length == 0 || !data || bRequest != VXCTL_REQ_OUT) return 1;
  if (!c.out_results.empty()) {
    unsigned r = c.out_results.front();
    c.out_results.pop_front();
    if (r) return r;
  }
  fake::Bytes msg(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  c.sent.push_back(msg);
  if (c.on_message) c.on_message(msg);
  return 0;
}

unsigned usbdevs_ctrl_in(usbdevs_handle, uint8_t bRequest, uint16_t, uint16_t, uint16_t length, void* out) {
  auto& c = fake::channel();
  ++c.receives;
  if (c.exchange_depth != 1) ++c.unlocked_transfers;
  if (bRequest != VXCTL_REQ_IN) return 1;
  if (!c.in_results.empty()) {
    unsigned r = c.in_results.front();
    c.in_results.pop_front();
    if (r) return r;
  }
  // Copied without allocating: the fuzz target reads thousands of replies.
  const bool queued = !c.replies.empty();
  const fake::Bytes& r = queued ? c.replies.front() : c.idle_reply;
  const size_t n = r.size() < length ? r.size() : length;
  if (n) std::memcpy(out, r.data(), n);
  std::memset(static_cast<uint8_t*>(out) + n, 0, length - n);
  if (queued) c.replies.pop_front();
  return 0;
}

HANDLE usbdevs_exchange_begin(usbdevs_handle) {
  auto& c = fake::channel();
  if (c.exchange_depth++ > 0) ++c.nested_exchanges;  // would deadlock on the real mutex
  return &c;
}

int usbdevs_exchange_abandoned(void) {
  return fake::channel().abandoned_exchange ? 1 : 0;
}

int usbdevs_exchange_end(HANDLE) {
  --fake::channel().exchange_depth;
  return 0;
}

void Sleep(DWORD ms) {
  fake::channel().sleeps.push_back(ms);
}

}  // extern "C"
