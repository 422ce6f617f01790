/* vxctl: the transport, message building and the synchronous commands. */
#include "vxctl.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "vxctl_replies.h"

static const char kModule[] = "../../vxtest/vxctl";

enum {
  kSendAttempts = 3,
  kReadyPolls = 1000,
  kAnswerBudget = 100,
  kCall27Budget = 3000,
  kReplyStalls = 3, /* reads of one reply that fail with a stall (31) before the walk gives up */
  kDrainReplies = 100,
};

static usbdevs_handle handle_of(usbdevs_handle* h) {
  return h ? *h : NULL;
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
    if (attempt < kSendAttempts) Sleep(VXCTL_POLL_MS);
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

reply_walk_t vxctl_walk_init(int budget, unsigned pause_ms,
                             enum walk_step (*item)(void*, const reply_item_t*), void* ctx) {
  reply_walk_t w;
  memset(&w, 0, sizeof w);
  w.budget = budget;
  w.pause_ms = pause_ms;
  w.spent = 1;
  w.item = item;
  w.ctx = ctx;
  return w;
}

unsigned vxctl_walk_replies(usbdevs_handle* h, reply_walk_t* w) {
  int stalls = 0;
  for (int left = w->budget; left > 0; --left) {
    if (w->lead_ms) Sleep(w->lead_ms);
    uint8_t mem[VXMSG_MAX];
    vxmsg_buf_t m;
    vxmsg_init(&m, mem, sizeof mem);
    unsigned r = recv_reply(h, &m);
    if (r == 2 && w->busy_polls) { /* a failed USB transfer: the unit is busy */
      Sleep(VXCTL_POLL_MS);
      continue;
    }
    /* A stalled read took nothing from the unit's queue: the same reply is
     * read again, as a busy send is sent again. */
    if (r == 2 && ++stalls < kReplyStalls) {
      Sleep(VXCTL_POLL_MS);
      ++left;
      continue;
    }
    if (r) { /* gone or hung: waiting longer cannot help */
      VXCTL_ERR();
      w->lost = r == 1;
      return 1;
    }
    stalls = 0;
    enum walk_step step = WALK_ON;
    reply_item_t it;
    while (step == WALK_ON && vxmsg_get(&m, &it.cmd, &it.type, &it.value, &it.size) == 0)
      step = w->item(w->ctx, &it);
    if ((step == WALK_ON || step == WALK_SKIP) && w->reply) step = w->reply(w->ctx);
    if (step == WALK_DONE) return 0;
    if (step == WALK_FAIL) return 1;
    if (step == WALK_AGAIN) {
      left = w->budget + 1;
      continue;
    }
    if (w->pause_ms) Sleep(w->pause_ms);
  }
  return w->spent;
}

typedef struct ready_walk_t {
  int seen;  /* this reply carried a marker */
  int ready; /* ... with a nonzero value */
  int other; /* ... or items besides markers: an answer left queued */
} ready_walk_t;

static enum walk_step ready_item(void* ctx, const reply_item_t* it) {
  ready_walk_t* r = (ready_walk_t*)ctx;
  if (it->cmd != VXMSG_CMD_READY) {
    r->other = 1;
  } else {
    r->seen = 1;
    if (it->value != 0) r->ready = 1;
  }
  return WALK_ON;
}

/* Ready only once nothing is queued: a reply that still carries answer
 * items (what an earlier exchange left unread) is read away, so that the
 * message that follows is answered in replies of its own. */
static enum walk_step ready_reply(void* ctx) {
  ready_walk_t* r = (ready_walk_t*)ctx;
  const int done = !r->other && (r->ready || !r->seen); /* no marker does not say busy */
  memset(r, 0, sizeof *r);
  return done ? WALK_DONE : WALK_ON;
}

unsigned vxctl_wait_ready(usbdevs_handle* h) {
  ready_walk_t ready = {0, 0, 0};
  reply_walk_t w = vxctl_walk_init(kReadyPolls, VXCTL_POLL_MS, ready_item, &ready);
  w.reply = ready_reply;
  w.busy_polls = 1;
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    return 1;
  }
  return 0;
}

/* Reads replies until one carries nothing but the ready marker (busy or
 * not): the unit's queue is empty. Whatever came before belonged to an
 * exchange that ended without it. */
