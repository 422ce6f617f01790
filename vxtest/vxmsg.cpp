/* vxmsg: item encoding and decoding on caller-owned message memory. */
#include "vxmsg.h"

#include <stdio.h>
#include <string.h>

static const char kModule[] = "../../vxtest/vxmsg";
#define VXMSG_ERR() printf("%s:%d:ERROR\n", kModule, __LINE__)

/* Bytes left after pos; 0 when a corrupted cursor has pos beyond size. */
static unsigned remaining(const vxmsg_buf_t* m) {
  return m->pos < m->size ? (unsigned)(m->size - m->pos) : 0;
}

unsigned vxmsg_init(vxmsg_buf_t* m, uint8_t* mem, uint8_t size) {
  m->buf = mem;
  m->size = size;
  m->pos = 0;
  return 0;
}

unsigned vxmsg_rewind(vxmsg_buf_t* m) {
  m->pos = 0;
  return 0;
}

unsigned vxmsg_room(const vxmsg_buf_t* m) {
  if ((unsigned)m->pos + 3 > m->size) return 0;
  return (unsigned)(m->size - 3 - m->pos);
}

unsigned vxmsg_put_head(vxmsg_buf_t* m, uint8_t cmd, uint8_t type, uint8_t n, uint8_t** payload,
                        uint8_t* payload_size) {
  unsigned r = remaining(m);
  if (payload) *payload = NULL;
  if (payload_size) *payload_size = 0;
  if (r < 2) {
    if (cmd == VXMSG_CMD_END) return 0; /* an end item that does not fit is dropped */
    VXMSG_ERR();
    return 1;
  }
  unsigned item, offset = 2, size;
  switch (type) {
    case VXMSG_TYPE_END:
      if (cmd != VXMSG_CMD_END) {
        VXMSG_ERR();
        return 1;
      }
      item = 2;
      size = 0;
      break;
    case VXMSG_TYPE_NONE:
      item = 2;
      size = 0;
      break;
    case VXMSG_TYPE_U8:
      if (r < 3) {
        VXMSG_ERR();
        return 1;
      }
      item = 3;
      size = 1;
      break;
    case VXMSG_TYPE_U16:
      if (r < 4) {
        VXMSG_ERR();
        return 1;
      }
      item = 4;
      size = 2;
      break;
    case VXMSG_TYPE_U32:
      if (r < 6) {
        VXMSG_ERR();
        return 1;
      }
      item = 6;
      size = 4;
      break;
    case VXMSG_TYPE_BYTES:
      if (r < 3 || (n > 0 && r < (unsigned)n + 3)) {
        VXMSG_ERR();
        return 1;
      }
      if (n == 0) n = (uint8_t)(r - 3);
      item = (unsigned)n + 3;
      size = n;
      offset = 3;
      break;
    default:
      VXMSG_ERR();
      return 1;
  }
  uint8_t* p = m->buf + m->pos;
  p[0] = cmd;
  p[1] = type;
  if (type == VXMSG_TYPE_BYTES) p[2] = n;
  if (payload) *payload = p + offset;
  if (payload_size) *payload_size = (uint8_t)size;
  m->pos = (uint8_t)(m->pos + item);
  return 0;
}

unsigned vxmsg_put(vxmsg_buf_t* m, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n) {
  uint8_t* payload = NULL;
  uint8_t size = 0;
  if (vxmsg_put_head(m, cmd, type, n, &payload, &size)) return 1;
  if (type == VXMSG_TYPE_BYTES) {
    if (value)
      memcpy(payload, (const void*)value, size);
    else
      memset(payload, 0, size);
  } else {
    for (uint8_t i = 0; i < size; ++i) payload[i] = (uint8_t)(value >> (8 * i));
  }
  return 0;
}

unsigned vxmsg_get(vxmsg_buf_t* m, uint32_t* cmd, uint32_t* type, uint64_t* value, uint8_t* size) {
  unsigned r = remaining(m);
  if (r < 2) return 1;
  const uint8_t* p = m->buf + m->pos;
  uint8_t t = p[1];
  unsigned item;
  uint64_t v = 0;
  uint8_t s = 0;
  switch (t) {
    case VXMSG_TYPE_END:
      return 1;
    case VXMSG_TYPE_NONE:
      item = 2;
      break;
    case VXMSG_TYPE_U8:
      if (r < 3) return 1;
      v = p[2];
      s = 1;
      item = 3;
      break;
    case VXMSG_TYPE_U16:
      if (r < 4) return 1;
      v = (uint64_t)p[2] | (uint64_t)p[3] << 8;
      s = 2;
      item = 4;
      break;
    case VXMSG_TYPE_U32:
      if (r < 6) return 1;
      v = (uint64_t)p[2] | (uint64_t)p[3] << 8 | (uint64_t)p[4] << 16 | (uint64_t)p[5] << 24;
      s = 4;
      item = 6;
      break;
    case VXMSG_TYPE_BYTES:
      if (r < 3 || r < (unsigned)p[2] + 3) return 1;
      v = (uint64_t)(uintptr_t)(p + 3);
      s = p[2];
      item = (unsigned)s + 3;
      break;
    default:
      printf("%s:%d:ERROR %#x\n", kModule, __LINE__, (unsigned)t);
      return 1;
  }
  m->pos = (uint8_t)(m->pos + item);
  if (cmd) *cmd = p[0];
  if (type) *type = t;
  if (value) *value = v;
  if (size) *size = s;
  return 0;
}

const char* vxmsg_ch_name(uint32_t ch) {
  static const struct {
    uint32_t ch;
    const char* name;
  } names[] = {
      {VXMSG_DATA_CH_LINE_OUT, "VXMSG_DATA_CH_LINE_OUT"},
      {VXMSG_DATA_CH_MASTER_OUT, "VXMSG_DATA_CH_MASTER_OUT"},
      {VXMSG_DATA_CH_COMPUTER_OUT, "VXMSG_DATA_CH_COMPUTER_OUT"},
      {VXMSG_DATA_CH_ANALOG_IN, "VXMSG_DATA_CH_ANALOG_IN"},
      {VXMSG_DATA_CH_DIRECTMONITOR_OUT, "VXMSG_DATA_CH_DIRECTMONITOR_OUT"},
  };
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
    if (names[i].ch == ch) return names[i].name;
  return "UNKNOWN";
}
