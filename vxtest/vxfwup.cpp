/* vxfwup: the firmware transfer: the image's size, then the ranges the unit
 * asks for, then the wait for the unit's confirmation. */
#include "vxfwup.h"

#include <stdio.h>
#include <string.h>

#include "vxctl_replies.h"

static const char kModule[] = "../../vxtest/vxfwup";

enum {
  kFwStatusReplies = 10000,
  kFwIdleLimit = 1000,
  kFwCompletionAttempts = 60,
  kFwCompletionTries = 10,
  kFwCompletionPauseMs = 100,
  kFwCompletionRestMs = 1000,
  kFwChunk = 61, /* with its 3-byte head an item fills a 64-byte message */
};

/* Why the unit's answer moved nothing; the number is what the "timeout
 * line:%d" diagnostic prints. These numbers, like the transfer's other
 * texts ("cancel by device", "FWUP OK"), are kept as the library has always
 * printed them: logs of firmware updates are read against them. */
enum class FwIdle {
  None = 0,
  EmptyRequest = 257, /* the unit asks for no bytes */
  OtherOffset = 264,  /* the unit asks for another offset than the host's position */
};

/* The unit's firmware status items in the replies read so far. */
typedef struct fw_walk_t {
  uint32_t length, offset;
  int have_length, have_offset;
  int print_debug;
} fw_walk_t;

static enum walk_step fw_status_item(void* ctx, const reply_item_t* it) {
  fw_walk_t* f = (fw_walk_t*)ctx;
  if (it->cmd == VXMSG_CMD_FWUP_LENGTH && vxctl_is_numeric(it->type)) {
    f->length = (uint32_t)it->value;
    f->have_length = 1;
  } else if (it->cmd == VXMSG_CMD_FWUP_OFFSET && vxctl_is_numeric(it->type)) {
    f->offset = (uint32_t)it->value;
    f->have_offset = 1;
  } else if (it->cmd == VXMSG_CMD_DEBUG && it->type == VXMSG_TYPE_BYTES && f->print_debug) {
    const uint8_t* t = (const uint8_t*)(uintptr_t)it->value;
    printf("\n\n--debug--\n%.*s\n---------\n", vxctl_text_len(t, it->size), (const char*)t);
  }
  return WALK_ON;
}

/* Both items may come in different replies. */
static enum walk_step fw_status_reply(void* ctx) {
  fw_walk_t* f = (fw_walk_t*)ctx;
  return f->have_length && f->have_offset ? WALK_DONE : WALK_ON;
}

