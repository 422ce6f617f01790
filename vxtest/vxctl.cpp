/* vxctl: the transport, message building and the synchronous commands. */
#include "vxctl.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static const char kModule[] = "../../vxtest/vxctl";
#define VXCTL_ERR() printf("%s:%d:ERROR\n", kModule, __LINE__)

enum {
  kSendAttempts = 3,
  kReadyPolls = 1000,
  kAnswerBudget = 100,
  kCall27Budget = 3000,
  kPollMs = 10,
  kFwStatusReplies = 10000,
  kFwIdleLimit = 1000,
  kFwCompletionAttempts = 60,
  kFwCompletionTries = 10,
  kFwChunk = 61,
};

static usbdevs_handle handle_of(usbdevs_handle* h) {
  return h ? *h : NULL;
}

/* Exchanges: everything between a message and the last reply that answers it
 * runs under the computer-wide exchange lock, so that another program's
 * messages and replies cannot come in between. */
#define EXCHANGE(call)                       \
  do {                                       \
    HANDLE lock_ = usbdevs_exchange_begin(); \
    if (lock_ == NULL) {                     \
      VXCTL_ERR();                           \
      return 1;                              \
    }                                        \
    unsigned result_ = (call);               \
    usbdevs_exchange_end(lock_);             \
    return result_;                          \
  } while (0)

static int is_numeric(uint32_t type) {
  return type == VXMSG_TYPE_U8 || type == VXMSG_TYPE_U16 || type == VXMSG_TYPE_U32;
}

/* Length of a text item up to its first zero byte. */
static int text_len(const uint8_t* p, uint8_t n) {
  int len = 0;
  while (len < n && p[len]) ++len;
  return len;
}

unsigned vxctl_send(usbdevs_handle* h, vxmsg_buf_t* m) {
  if (m->pos > VXMSG_MAX) {
    VXCTL_ERR();
    return 1;
  }
  for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
    unsigned r = usbdevs_ctrl_out(handle_of(h), VXCTL_REQ_OUT, 0, 0, m->pos, m->buf);
    if (r == 0) return 0;
    VXCTL_ERR();
    if (r != 2) return 1;
    if (attempt < kSendAttempts) Sleep(kPollMs);
  }
  VXCTL_ERR();
  return 1;
}

/* One reply; the channel's result (0, 1, or 2 for a busy unit). */
static unsigned recv_reply(usbdevs_handle* h, vxmsg_buf_t* m) {
  vxmsg_rewind(m);
  if (m->size > VXMSG_MAX) {
    VXCTL_ERR();
    m->size = VXMSG_MAX; /* read back no more than was received */
  }
  unsigned r = usbdevs_ctrl_in(handle_of(h), VXCTL_REQ_IN, 0, 0, m->size, m->buf);
  if (r) VXCTL_ERR();
  return r;
}

unsigned vxctl_recv(usbdevs_handle* h, vxmsg_buf_t* m) {
  return recv_reply(h, m) ? 1 : 0;
}

unsigned vxctl_wait_ready(usbdevs_handle* h) {
  for (int poll = 0; poll < kReadyPolls; ++poll) {
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    unsigned r = recv_reply(h, &m);
    if (r == 2) { /* a failed USB transfer: the unit is busy */
      Sleep(kPollMs);
      continue;
    }
    if (r) { /* gone or hung: waiting longer cannot help */
      VXCTL_ERR();
      return 1;
    }
    int seen = 0;
    uint32_t cmd;
    uint64_t value;
    while (vxmsg_get(&m, &cmd, NULL, &value, NULL) == 0) {
      if (cmd != VXMSG_CMD_READY) continue;
      if (value != 0) return 0;
      seen = 1;
    }
    if (!seen) return 0; /* a reply without a marker does not say busy */
    Sleep(kPollMs);
  }
  VXCTL_ERR();
  return 1;
}

