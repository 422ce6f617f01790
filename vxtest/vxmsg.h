/* vxmsg: the unit's message codec. A message (at most 64 bytes) is a run of
 * items: command byte, payload-type byte (0..5), payload. Functions work on
 * caller-owned memory only; errors print "%s:%d:ERROR\n" and return 1; the
 * cursor never moves on an error and nothing is read or written past `size`. */
#ifndef VXMSG_H
#define VXMSG_H

#include <stdint.h>

#define VXMSG_MAX 64

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vxmsg_type_t {
  VXMSG_TYPE_END = 0,  /* only with command 0; ends the message */
  VXMSG_TYPE_NONE = 1, /* no payload */
  VXMSG_TYPE_U8 = 2,
  VXMSG_TYPE_U16 = 3,
  VXMSG_TYPE_U32 = 4,
  VXMSG_TYPE_BYTES = 5, /* length byte n, then n bytes */
} vxmsg_type_t;

typedef enum vxmsg_cmd_t {
  VXMSG_CMD_END = 0x00,
  VXMSG_CMD_DEBUG = 0x12,
  VXMSG_CMD_SET_13 = 0x13,
  VXMSG_CMD_GET_APS = 0x14,
  VXMSG_CMD_APS = 0x15,
  VXMSG_CMD_SET_17 = 0x17,
  VXMSG_CMD_HZ = 0x18,
  VXMSG_CMD_SET_1C = 0x1C,
  VXMSG_CMD_SET_1D = 0x1D,
  VXMSG_CMD_FWUP_BEGIN = 0x21,
  VXMSG_CMD_FWUP_STATUS = 0x22,
  VXMSG_CMD_FWUP_LENGTH = 0x23,
  VXMSG_CMD_FWUP_OFFSET = 0x24,
  VXMSG_CMD_FWUP_DATA = 0x25,
  VXMSG_CMD_FWUP_DATA_LAST = 0x26,
  VXMSG_CMD_CALL_27 = 0x27,
  VXMSG_CMD_ANSWER_28 = 0x28,
  VXMSG_CMD_GET_INFO = 0x31,
  VXMSG_CMD_VERSION = 0x32,
  VXMSG_CMD_BUILD = 0x33,
  VXMSG_CMD_PRODUCTNAME = 0x34,
  VXMSG_CMD_BUILDDATE = 0x35,
  VXMSG_CMD_BUILDTIME = 0x36,
  VXMSG_CMD_PRODUCTSIG = 0x37,
  VXMSG_CMD_GET_SERIAL = 0x38,
  VXMSG_CMD_SERIAL = 0x39,
  VXMSG_CMD_SET_3A = 0x3A,
  VXMSG_CMD_RECFUNC = 0x3B,
  VXMSG_CMD_ASSIGN_IN = 0x41,
  VXMSG_CMD_ASSIGN_OUT = 0x42,
  VXMSG_CMD_ASSIGN = 0x43,
  VXMSG_CMD_CH_TYPE = 0x61,
  VXMSG_CMD_CH_NO = 0x62,
  VXMSG_CMD_GET_METER = 0x71,
  VXMSG_CMD_METER = 0x72,
  VXMSG_CMD_SET_FADER = 0x81,
  VXMSG_CMD_SET_MUTE = 0x83,
  VXMSG_CMD_SET_STEREO = 0x86,
  VXMSG_CMD_READY = 0xA1,
  VXMSG_CMD_SET_A2 = 0xA2,
  VXMSG_CMD_FADER = 0xC1,
  VXMSG_CMD_MUTE = 0xC3,
  VXMSG_CMD_STEREO = 0xC6,
} vxmsg_cmd_t;

typedef enum vxmsg_data_ch_t {
  VXMSG_DATA_CH_LINE_OUT = 1,
  VXMSG_DATA_CH_MASTER_OUT = 2,
  VXMSG_DATA_CH_COMPUTER_OUT = 3,
  VXMSG_DATA_CH_ANALOG_IN = 4,
  VXMSG_DATA_CH_DIRECTMONITOR_OUT = 5,
  VXMSG_DATA_CH_SOURCE_6 = 6, /* meter records only */
  VXMSG_DATA_CH_SOURCE_7 = 7, /* meter records only */
  VXMSG_DATA_CH_SOURCE_8 = 8, /* meter records only */
  VXMSG_DATA_CH_LOOPBACK = 9, /* fader commands; channels 0 and 1 */
} vxmsg_data_ch_t;

typedef enum vxmsg_data_ch_type_t {
  VXMSG_DATA_CH_TYPE_MONO = 1,
  VXMSG_DATA_CH_TYPE_STEREO = 4,
} vxmsg_data_ch_type_t;

typedef struct vxmsg_buf_t {
  uint8_t* buf; /* message memory, owned by the caller */
  uint8_t size; /* capacity while building, received length while reading */
  uint8_t pos;  /* read or write position */
} vxmsg_buf_t;

unsigned vxmsg_init(vxmsg_buf_t* m, uint8_t* mem, uint8_t size);
unsigned vxmsg_rewind(vxmsg_buf_t* m);
/* Payload bytes a type-5 item could still carry. */
unsigned vxmsg_room(const vxmsg_buf_t* m);
/* Writes an item head and reserves its payload. For type 5 a byte count of 0
 * takes the whole remaining space. 0, or 1 when it does not fit (an end item
 * that does not fit is dropped with result 0). */
unsigned vxmsg_put_head(vxmsg_buf_t* m, uint8_t cmd, uint8_t type, uint8_t n, uint8_t** payload,
                        uint8_t* payload_size);
/* Head plus payload: `value` is the number for types 2..4, a pointer to the
 * bytes (cast to uintptr_t) for type 5. */
unsigned vxmsg_put(vxmsg_buf_t* m, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n);
/* Reads the item at pos and moves past it. 0 for an item; 1 at the end of the
 * message, on a truncated item or a type above 5. For type 5 *value is the
 * address of the bytes inside the message and *size their count; numbers are
 * zero-extended with *size their width. */
unsigned vxmsg_get(vxmsg_buf_t* m, uint32_t* cmd, uint32_t* type, uint64_t* value, uint8_t* size);
/* Name of a channel type, "UNKNOWN" for values without a name. */
const char* vxmsg_ch_name(uint32_t ch);

#ifdef __cplusplus
}
#endif

#endif
