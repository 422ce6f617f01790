/* usbdevs_win: the device channel. Finds the unit through the audio driver's
 * render interface and carries vendor control transfers to it through the
 * driver's private control interface ("\tarrow", IOCTL_QUENBY_TUNNEL).
 *
 * Results: 0 success; 1 failure (bad argument, interface cannot be opened, no
 * memory, driver error other than 31, reply length differs from the request);
 * 2 the driver reported ERROR_GEN_FAILURE (31), a failed USB transfer, which
 * callers treat as a busy unit.
 *
 * Every failure prints one diagnostic line on standard output. No global
 * state: everything lives in the caller's context, and every transfer opens
 * and closes the interface. */
#ifndef USBDEVS_WIN_H
#define USBDEVS_WIN_H

#include <stdint.h>
#include <windows.h>
#include <winioctl.h>

#include "quenby_ioctl.h"
#include "usbdevs_ctrl_req.h"

#define USBDEVS_PATH_MAX 260
#define USBDEVS_SELECT_MAX 9

/* Device context: zero-filled by usbdevs_init. */
#ifdef __cplusplus
extern "C" {
#endif

typedef struct usbdevs_ctx {
  WCHAR path[USBDEVS_PATH_MAX]; /* interface path of the selected unit */
  uint8_t select_index;         /* next index vxdev_open tries, 0..10 */
} usbdevs_ctx;

/* A device handle is a pointer to the context, null while nothing is selected. */
typedef usbdevs_ctx* usbdevs_handle;
/* The device of the command layer: the context with its select index. */
typedef usbdevs_ctx vxdev_t;

/* Zero-fills the context. 0. */
unsigned usbdevs_init(usbdevs_ctx* ctx);
/* Releases nothing (no handle is kept open). 0. */
unsigned usbdevs_exit(usbdevs_ctx* ctx);
/* Index 0: searches for the interface of service "tarrow" and stores its path;
 * 0 and *handle = ctx when found, else 1. Any other index: 1 at once. */
unsigned usbdevs_select(usbdevs_ctx* ctx, usbdevs_handle* handle, uint8_t index);
/* 1 when an interface of class KSCATEGORY_RENDER belongs to a device whose
 * service name equals `service` (exact, case-sensitive); the last match
 * enumerated is copied into `path` (bounded by `capacity` code units). A null
 * service matches nothing. */
int usbdevs_find_interface(const WCHAR* service, WCHAR* path, uint32_t capacity);
/* Opens the private control interface beside `path` (last component replaced
 * by "tarrow"). INVALID_HANDLE_VALUE on failure. */
HANDLE usbdevs_open(const WCHAR* path);
/* Host-to-device vendor request with `length` (1..64) payload bytes. 0, 1, 2. */
unsigned usbdevs_ctrl_out(usbdevs_handle handle, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                          uint16_t length, const void* data);
/* Device-to-host vendor request into `reply`; on 0 exactly `length` bytes. */
unsigned usbdevs_ctrl_in(usbdevs_handle handle, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                         uint16_t length, void* reply);
/* IOCTL_QUENBY_TUNNEL on an open file. 0; 2 for error 31; 1 for any other error or
 * a returned byte count other than out_size. */
unsigned usbdevs_ioctl(HANDLE file, void* in, uint32_t in_size, void* out, uint32_t out_size);
/* Prints the thread's last error and the system's text for it; returns it. */
uint32_t usbdevs_print_last_error(void);

/* The unit keeps one queue of answers for every program that talks to it, so
 * a message and the replies that answer it must not interleave with another
 * program's. usbdevs_exchange_begin takes the exchange lock the driver keeps
 * for the selected unit (IOCTL_QUENBY_EXCHANGE_TAKE), asking again until it
 * has it, for at most USBDEVS_EXCHANGE_WAIT_MS (usbdevs_exchange_begin_within:
 * `wait_ms`). It returns the exchange (a handle the lock belongs to), or null:
 * with the thread's last error ERROR_TIMEOUT when other programs kept the
 * unit for the whole wait (usbdevs_exchange_holder then says who held it),
 * else the error that kept the interface from being opened. No holder keeps
 * the lock longer than QUENBY_EXCHANGE_HOLD_MS while another program waits.
 * usbdevs_exchange_end releases the lock and closes the handle (null is
 * ignored): 0, or 1 when the lock was taken away from this exchange before
 * its end (its replies may then be another program's).
 * Not recursive: one exchange at a time per thread.
 * usbdevs_exchange_abandoned: 1 when the exchange this thread began last took
 * the lock over from a holder that ended inside its exchange (closed, or held
 * it too long); what that one left of its answer may still be queued. */
#define USBDEVS_EXCHANGE_WAIT_MS 60000
typedef struct usbdevs_exchange_holder_t {
  uint32_t process_id; /* the holder's process */
  uint32_t session_id; /* the Windows session it runs in */
  uint32_t held_ms;    /* for how long it had held the lock */
} usbdevs_exchange_holder_t;
HANDLE usbdevs_exchange_begin(usbdevs_handle handle);
HANDLE usbdevs_exchange_begin_within(usbdevs_handle handle, DWORD wait_ms);
int usbdevs_exchange_abandoned(void);
/* 1 and *holder set when this thread's last exchange was refused while a
 * holder was known. */
int usbdevs_exchange_holder(usbdevs_exchange_holder_t* holder);
int usbdevs_exchange_end(HANDLE exchange);

unsigned vxdev_init(vxdev_t* dev);
unsigned vxdev_reset(vxdev_t* dev);
/* 0 and *handle set when a unit was selected; 1 otherwise. Only right after
 * vxdev_reset does a call search; a second call fails at once. */
unsigned vxdev_open(vxdev_t* dev, usbdevs_handle* handle);

#ifdef __cplusplus
}
#endif

#endif
