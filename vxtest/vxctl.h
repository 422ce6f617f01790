/* vxctl: commands on the unit over the message codec and the device channel.
 * Every function takes the device handle by reference and returns 0 for
 * success, nonzero for failure (vxctl_fw_update: 2 when the unit cancels).
 * Failures print "%s:%d:ERROR\n" on standard output. */
#ifndef VXCTL_H
#define VXCTL_H

#include <stdint.h>

#include "usbdevs_win.h"
#include "vxfwup.h"
#include "vxmsg.h"

#define VXCTL_REQ_OUT 0x1D /* host-to-device message */
#define VXCTL_REQ_IN 0x1E  /* device-to-host reply */

/* One meter reading, 8 bytes. */
#ifdef __cplusplus
extern "C" {
#endif

typedef struct vxctl_meter_t {
  uint32_t type;  /* vxmsg_data_ch_t */
  uint8_t number; /* channel number, from 1 */
  uint8_t reserved;
  uint16_t value;
} vxctl_meter_t;

#ifdef __cplusplus
static_assert(sizeof(vxctl_meter_t) == 8, "meter record layout");
#endif

/* Transport. */
unsigned vxctl_send(usbdevs_handle* h, vxmsg_buf_t* m);
unsigned vxctl_recv(usbdevs_handle* h, vxmsg_buf_t* m);
/* Polls replies until one says the unit is ready with nothing queued (reads
 * away answer items an earlier exchange left). */
unsigned vxctl_wait_ready(usbdevs_handle* h);

/* Message building: all items of the group or none (1 and cursor restored). */
unsigned vxctl_add_ch_item(vxmsg_buf_t* m, uint32_t ch_type, uint8_t ch_no, uint8_t cmd, uint8_t value);
unsigned vxctl_add_assign(vxmsg_buf_t* m, uint32_t in_type, uint8_t in_no, uint32_t out_type, uint8_t out_no);

/* Meter records in each model's layout. */
#define VXCTL_METER_RECORDS_TARROW 97
#define VXCTL_METER_RECORDS_QUENBY 94
#define VXCTL_METER_RECORDS_FAR_LINK 96
#define VXCTL_METER_RECORDS_PELLIN 62
#define VXCTL_METER_RECORDS_DORRIT 62
#define VXCTL_METER_RECORDS_MAX 97

/* Records in the layout of the model whose product name the unit reports
 * ("Tarrow", "Quenby", "Pellin", "Dorrit", "Far Link"); 0 for any other
 * name or none. */
uint8_t vxctl_meter_records(const char* product);

/* Meter command: fills up to `capacity` records; *count the number read. */
unsigned vxctl_get_meter(usbdevs_handle* h, vxctl_meter_t* records, uint8_t capacity, uint8_t* count);

/* Synchronous queries (identity, serial, rec-function, rate, power save). The
 * text forms clip to `capacity` and report the stored length in *len. */
unsigned vxctl_get_version(usbdevs_handle* h, uint16_t* version);
unsigned vxctl_get_build(usbdevs_handle* h, uint16_t* build);
unsigned vxctl_get_productname(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_productsig(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_builddate(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_buildtime(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_serial(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_recfunc(usbdevs_handle* h, uint8_t* bytes, uint8_t capacity, uint8_t* len);
unsigned vxctl_get_hz(usbdevs_handle* h, uint32_t* hz);
unsigned vxctl_get_aps(usbdevs_handle* h, uint8_t* aps);
unsigned vxctl_set_aps(usbdevs_handle* h, uint8_t aps);

/* Channel-scoped queries and settings. */
unsigned vxctl_get_fader(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* value);
unsigned vxctl_get_mute(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* value);
unsigned vxctl_get_stereo(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* mode);
unsigned vxctl_set_fader(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t value);
unsigned vxctl_set_mute(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t value);
unsigned vxctl_set_stereo(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t mode);
unsigned vxctl_assign(usbdevs_handle* h, uint32_t in_type, uint8_t in_no, uint32_t out_type, uint8_t out_no);
/* Asks for the assignment table and formats its answer into `text`, up to
 * the reply that finds the unit's queue empty; 1 when no table came. */
unsigned vxctl_dump_assign(usbdevs_handle* h, char* text, uint32_t capacity, uint32_t* len);

/* Settings the command set offers beside the panel's own, named after the
 * command codes they send; the names stay, as callers know them. */
unsigned vxctl_set_13(usbdevs_handle* h, uint8_t value);
unsigned vxctl_set_17(usbdevs_handle* h, uint32_t value);
unsigned vxctl_set_1c_1d(usbdevs_handle* h, int flag, uint32_t value);
unsigned vxctl_set_3a(usbdevs_handle* h, const char* text);
unsigned vxctl_set_a2(usbdevs_handle* h);
unsigned vxctl_call_27(usbdevs_handle* h, uint32_t value, uint32_t* answer);
/* Reads one reply and returns the last debug text in it (clipped). */
unsigned vxctl_read_debug(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len);

/* The firmware transfer (vxctl_fw_update, vxctl_fw_update_progress) is in
 * vxfwup.h, included above. */

#ifdef __cplusplus
}
#endif

#endif