static enum walk_step drain_reply(void* ctx) {
  ready_walk_t* r = (ready_walk_t*)ctx;
  const int empty = !r->other;
  memset(r, 0, sizeof *r);
  return empty ? WALK_DONE : WALK_ON;
}

unsigned vxctl_drain_answers(usbdevs_handle* h) {
  ready_walk_t ready = {0, 0, 0};
  reply_walk_t w = vxctl_walk_init(kDrainReplies, 0, ready_item, &ready);
  w.reply = drain_reply;
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    return 1;
  }
  return 0;
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
unsigned vxctl_send_item_unlocked(usbdevs_handle* h, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n) {
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
  EXCHANGE(h, vxctl_send_item_unlocked(h, cmd, type, value, n));
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
  EXCHANGE(h, send_ch_item_unlocked(h, ch_type, ch_no, cmd, with_value, value));
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
  /* the channel the replies are about so far */
  uint32_t cur_type;
  uint32_t cur_no;
  /* outputs */
  uint32_t number;
  uint8_t* bytes;
  uint8_t capacity;
  uint8_t len;
} answer_t;

static enum walk_step answer_item(void* ctx, const reply_item_t* it) {
  answer_t* a = (answer_t*)ctx;
  if (it->cmd == VXMSG_CMD_CH_TYPE) a->cur_type = (uint32_t)it->value;
  if (it->cmd == VXMSG_CMD_CH_NO) a->cur_no = (uint32_t)it->value;
  if (it->cmd == VXMSG_CMD_DEBUG && a->print_debug && it->type == VXMSG_TYPE_BYTES) {
    const uint8_t* text = (const uint8_t*)(uintptr_t)it->value;
    printf("\ndbg:%.*s\n", vxctl_text_len(text, it->size), (const char*)text);
  }
  if (it->cmd != a->cmd) return WALK_ON;
  if (a->scoped && (a->cur_type != a->ch_type || a->cur_no != a->ch_no)) return WALK_ON;

  /* The first awaited item decides this reply. */
  if (a->kind == ANSWER_NUMBER) {
    if (!vxctl_is_numeric(it->type)) {
      VXCTL_ERR();
      return WALK_SKIP;
    }
    a->number = (uint32_t)it->value;
    return WALK_DONE;
  }
  if (it->type == VXMSG_TYPE_BYTES) {
    /* Identity texts end at their first zero byte: units pad them. */
    const uint8_t* p = (const uint8_t*)(uintptr_t)it->value;
    uint8_t n = a->kind == ANSWER_TEXT ? (uint8_t)vxctl_text_len(p, it->size) : it->size;
    if (n > a->capacity) n = a->capacity;
    if (n == 0) return WALK_SKIP; /* an empty answer is not an answer */
    memcpy(a->bytes, p, n);
    a->len = n;
    return WALK_DONE;
  }
  /* Version and build: a number in whatever width the unit chose. */
  if (a->kind == ANSWER_TEXT && vxctl_is_numeric(it->type) && it->value <= 0xFFFF && a->capacity >= 2) {
    a->bytes[0] = (uint8_t)it->value;
    a->bytes[1] = (uint8_t)(it->value >> 8);
    a->len = 2;
    return WALK_DONE;
  }
  VXCTL_ERR();
  return WALK_SKIP;
}

/* An exchange that gives up after its message went out reads away what is
 * left of its answer before it lets the lock go: the next exchange may be a
 * meter fetch, which does not wait for an empty queue. Not after a read that
 * failed other than busy: a unit that went away or hangs would only fail
 * (or keep the lock for another transfer time-out) again. */
static void answer_abandoned(usbdevs_handle* h, const reply_walk_t* w) {
  if (!w->lost) vxctl_drain_answers(h);
}

/* Reads replies until the awaited item arrives or the budget is spent. */
static unsigned await_answer(usbdevs_handle* h, answer_t* a) {
  a->cur_type = a->ch_type;
  a->cur_no = 0;
  reply_walk_t w = vxctl_walk_init(a->budget, VXCTL_POLL_MS, answer_item, a);
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    answer_abandoned(h, &w);
    return 1;
  }
  return 0;
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
  if (vxctl_send_item_unlocked(h, request, VXMSG_TYPE_NONE, 0, 0)) {
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
  EXCHANGE(h, text_query_unlocked(h, request, answer, kind, out, capacity, len));
}

