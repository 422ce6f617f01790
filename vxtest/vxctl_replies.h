/* vxctl_replies: what the command modules (vxctl, vxfwup) share and the
 * library's callers do not see: the diagnostic line, exchanges under the
 * computer-wide lock, sending one item when the unit is ready, and the walk
 * over the unit's replies. Not part of the library's API. */
#ifndef VXCTL_REPLIES_H
#define VXCTL_REPLIES_H

#include <stdint.h>
#include <stdio.h>

#include "usbdevs_win.h"
#include "vxmsg.h"

/* Each module defines kModule as its source path ("../../vxtest/" and the
 * module name): a failure prints the module and the line of the failing
 * check. The form, relative path included, is the one the library has
 * always printed, which logs and the maker's support read; it stays. */
#define VXCTL_ERR() printf("%s:%d:ERROR\n", kModule, __LINE__)

/* Pause between replies that brought nothing, and between busy attempts. */
enum { VXCTL_POLL_MS = 10 };

/* Reads replies until one carries nothing but the ready marker: the unit's
 * queue is empty. 0, or 1 when a read failed or the replies kept coming. */
unsigned vxctl_drain_answers(usbdevs_handle* h);

/* Exchanges: everything between a message and the last reply that answers it
 * runs under the unit's exchange lock, so that another program's messages
 * and replies cannot come in between. A holder that ended inside its
 * exchange (killed, stopped with Ctrl-C, or holding too long) may have left
 * part of its answer queued: that is read away first, so that this exchange
 * reads only its own. A lock that stays taken fails the call with the
 * thread's last error ERROR_TIMEOUT (another program is using the unit); an
 * exchange the lock was taken from before its end fails too (its replies may
 * be another's). Returns from the enclosing function with the call's result. */
#define EXCHANGE(h, call)                                     \
  do {                                                        \
    HANDLE lock_ = usbdevs_exchange_begin((h) ? *(h) : NULL); \
    if (lock_ == NULL) {                                      \
      VXCTL_ERR();                                            \
      return 1;                                               \
    }                                                         \
    if (usbdevs_exchange_abandoned()) vxctl_drain_answers(h); \
    unsigned result_ = (call);                                \
    if (usbdevs_exchange_end(lock_) && result_ == 0) {        \
      VXCTL_ERR();                                            \
      result_ = 1;                                            \
    }                                                         \
    return result_;                                           \
  } while (0)

/* One item and the end item, sent once the unit said it is ready; inside an
 * exchange. 0, or 1 when the item does not fit or a transfer failed. */
unsigned vxctl_send_item_unlocked(usbdevs_handle* h, uint8_t cmd, uint8_t type, uintptr_t value, uint8_t n);

static inline int vxctl_is_numeric(uint32_t type) {
  return type == VXMSG_TYPE_U8 || type == VXMSG_TYPE_U16 || type == VXMSG_TYPE_U32;
}

/* Length of a text item up to its first zero byte. */
static inline int vxctl_text_len(const uint8_t* p, uint8_t n) {
  int len = 0;
  while (len < n && p[len]) ++len;
  return len;
}

/* Reading replies ---------------------------------------------------------
 * Every command that waits for the unit reads replies the same way: one
 * reply after another until the command has its answer, a transfer fails or
 * a budget of replies is spent, with a pause after each reply that brought
 * nothing. The command says what each item and each whole reply mean. */

typedef struct reply_item_t {
  uint32_t cmd;
  uint32_t type;
  uint64_t value; /* a pointer to the bytes for VXMSG_TYPE_BYTES */
  uint8_t size;
} reply_item_t;

enum walk_step {
  WALK_ON,   /* item: read the next; reply: nothing yet, pause and read another */
  WALK_SKIP, /* item: the rest of this reply is of no use (the reply hook still runs) */
  WALK_DONE, /* the command has its answer: 0 */
  WALK_FAIL, /* the command fails: 1 */
  WALK_AGAIN /* reply: progress; the budget starts afresh and no pause follows */
};

typedef struct reply_walk_t {
  int budget;        /* replies read at most (after each progress) */
  unsigned pause_ms; /* after a reply that brought nothing */
  unsigned lead_ms;  /* before every reply */
  int busy_polls;    /* a busy transfer (2) counts as a reply that brought nothing */
  unsigned spent;    /* the result when the budget runs out */
  enum walk_step (*item)(void* ctx, const reply_item_t* item);
  enum walk_step (*reply)(void* ctx); /* after each reply's items; may be NULL */
  void* ctx;
  int lost; /* out: the walk ended on a read that failed other than busy */
} reply_walk_t;

/* A walk of at most `budget` replies, `pause_ms` apart when they bring
 * nothing, that hands every item to `item`; spent: 1. */
reply_walk_t vxctl_walk_init(int budget, unsigned pause_ms,
                             enum walk_step (*item)(void*, const reply_item_t*), void* ctx);
/* 0 when a hook said WALK_DONE; 1 on WALK_FAIL or a failed read; `spent`
 * when the budget ran out. */
unsigned vxctl_walk_replies(usbdevs_handle* h, reply_walk_t* w);

#endif
