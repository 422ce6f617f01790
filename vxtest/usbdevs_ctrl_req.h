/* The control-request record of device-control code IOCTL_QUENBY_TUNNEL
 * (quenby_ioctl.h): a vendor
 * control transfer on the unit's default pipe, tunnelled through the driver's
 * private interface. Shared by the device library (which builds it) and the
 * driver (which executes it). All fields little-endian. */
#ifndef USBDEVS_CTRL_REQ_H
#define USBDEVS_CTRL_REQ_H

#include <stdint.h>

#define USBDEVS_DIR_HOST_TO_DEVICE 0u
#define USBDEVS_DIR_DEVICE_TO_HOST 1u
#define USBDEVS_CTRL_REQ_CONST 23u
#define USBDEVS_CTRL_REQ_HEADER 16u /* bytes before the payload */
#define USBDEVS_CTRL_REQ_MIN 20u    /* smallest input buffer ever sent */
#define USBDEVS_CTRL_MAX_DATA 64u   /* largest payload or reply */

#pragma pack(push, 1)
typedef struct usbdevs_ctrl_req {
  uint32_t direction; /* 0 host-to-device, 1 device-to-host */
  uint32_t length;    /* payload bytes that follow (host-to-device), else 0 */
  uint16_t constant;  /* 23 */
  uint16_t wValue;
  uint16_t wIndex;
  uint8_t reserved; /* 0 */
  uint8_t bRequest;
  uint8_t data[4]; /* payload; at least 4 bytes so the record is 20 long */
} usbdevs_ctrl_req;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(usbdevs_ctrl_req) == 20, "record layout");
#endif

#endif