/* 0x31 and one of its answers 0x32..0x37. */
static unsigned identity_query(usbdevs_handle* h, uint8_t cmd, uint8_t* out, uint8_t capacity, uint8_t* len) {
  return text_query(h, VXMSG_CMD_GET_INFO, cmd, ANSWER_TEXT, out, capacity, len);
}

static unsigned number_query_unlocked(usbdevs_handle* h, uint8_t request, uint8_t answer, uint32_t* number) {
  if (vxctl_send_item_unlocked(h, request, VXMSG_TYPE_NONE, 0, 0)) {
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
  EXCHANGE(h, number_query_unlocked(h, request, answer, number));
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
  EXCHANGE(h, channel_query_unlocked(h, ch_type, ch_no, cmd, value));
}

typedef struct meter_walk_t {
  vxctl_meter_t* records;
  unsigned capacity;
  unsigned i;   /* entries read */
  int advanced; /* this reply completed an entry */
} meter_walk_t;

static enum walk_step meter_item(void* ctx, const reply_item_t* it) {
  meter_walk_t* mw = (meter_walk_t*)ctx;
  if (mw->i >= mw->capacity) return WALK_ON; /* entries beyond the capacity are dropped */
  vxctl_meter_t* r = &mw->records[mw->i];
  if (it->cmd == VXMSG_CMD_CH_TYPE) {
    r->type = (uint32_t)it->value;
  } else if (it->cmd == VXMSG_CMD_CH_NO) {
    r->number = (uint8_t)it->value;
  } else if (it->cmd == VXMSG_CMD_METER) {
    r->reserved = 0;
    r->value = (uint16_t)it->value;
    ++mw->i;
    mw->advanced = 1;
  }
  return WALK_ON;
}

/* Each step of progress has its own budget of replies. */
static enum walk_step meter_reply(void* ctx) {
  meter_walk_t* mw = (meter_walk_t*)ctx;
  if (mw->i >= mw->capacity) return WALK_DONE;
  if (!mw->advanced) return WALK_ON;
  mw->advanced = 0;
  return WALK_AGAIN;
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
  meter_walk_t mw = {records, capacity, 0, 0};
  if (capacity) {
    reply_walk_t w = vxctl_walk_init(kAnswerBudget, VXCTL_POLL_MS, meter_item, &mw);
    w.reply = meter_reply;
    if (vxctl_walk_replies(h, &w)) {
      VXCTL_ERR();
      answer_abandoned(h, &w);
      return 1;
    }
  }
  if (count) *count = (uint8_t)mw.i;
  return 0;
}

uint8_t vxctl_meter_records(const char* product) {
  static const struct {
    const char* name;
    uint8_t records;
  } layouts[] = {
      {"Tarrow", VXCTL_METER_RECORDS_TARROW},     {"Quenby", VXCTL_METER_RECORDS_QUENBY},
      {"Pellin", VXCTL_METER_RECORDS_PELLIN},     {"Dorrit", VXCTL_METER_RECORDS_DORRIT},
      {"Far Link", VXCTL_METER_RECORDS_FAR_LINK},
  };
  for (size_t i = 0; product && i < sizeof layouts / sizeof layouts[0]; ++i)
    if (strcmp(product, layouts[i].name) == 0) return layouts[i].records;
  return 0;
}

unsigned vxctl_get_meter(usbdevs_handle* h, vxctl_meter_t* records, uint8_t capacity, uint8_t* count) {
  EXCHANGE(h, get_meter_unlocked(h, records, capacity, count));
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
  EXCHANGE(h, send_assign(h, in_type, in_no, out_type, out_no));
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

typedef struct dump_walk_t {
  char* text;
  uint32_t capacity;
  uint32_t used;
  uint32_t* len;
  uint32_t cur_type, cur_no, src_type, src_no, dst_type, dst_no;
  unsigned assignments; /* lines of the table so far */
  int other;            /* this reply carried items besides markers */
  int busy;             /* ... or a busy marker */
} dump_walk_t;

static enum walk_step dump_item(void* ctx, const reply_item_t* it) {
  dump_walk_t* d = (dump_walk_t*)ctx;
  int full = 0;
  switch (it->cmd) {
    case VXMSG_CMD_CH_TYPE:
      d->cur_type = (uint32_t)it->value;
      break;
    case VXMSG_CMD_CH_NO:
      d->cur_no = (uint32_t)it->value;
      break;
    case VXMSG_CMD_ASSIGN_IN:
      d->src_type = d->cur_type;
      d->src_no = d->cur_no;
      break;
    case VXMSG_CMD_ASSIGN_OUT:
      d->dst_type = d->cur_type;
      d->dst_no = d->cur_no;
      break;
    case VXMSG_CMD_ASSIGN:
      ++d->assignments;
      full = append_text(d->text, d->capacity, &d->used, "%s:%u -> %s:%u\n", vxmsg_ch_name(d->src_type),
                         d->src_no, vxmsg_ch_name(d->dst_type), d->dst_no);
      break;
    case VXMSG_CMD_READY:
      if (it->value == 0) d->busy = 1;
      return WALK_ON;
    default:
      full =
          append_text(d->text, d->capacity, &d->used, "cmd = %#x, type=%u, data = %u, size = %u\n", it->cmd,
                      it->type, it->type == VXMSG_TYPE_BYTES ? 0u : (unsigned)it->value, (unsigned)it->size);
      break;
  }
  d->other = 1;
  if (!full) return WALK_ON;
  VXCTL_ERR();
  if (d->len) *d->len = d->used;
  return WALK_FAIL;
}

/* The answer ends with the reply that finds the unit's queue empty (no item
 * but a ready marker) once at least one assignment came; a reply with items
 * is progress. */
static enum walk_step dump_reply(void* ctx) {
  dump_walk_t* d = (dump_walk_t*)ctx;
  if (d->len) *d->len = d->used;
  const int other = d->other, busy = d->busy;
  d->other = 0;
  d->busy = 0;
  if (other) return WALK_AGAIN;
  return d->assignments && !busy ? WALK_DONE : WALK_ON;
}

static unsigned dump_assign_unlocked(usbdevs_handle* h, char* text, uint32_t capacity, uint32_t* len) {
  text[0] = 0;
  if (len) *len = 0;
  /* The readiness wait before the query reads away what others left queued. */
  if (send_assign(h, 0, 0, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  dump_walk_t d;
  memset(&d, 0, sizeof d);
  d.text = text;
  d.capacity = capacity;
  d.len = len;
  reply_walk_t w = vxctl_walk_init(kAnswerBudget, VXCTL_POLL_MS, dump_item, &d);
  w.reply = dump_reply;
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    answer_abandoned(h, &w);
    return 1;
  }
  return 0;
}

unsigned vxctl_dump_assign(usbdevs_handle* h, char* text, uint32_t capacity, uint32_t* len) {
  if (!text || capacity == 0) {
    VXCTL_ERR();
    return 1;
  }
  EXCHANGE(h, dump_assign_unlocked(h, text, capacity, len));
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
  if (vxctl_send_item_unlocked(h, VXMSG_CMD_CALL_27, VXMSG_TYPE_U32, value, 0)) {
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
  EXCHANGE(h, call_27_unlocked(h, value, answer));
}

typedef struct debug_walk_t {
  char* text;
  uint8_t capacity;
  uint8_t found;
} debug_walk_t;

static enum walk_step debug_item(void* ctx, const reply_item_t* it) {
  debug_walk_t* d = (debug_walk_t*)ctx;
  if (it->cmd != VXMSG_CMD_DEBUG || it->type != VXMSG_TYPE_BYTES) return WALK_ON;
  d->found = it->size < d->capacity ? it->size : d->capacity;
  if (d->found) memcpy(d->text, (const void*)(uintptr_t)it->value, d->found);
  return WALK_ON;
}

static unsigned read_debug_unlocked(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  debug_walk_t d = {text, capacity, 0};
  reply_walk_t w = vxctl_walk_init(1, 0, debug_item, &d);
  w.spent = 0; /* one reply, whatever it holds */
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    return 1;
  }
  if (len) *len = d.found;
  return 0;
}

unsigned vxctl_read_debug(usbdevs_handle* h, char* text, uint8_t capacity, uint8_t* len) {
  EXCHANGE(h, read_debug_unlocked(h, text, capacity, len));
}
