#include "tunnel.h"

#include "devhost_wire.h"
#include "usbdevs_ctrl_req.h"

namespace korvel::devhost {

static uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
static uint32_t le32(const uint8_t* p) {
  return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16;
}

uint32_t check_ctrl_record(const uint8_t* in, size_t in_len, uint32_t out_len, ControlTransfer* t) {
  if (!in || in_len < USBDEVS_CTRL_REQ_MIN) return wire::kStatusInvalidParameter;
  t->device_to_host = (le32(in) & 1) != 0;
  t->wValue = le16(in + 10);
  t->wIndex = le16(in + 12);
  t->bRequest = in[15];
  uint32_t length;
  if (t->device_to_host) {
    if (out_len == 0) return wire::kStatusInvalidParameter;
    length = out_len;
    t->data = nullptr;
  } else {
    length = le32(in + 4);
    // The payload must lie inside the buffer the caller handed over.
    if (length > in_len - USBDEVS_CTRL_REQ_HEADER) return wire::kStatusInvalidParameter;
    t->data = in + USBDEVS_CTRL_REQ_HEADER;
  }
  if (length > USBDEVS_CTRL_MAX_DATA) return wire::kStatusInvalidParameter;
  t->length = uint16_t(length);
  return wire::kStatusSuccess;
}

}  // namespace korvel::devhost