unsigned vxctl_add_ch_item(vxmsg_buf_t* m, uint32_t ch_type, uint8_t ch_no, uint8_t cmd, uint8_t value) {
  if (!m) {
    VXCTL_ERR();
    return 1;
  }
  vxmsg_buf_t saved = *m;
  if (vxmsg_put(m, VXMSG_CMD_CH_TYPE, VXMSG_TYPE_U8, (uint8_t)ch_type, 0) ||
      vxmsg_put(m, VXMSG_CMD_CH_NO, VXMSG_TYPE_U8, ch_no, 0) || vxmsg_put(m, cmd, VXMSG_TYPE_U8, value, 0)) {
    *m = saved;
    VXCTL_ERR();
    return 1;
  }
  return 0;
}

unsigned vxctl_add_assign(vxmsg_buf_t* m, uint32_t in_type, uint8_t in_no, uint32_t out_type,
                          uint8_t out_no) {
  if (!m) {
    VXCTL_ERR();
    return 1;
  }
  vxmsg_buf_t saved = *m;
  if (vxmsg_put(m, VXMSG_CMD_CH_TYPE, VXMSG_TYPE_U8, (uint8_t)in_type, 0) ||
      vxmsg_put(m, VXMSG_CMD_CH_NO, VXMSG_TYPE_U8, in_no, 0) ||
      vxmsg_put(m, VXMSG_CMD_ASSIGN_IN, VXMSG_TYPE_NONE, 0, 0) ||
      vxmsg_put(m, VXMSG_CMD_CH_TYPE, VXMSG_TYPE_U8, (uint8_t)out_type, 0) ||
      vxmsg_put(m, VXMSG_CMD_CH_NO, VXMSG_TYPE_U8, out_no, 0) ||
      vxmsg_put(m, VXMSG_CMD_ASSIGN_OUT, VXMSG_TYPE_NONE, 0, 0) ||
      vxmsg_put(m, VXMSG_CMD_ASSIGN, VXMSG_TYPE_NONE, 0, 0)) {
    *m = saved;
    VXCTL_ERR();
    return 1;
  }
  return 0;
}

/* Sends a finished message (end item appended when it fits) after the unit
 * said it is ready. */