/* The unit's answer to one status request: 0 and both items, or 1. */
static unsigned fw_status_unlocked(usbdevs_handle* h, uint32_t* length, uint32_t* offset) {
  if (vxctl_send_item_unlocked(h, VXMSG_CMD_FWUP_STATUS, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  fw_walk_t f;
  memset(&f, 0, sizeof f);
  f.print_debug = 1;
  reply_walk_t w = vxctl_walk_init(kFwStatusReplies, VXCTL_POLL_MS, fw_status_item, &f);
  w.reply = fw_status_reply;
  if (vxctl_walk_replies(h, &w)) {
    VXCTL_ERR();
    return 1;
  }
  *length = f.length;
  *offset = f.offset;
  return 0;
}

static unsigned fw_status(usbdevs_handle* h, uint32_t* length, uint32_t* offset) {
  EXCHANGE(h, fw_status_unlocked(h, length, offset));
}

static unsigned send_item(usbdevs_handle* h, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n) {
  EXCHANGE(h, vxctl_send_item_unlocked(h, cmd, type, value, n));
}

/* The completion wait's replies each stand alone: a length of 255 and an
 * offset of 0 unless the reply says otherwise. */
typedef struct fw_completion_t {
  fw_walk_t status; /* first: the status items' walk reads it */
  uint32_t total;
} fw_completion_t;

static enum walk_step fw_completion_reply(void* ctx) {
  fw_completion_t* c = (fw_completion_t*)ctx;
  if (c->status.offset == c->total && c->status.length == 0) return WALK_DONE;
  c->status.length = 255;
  c->status.offset = 0;
  return WALK_ON;
}

/* One completion attempt: 0 when the unit confirmed the whole image, 3 when
 * it did not (yet), 1 on a failed transfer. */
static unsigned fw_completion_unlocked(usbdevs_handle* h, uint32_t total) {
  if (vxctl_send_item_unlocked(h, VXMSG_CMD_FWUP_STATUS, VXMSG_TYPE_NONE, 0, 0)) {
    VXCTL_ERR();
    return 1;
  }
  fw_completion_t c;
  memset(&c, 0, sizeof c);
  c.status.length = 255;
  c.total = total;
  reply_walk_t w = vxctl_walk_init(kFwCompletionTries, kFwCompletionPauseMs, fw_status_item, &c);
  w.reply = fw_completion_reply;
  w.spent = 3;
  return vxctl_walk_replies(h, &w);
}

static unsigned fw_completion(usbdevs_handle* h, uint32_t total) {
  EXCHANGE(h, fw_completion_unlocked(h, total));
}

/* A transfer under way: the image, how far the unit has it, and where its
 * progress goes. */
typedef struct fw_transfer_t {
  const uint8_t* image;
  uint32_t total;
  uint32_t pos; /* bytes delivered */
  vxctl_fw_progress_t progress;
  void* context;
  int positions; /* prints the "pos = " lines a caller without a progress function reads */
} fw_transfer_t;

static void report(const fw_transfer_t* t, vxctl_fw_phase_t phase) {
  if (t->progress) t->progress(t->context, phase, t->pos, t->total);
}

static void print_position(const fw_transfer_t* t) {
  if (t->positions) printf("pos = %u/%u\n", t->pos, t->total);
}

/* Sends the range of `length` bytes the unit asked for at the current
 * position, cut at the image's end: items of 61 bytes (0x25), the last
 * piece as 0x26. 0, or 1 when a message could not be sent. */
static unsigned send_range(usbdevs_handle* h, fw_transfer_t* t, uint32_t length) {
  while (length > 0 && t->pos < t->total) {
    uint32_t n = t->total - t->pos < length ? t->total - t->pos : length;
    uint8_t cmd = VXMSG_CMD_FWUP_DATA_LAST;
    if (n > kFwChunk) {
      n = kFwChunk;
      cmd = VXMSG_CMD_FWUP_DATA;
    }
    if (send_item(h, cmd, VXMSG_TYPE_BYTES, (uintptr_t)(t->image + t->pos), (uint8_t)n)) {
      VXCTL_ERR();
      return 1;
    }
    t->pos += n;
    length -= n;
  }
  return 0;
}

/* Delivers the whole image as the unit asks for it. 0 once every byte went
 * out, 1 on a failed exchange or a unit that moved nothing for too long, 2
 * when the unit cancelled before the first byte. */
static unsigned deliver_image(usbdevs_handle* h, fw_transfer_t* t) {
  unsigned idle = 0;
  print_position(t);
  report(t, VXCTL_FW_SENDING);
  while (t->pos < t->total) {
    uint32_t length = 0, offset = 0;
    if (fw_status(h, &length, &offset)) {
      VXCTL_ERR();
      return 1;
    }

    FwIdle why = FwIdle::None;
    if (length != 0 && offset == t->pos) {
      if (send_range(h, t, length)) return 1;
      report(t, VXCTL_FW_SENDING);
      idle = 0;
    } else if (length != 0) {
      printf("offset = %u, pos = %u\n", offset, t->pos);
      why = FwIdle::OtherOffset;
    } else {
      if (offset == 0 && t->pos == 0) {
        printf("cancel by device\n");
        VXCTL_ERR();
        return 2;
      }
      why = FwIdle::EmptyRequest;
    }
    if (why != FwIdle::None) {
      if (++idle > kFwIdleLimit) {
        VXCTL_ERR();
        printf("timeout line:%d\n", (int)why);
        return 1;
      }
      Sleep(VXCTL_POLL_MS);
    }
    if (t->pos < t->total) print_position(t);
  }
  print_position(t);
  return 0;
}

/* Asks until the unit confirms the whole image: 0, or 1 on a failed
 * exchange or no confirmation in 60 attempts. */
static unsigned await_confirmation(usbdevs_handle* h, fw_transfer_t* t) {
  for (int attempt = 0; attempt < kFwCompletionAttempts; ++attempt) {
    report(t, VXCTL_FW_CONFIRMING);
    unsigned r = fw_completion(h, t->total);
    if (r == 0) {
      printf("FWUP OK\n");
      report(t, VXCTL_FW_DONE);
      return 0;
    }
    if (r == 1) {
      VXCTL_ERR();
      return 1;
    }
    Sleep(kFwCompletionRestMs);
  }
  VXCTL_ERR();
  return 1;
}

static unsigned fw_update(usbdevs_handle* h, fw_transfer_t* t) {
  /* An empty image would be "complete" on the unit's cancel answer. */
  if (t->total == 0 || !t->image) {
    VXCTL_ERR();
    return 1;
  }
  if (send_item(h, VXMSG_CMD_FWUP_BEGIN, VXMSG_TYPE_U32, t->total, 0)) {
    VXCTL_ERR();
    return 1;
  }
  unsigned r = deliver_image(h, t);
  if (r) return r;
  return await_confirmation(h, t);
}

unsigned vxctl_fw_update_progress(usbdevs_handle* h, const uint8_t* image, uint32_t total,
                                  vxctl_fw_progress_t progress, void* context) {
  fw_transfer_t t = {image, total, 0, progress, context, 0};
  return fw_update(h, &t);
}

/* The out-parameter form: bytes delivered while the transfer runs, and the
 * whole count once the unit confirmed it. */
static void store_progress(void* context, vxctl_fw_phase_t phase, uint32_t delivered, uint32_t total) {
  if ((phase == VXCTL_FW_SENDING && delivered < total) || phase == VXCTL_FW_DONE)
    *(uint32_t*)context = delivered;
}

unsigned vxctl_fw_update(usbdevs_handle* h, const uint8_t* image, uint32_t total, uint32_t* progress) {
  fw_transfer_t t = {image, total, 0, progress ? store_progress : NULL, progress, 1};
  return fw_update(h, &t);
}
