/* vxfwup: the firmware transfer. The unit drives it: it says which offset
 * and how many bytes it wants next, the host answers with data items of at
 * most 61 bytes, and at the end the unit confirms the whole image. Included
 * by vxctl.h, where callers find it beside the other commands. */
#ifndef VXFWUP_H
#define VXFWUP_H

#include <stdint.h>

#include "usbdevs_win.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Firmware transfer driven by the unit. 0 done, 1 failed (an empty image
 * included), 2 cancelled by the unit. *progress (optional) follows the bytes
 * delivered; the transfer prints its position lines ("pos = %u/%u"). */
unsigned vxctl_fw_update(usbdevs_handle* h, const uint8_t* image, uint32_t total, uint32_t* progress);

/* Where a firmware transfer stands when it reports progress. */
typedef enum vxctl_fw_phase_t {
  VXCTL_FW_SENDING = 0,    /* at the start and after each range the unit asked for */
  VXCTL_FW_CONFIRMING = 1, /* every byte delivered; before each request for the unit's confirmation */
  VXCTL_FW_DONE = 2        /* the unit confirmed the image */
} vxctl_fw_phase_t;

/* Called on the transferring thread; `delivered` of `total` bytes. */
typedef void (*vxctl_fw_progress_t)(void* context, vxctl_fw_phase_t phase, uint32_t delivered,
                                    uint32_t total);

/* vxctl_fw_update with its progress reported to `progress` (optional) instead
 * of position lines; results as vxctl_fw_update. */
unsigned vxctl_fw_update_progress(usbdevs_handle* h, const uint8_t* image, uint32_t total,
                                  vxctl_fw_progress_t progress, void* context);

#ifdef __cplusplus
}
#endif

#endif