static unsigned send_when_ready(usbdevs_handle* h, vxmsg_buf_t* m) {
  if (vxmsg_put(m, VXMSG_CMD_END, VXMSG_TYPE_END, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  if (vxctl_wait_ready(h)) {
    VXCTL_ERR();
    return 1;
  }
  if (vxctl_send(h, m)) {
    VXCTL_ERR();
    return 1;
  }
  return 0;
}

/* One item and the end item, sent when ready. */
static unsigned send_item_unlocked(usbdevs_handle* h, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n) {
  uint8_t mem[VXMSG_MAX];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  if (vxmsg_put(&m, cmd, type, value, n)) {
    VXCTL_ERR();
    return 1;
  }
  return send_when_ready(h, &m);
}

static unsigned send_item(usbdevs_handle* h, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n) {
  EXCHANGE(send_item_unlocked(h, cmd, type, value, n));
}

static unsigned send_ch_item_unlocked(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t cmd,
                                      int with_value, uint8_t value) {
  uint8_t mem[VXMSG_MAX];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  unsigned r;
  if (with_value) {
    r = vxctl_add_ch_item(&m, ch_type, ch_no, cmd, value);
  } else {
    r = vxmsg_put(&m, VXMSG_CMD_CH_TYPE, VXMSG_TYPE_U8, (uint8_t)ch_type, 0) ||
        vxmsg_put(&m, VXMSG_CMD_CH_NO, VXMSG_TYPE_U8, ch_no, 0) || vxmsg_put(&m, cmd, VXMSG_TYPE_NONE, 0, 0);
  }
  if (r) {
    VXCTL_ERR();
    return 1;
  }
  return send_when_ready(h, &m);
}

static unsigned send_ch_item(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t cmd, int with_value,
                             uint8_t value) {
  EXCHANGE(send_ch_item_unlocked(h, ch_type, ch_no, cmd, with_value, value));
}

/* What an awaited answer may look like. */
enum answer_kind {
  ANSWER_NUMBER, /* any numeric item */
  ANSWER_TEXT,   /* bytes, or a u16 number stored as two bytes (identity) */
  ANSWER_BYTES,  /* bytes only */
};

typedef struct answer_t {
  uint8_t cmd;
  enum answer_kind kind;
  int scoped; /* channel-qualified: must follow the requested channel */
  uint32_t ch_type;
  uint8_t ch_no;
  int print_debug;
  int budget;
  /* outputs */
  uint32_t number;
  uint8_t* bytes;
  uint8_t capacity;
  uint8_t len;
} answer_t;

/* Reads replies until the awaited item arrives or the budget is spent. */
static unsigned await_answer(usbdevs_handle* h, answer_t* a) {
  uint32_t cur_type = a->ch_type;
  uint32_t cur_no = 0;
  for (int reply = 0; reply < a->budget; ++reply) {
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    if (vxctl_recv(h, &m)) {
      VXCTL_ERR();
      return 1;
    }
    uint32_t cmd, type;
    uint64_t value;
    uint8_t size;
    while (vxmsg_get(&m, &cmd, &type, &value, &size) == 0) {
      if (cmd == VXMSG_CMD_CH_TYPE) cur_type = (uint32_t)value;
      if (cmd == VXMSG_CMD_CH_NO) cur_no = (uint32_t)value;
      if (cmd == VXMSG_CMD_DEBUG && a->print_debug && type == VXMSG_TYPE_BYTES) {
        const uint8_t* text = (const uint8_t*)(uintptr_t)value;
        printf("\ndbg:%.*s\n", text_len(text, size), (const char*)text);
      }
      if (cmd != a->cmd) continue;
      if (a->scoped && (cur_type != a->ch_type || cur_no != a->ch_no)) continue;

      /* The first awaited item decides this reply. */
      if (a->kind == ANSWER_NUMBER) {
        if (!is_numeric(type)) {
          VXCTL_ERR();
          break;
        }
        a->number = (uint32_t)value;
        return 0;
      }
      if (type == VXMSG_TYPE_BYTES) {
        /* Identity texts end at their first zero byte: units pad them. */
        const uint8_t* p = (const uint8_t*)(uintptr_t)value;
        uint8_t n = a->kind == ANSWER_TEXT ? (uint8_t)text_len(p, size) : size;
        if (n > a->capacity) n = a->capacity;
        if (n == 0) break; /* an empty answer is not an answer */
        memcpy(a->bytes, p, n);
        a->len = n;
        return 0;
      }
      /* Version and build: a number in whatever width the unit chose. */
      if (a->kind == ANSWER_TEXT && is_numeric(type) && value <= 0xFFFF && a->capacity >= 2) {
        a->bytes[0] = (uint8_t)value;
        a->bytes[1] = (uint8_t)(value >> 8);
        a->len = 2;
        return 0;
      }
      VXCTL_ERR();
      break;
    }
    Sleep(kPollMs);
  }
  VXCTL_ERR();
  return 1;
}

static void answer_init(answer_t* a, uint8_t cmd, enum answer_kind kind) {
  memset(a, 0, sizeof *a);
  a->cmd = cmd;
  a->kind = kind;
  a->budget = kAnswerBudget;
}

/* A request without payload whose answer is a text or byte string (debug
 * items met on the way are printed). */
static unsigned text_query_unlocked(usbdevs_handle* h, uint8_t request, uint8_t answer, enum answer_kind kind,
                                    uint8_t* out, uint8_t capacity, uint8_t* len) {
  if (send_item_unlocked(h, request, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  answer_t a;
  answer_init(&a, answer, kind);
  a.print_debug = 1;
  a.bytes = out;
  a.capacity = capacity;
  if (await_answer(h, &a)) {
    VXCTL_ERR();
    return 1;
  }
  if (len) *len = a.len;
  return 0;
}

static unsigned text_query(usbdevs_handle* h, uint8_t request, uint8_t answer, enum answer_kind kind,
                           uint8_t* out, uint8_t capacity, uint8_t* len) {
  EXCHANGE(text_query_unlocked(h, request, answer, kind, out, capacity, len));
}

/* 0x31 and one of its answers 0x32..0x37. */
static unsigned identity_query(usbdevs_handle* h, uint8_t cmd, uint8_t* out, uint8_t capacity, uint8_t* len) {
  return text_query(h, VXMSG_CMD_GET_INFO, cmd, ANSWER_TEXT, out, capacity, len);
}

static unsigned number_query_unlocked(usbdevs_handle* h, uint8_t request, uint8_t answer, uint32_t* number) {
  if (send_item_unlocked(h, request, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  answer_t a;
  answer_init(&a, answer, ANSWER_NUMBER);
  if (await_answer(h, &a)) {
    VXCTL_ERR();
    return 1;
  }
  *number = a.number;
  return 0;
}

static unsigned number_query(usbdevs_handle* h, uint8_t request, uint8_t answer, uint32_t* number) {
  EXCHANGE(number_query_unlocked(h, request, answer, number));
}

static unsigned channel_query_unlocked(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t cmd,
                                       uint8_t* value) {
  if (send_ch_item_unlocked(h, ch_type, ch_no, cmd, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  answer_t a;
  answer_init(&a, cmd, ANSWER_NUMBER);
  a.scoped = 1;
  a.ch_type = ch_type;
  a.ch_no = ch_no;
  if (await_answer(h, &a)) {
    VXCTL_ERR();
    return 1;
  }
  *value = (uint8_t)a.number;
  return 0;
}

static unsigned channel_query(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t cmd,
                              uint8_t* value) {
  EXCHANGE(channel_query_unlocked(h, ch_type, ch_no, cmd, value));
}

static unsigned get_meter_unlocked(usbdevs_handle* h, vxctl_meter_t* records, uint8_t capacity,
                                   uint8_t* count) {
  uint8_t mem[VXMSG_MAX];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  if (vxmsg_put(&m, VXMSG_CMD_GET_METER, VXMSG_TYPE_NONE, 0, 0) ||
      vxmsg_put(&m, VXMSG_CMD_END, VXMSG_TYPE_END, 0, 0) || vxctl_send(h, &m)) {
    VXCTL_ERR();
    return 1;
  }
  unsigned i = 0;
  while (i < capacity) {
    int advanced = 0;
    for (int reply = 0; reply < kAnswerBudget && !advanced; ++reply) {
      vxmsg_init(&m, mem, sizeof mem);
      if (vxctl_recv(h, &m)) {
        VXCTL_ERR();
        return 1;
      }
      uint32_t cmd;
      uint64_t value;
      while (vxmsg_get(&m, &cmd, NULL, &value, NULL) == 0) {
        if (i >= capacity) continue; /* entries beyond the capacity are dropped */
        if (cmd == VXMSG_CMD_CH_TYPE) {
          records[i].type = (uint32_t)value;
        } else if (cmd == VXMSG_CMD_CH_NO) {
          records[i].number = (uint8_t)value;
        } else if (cmd == VXMSG_CMD_METER) {
          records[i].reserved = 0;
          records[i].value = (uint16_t)value;
          ++i;
          advanced = 1;
        }
      }
      if (!advanced) Sleep(kPollMs);
    }
    if (!advanced) {
      VXCTL_ERR();
      return 1;
    }
  }
  if (count) *count = (uint8_t)i;
  return 0;
}

unsigned vxctl_get_meter(usbdevs_handle* h, vxctl_meter_t* records, uint8_t capacity, uint8_t* count) {
  EXCHANGE(get_meter_unlocked(h, records, capacity, count));
}

unsigned vxctl_get_version(usbdevs_handle* h, uint16_t* version) {
  uint8_t b[2] = {0, 0};
  uint8_t len = 0;
  if (identity_query(h, VXMSG_CMD_VERSION, b, 2, &len)) return 1;
  *version = (uint16_t)(b[0] | (len > 1 ? b[1] << 8 : 0));
  return 0;
}

unsigned vxctl_get_build(usbdevs_handle* h, uint16_t* build) {
  uint8_t b[2] = {0, 0};
  uint8_t len = 0;
  if (identity_query(h, VXMSG_CMD_BUILD, b, 2, &len)) return 1;
  *build = (uint16_t)(b[0] | (len > 1 ? b[1] << 8 : 0));
  return 0;
}

unsigned vxctl_get_productname(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  return identity_query(h, VXMSG_CMD_PRODUCTNAME, (uint8_t*)text, capacity, len);
}

unsigned vxctl_get_productsig(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  return identity_query(h, VXMSG_CMD_PRODUCTSIG, (uint8_t*)text, capacity, len);
}

unsigned vxctl_get_builddate(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  return identity_query(h, VXMSG_CMD_BUILDDATE, (uint8_t*)text, capacity, len);
}

unsigned vxctl_get_buildtime(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  return identity_query(h, VXMSG_CMD_BUILDTIME, (uint8_t*)text, capacity, len);
}

unsigned vxctl_get_serial(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  return text_query(h, VXMSG_CMD_GET_SERIAL, VXMSG_CMD_SERIAL, ANSWER_BYTES, (uint8_t*)text, capacity, len);
}

unsigned vxctl_get_recfunc(usbdevs_handle* h, uint8_t* bytes, uint8_t capacity, uint8_t* len) {
  return text_query(h, VXMSG_CMD_RECFUNC, VXMSG_CMD_RECFUNC, ANSWER_BYTES, bytes, capacity, len);
}

unsigned vxctl_get_hz(usbdevs_handle* h, uint32_t* hz) {
  return number_query(h, VXMSG_CMD_HZ, VXMSG_CMD_HZ, hz);
}

unsigned vxctl_get_aps(usbdevs_handle* h, uint8_t* aps) {
  uint32_t v;
  if (number_query(h, VXMSG_CMD_GET_APS, VXMSG_CMD_APS, &v)) return 1;
  *aps = (uint8_t)v;
  return 0;
}

unsigned vxctl_set_aps(usbdevs_handle* h, uint8_t aps) {
  return send_item(h, VXMSG_CMD_APS, VXMSG_TYPE_U8, aps, 0);
}

unsigned vxctl_get_fader(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* value) {
  return channel_query(h, ch_type, ch_no, VXMSG_CMD_FADER, value);
}

unsigned vxctl_get_mute(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* value) {
  return channel_query(h, ch_type, ch_no, VXMSG_CMD_MUTE, value);
}

unsigned vxctl_get_stereo(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t* mode) {
  return channel_query(h, ch_type, ch_no, VXMSG_CMD_STEREO, mode);
}

unsigned vxctl_set_fader(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t value) {
  return send_ch_item(h, ch_type, ch_no, VXMSG_CMD_SET_FADER, 1, value);
}

unsigned vxctl_set_mute(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t value) {
  return send_ch_item(h, ch_type, ch_no, VXMSG_CMD_SET_MUTE, 1, value);
}

unsigned vxctl_set_stereo(usbdevs_handle* h, uint32_t ch_type, uint8_t ch_no, uint8_t mode) {
  return send_ch_item(h, ch_type, ch_no, VXMSG_CMD_SET_STEREO, 1, mode);
}

static unsigned send_assign(usbdevs_handle* h, uint32_t in_type, uint8_t in_no, uint32_t out_type,
                            uint8_t out_no) {
  uint8_t mem[VXMSG_MAX];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  if (vxctl_add_assign(&m, in_type, in_no, out_type, out_no)) {
    VXCTL_ERR();
    return 1;
  }
  return send_when_ready(h, &m);
}

unsigned vxctl_assign(usbdevs_handle* h, uint32_t in_type, uint8_t in_no, uint32_t out_type, uint8_t out_no) {
  EXCHANGE(send_assign(h, in_type, in_no, out_type, out_no));
}

/* Appends formatted text; 1 (and nothing appended) when it does not fit. */
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
static int
append_text(char* text, uint32_t capacity, uint32_t* len, const char* fmt, ...) {
  uint32_t left = capacity - *len;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(text + *len, left, fmt, ap);
  va_end(ap);
  if (n < 0 || (uint32_t)n >= left) {
    text[*len] = 0;
    return 1;
  }
  *len += (uint32_t)n;
  return 0;
}

static unsigned dump_assign_unlocked(usbdevs_handle* h, char* text, uint32_t capacity, uint32_t* len) {
  text[0] = 0;
  uint32_t used = 0;
  if (len) *len = 0;
  if (send_assign(h, 0, 0, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  uint32_t cur_type = 0, cur_no = 0, src_type = 0, src_no = 0, dst_type = 0, dst_no = 0;
  for (int reply = 0; reply < 4; ++reply) {
    Sleep(100);
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    if (vxctl_recv(h, &m)) {
      VXCTL_ERR();
      return 1;
    }
    uint32_t cmd, type;
    uint64_t value;
    uint8_t size;
    while (vxmsg_get(&m, &cmd, &type, &value, &size) == 0) {
      int full = 0;
      switch (cmd) {
        case VXMSG_CMD_CH_TYPE:
          cur_type = (uint32_t)value;
          break;
        case VXMSG_CMD_CH_NO:
          cur_no = (uint32_t)value;
          break;
        case VXMSG_CMD_ASSIGN_IN:
          src_type = cur_type;
          src_no = cur_no;
          break;
        case VXMSG_CMD_ASSIGN_OUT:
          dst_type = cur_type;
          dst_no = cur_no;
          break;
        case VXMSG_CMD_ASSIGN:
          full = append_text(text, capacity, &used, "%s:%u -> %s:%u\n", vxmsg_ch_name(src_type), src_no,
                             vxmsg_ch_name(dst_type), dst_no);
          break;
        case VXMSG_CMD_READY:
          break;
        default:
          full = append_text(text, capacity, &used, "cmd = %#x, type=%u, data = %u, size = %u\n", cmd, type,
                             type == VXMSG_TYPE_BYTES ? 0u : (unsigned)value, (unsigned)size);
          break;
      }
      if (full) {
        VXCTL_ERR();
        if (len) *len = used;
        return 1;
      }
    }
    if (len) *len = used;
  }
  return 0;
}

unsigned vxctl_dump_assign(usbdevs_handle* h, char* text, uint32_t capacity, uint32_t* len) {
  if (!text || capacity == 0) {
    VXCTL_ERR();
    return 1;
  }
  EXCHANGE(dump_assign_unlocked(h, text, capacity, len));
}

unsigned vxctl_set_13(usbdevs_handle* h, uint8_t value) {
  return send_item(h, VXMSG_CMD_SET_13, VXMSG_TYPE_U8, value, 0);
}

unsigned vxctl_set_17(usbdevs_handle* h, uint32_t value) {
  return send_item(h, VXMSG_CMD_SET_17, VXMSG_TYPE_U32, value, 0);
}

unsigned vxctl_set_1c_1d(usbdevs_handle* h, int flag, uint32_t value) {
  return send_item(h, flag ? VXMSG_CMD_SET_1C : VXMSG_CMD_SET_1D, VXMSG_TYPE_U32, value, 0);
}

unsigned vxctl_set_3a(usbdevs_handle* h, const char* text) {
  size_t n = text ? strlen(text) : 0;
  /* A zero byte count would mean "the rest of the message" to the codec and
   * send bytes from beyond the text. */
  if (n == 0 || n > VXMSG_MAX - 3) {
    VXCTL_ERR();
    return 1;
  }
  return send_item(h, VXMSG_CMD_SET_3A, VXMSG_TYPE_BYTES, (uintptr_t)text, (uint8_t)n);
}

unsigned vxctl_set_a2(usbdevs_handle* h) {
  return send_item(h, VXMSG_CMD_SET_A2, VXMSG_TYPE_U8, 0, 0);
}

static unsigned call_27_unlocked(usbdevs_handle* h, uint32_t value, uint32_t* answer) {
  if (send_item_unlocked(h, VXMSG_CMD_CALL_27, VXMSG_TYPE_U32, value, 0)) {
    VXCTL_ERR();
    return 1;
  }
  answer_t a;
  answer_init(&a, VXMSG_CMD_ANSWER_28, ANSWER_NUMBER);
  a.budget = kCall27Budget;
  if (await_answer(h, &a)) {
    VXCTL_ERR();
    return 1;
  }
  *answer = a.number;
  return 0;
}

unsigned vxctl_call_27(usbdevs_handle* h, uint32_t value, uint32_t* answer) {
  EXCHANGE(call_27_unlocked(h, value, answer));
}

static unsigned read_debug_unlocked(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  uint8_t mem[VXMSG_MAX];
  vxmsg_buf_t m;
  vxmsg_init(&m, mem, sizeof mem);
  if (vxctl_recv(h, &m)) {
    VXCTL_ERR();
    return 1;
  }
  uint8_t found = 0;
  uint32_t cmd, type;
  uint64_t value;
  uint8_t size;
  while (vxmsg_get(&m, &cmd, &type, &value, &size) == 0) {
    if (cmd != VXMSG_CMD_DEBUG || type != VXMSG_TYPE_BYTES) continue;
    found = size < capacity ? size : capacity;
    if (found) memcpy(text, (const void*)(uintptr_t)value, found);
  }
  if (len) *len = found;
  return 0;
}

unsigned vxctl_read_debug(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  EXCHANGE(read_debug_unlocked(h, text, capacity, len));
}

/* Firmware transfer ------------------------------------------------------ */

/* The unit's answer to one status request: 0 and both items, or 1. */
static unsigned fw_status_unlocked(usbdevs_handle* h, uint32_t* length, uint32_t* offset) {
  if (send_item_unlocked(h, VXMSG_CMD_FWUP_STATUS, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  int have_length = 0, have_offset = 0;
  for (int reply = 0; reply < kFwStatusReplies && !(have_length && have_offset); ++reply) {
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    if (vxctl_recv(h, &m)) {
      VXCTL_ERR();
      return 1;
    }
    uint32_t cmd, type;
    uint64_t value;
    uint8_t size;
    while (vxmsg_get(&m, &cmd, &type, &value, &size) == 0) {
      if (cmd == VXMSG_CMD_FWUP_LENGTH && is_numeric(type)) {
        *length = (uint32_t)value;
        have_length = 1;
      } else if (cmd == VXMSG_CMD_FWUP_OFFSET && is_numeric(type)) {
        *offset = (uint32_t)value;
        have_offset = 1;
      } else if (cmd == VXMSG_CMD_DEBUG && type == VXMSG_TYPE_BYTES) {
        const uint8_t* t = (const uint8_t*)(uintptr_t)value;
        printf("\n\n--debug--\n%.*s\n---------\n", text_len(t, size), (const char*)t);
      }
    }
    if (!(have_length && have_offset)) Sleep(kPollMs);
  }
  if (!(have_length && have_offset)) {
    VXCTL_ERR();
    return 1;
  }
  return 0;
}

static unsigned fw_status(usbdevs_handle* h, uint32_t* length, uint32_t* offset) {
  EXCHANGE(fw_status_unlocked(h, length, offset));
}

/* One completion attempt: 0 when the unit confirmed the whole image, 3 when
 * it did not (yet), 1 on a failed transfer. */
static unsigned fw_completion_unlocked(usbdevs_handle* h, uint32_t total) {
  if (send_item_unlocked(h, VXMSG_CMD_FWUP_STATUS, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  for (int t = 0; t < kFwCompletionTries; ++t) {
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    if (vxctl_recv(h, &m)) {
      VXCTL_ERR();
      return 1;
    }
    uint32_t length = 255, offset = 0;
    uint32_t cmd, type;
    uint64_t value;
    while (vxmsg_get(&m, &cmd, &type, &value, NULL) == 0) {
      if (cmd == VXMSG_CMD_FWUP_LENGTH && is_numeric(type)) length = (uint32_t)value;
      if (cmd == VXMSG_CMD_FWUP_OFFSET && is_numeric(type)) offset = (uint32_t)value;
    }
    if (offset == total && length == 0) return 0;
    Sleep(100);
  }
  return 3;
}

static unsigned fw_completion(usbdevs_handle* h, uint32_t total) {
  EXCHANGE(fw_completion_unlocked(h, total));
}

unsigned vxctl_fw_update(usbdevs_handle* h, const uint8_t* image, uint32_t total, uint32_t* progress) {
  /* An empty image would be "complete" on the unit's cancel answer. */
  if (total == 0 || !image) {
    VXCTL_ERR();
    return 1;
  }
  if (send_item(h, VXMSG_CMD_FWUP_BEGIN, VXMSG_TYPE_U32, total, 0)) {
    VXCTL_ERR();
    return 1;
  }
  uint32_t pos = 0;
  unsigned idle = 0;
  if (total) printf("pos = %u/%u\n", pos, total);
  while (pos < total) {
    uint32_t length = 0, offset = 0;
    if (fw_status(h, &length, &offset)) {
      VXCTL_ERR();
      return 1;
    }

    int idle_reason = 0;
    if (length != 0 && offset == pos) {
      while (length > 0 && pos < total) {
        uint32_t n = total - pos < length ? total - pos : length;
        uint8_t cmd = VXMSG_CMD_FWUP_DATA_LAST;
        if (n > kFwChunk) {
          n = kFwChunk;
          cmd = VXMSG_CMD_FWUP_DATA;
        }
        if (send_item(h, cmd, VXMSG_TYPE_BYTES, (uintptr_t)(image + pos), (uint8_t)n)) {
          VXCTL_ERR();
          return 1;
        }
        pos += n;
        length -= n;
        if (progress && pos < total) *progress = pos;
      }
      idle = 0;
    } else if (length != 0) {
      printf("offset = %u, pos = %u\n", offset, pos);
      idle_reason = 264;
    } else {
      if (offset == 0 && pos == 0) {
        printf("cancel by device\n");
        VXCTL_ERR();
        return 2;
      }
      idle_reason = 257;
    }
    if (idle_reason) {
      if (++idle > kFwIdleLimit) {
        VXCTL_ERR();
        printf("timeout line:%d\n", idle_reason);
        return 1;
      }
      Sleep(kPollMs);
    }
    if (pos < total) printf("pos = %u/%u\n", pos, total);
  }
  printf("pos = %u/%u\n", pos, total);

  for (int attempt = 0; attempt < kFwCompletionAttempts; ++attempt) {
    unsigned r = fw_completion(h, total);
    if (r == 0) {
      printf("FWUP OK\n");
      if (progress) *progress = pos;
      return 0;
    }
    if (r == 1) {
      VXCTL_ERR();
      return 1;
    }
    Sleep(1000);
  }
  VXCTL_ERR();
  return 1;
}
