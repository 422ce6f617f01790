// The control-request tunnel as the host serves it until clients are routed
// through the driver: the record checks a driver makes before it sends a
// vendor control transfer, and the transfer itself on the unit.
#ifndef KORVEL_DEVHOST_TUNNEL_H
#define KORVEL_DEVHOST_TUNNEL_H

#include <cstddef>
#include <cstdint>

namespace korvel::devhost {

struct ControlTransfer {
  bool device_to_host = false;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t length = 0;
  const uint8_t* data = nullptr;  // host-to-device payload inside the record
};

// Checks a 0x222000 input record against the caller's buffers. Returns
// STATUS_SUCCESS and fills *t, or STATUS_INVALID_PARAMETER when the record is
// shorter than 20 bytes, a device-to-host request has no output buffer, the
// payload would run past the input buffer, or the length exceeds 64 bytes.
uint32_t check_ctrl_record(const uint8_t* in, size_t in_len, uint32_t out_len, ControlTransfer* t);

}  // namespace korvel::devhost

#endif
