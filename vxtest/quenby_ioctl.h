/* The device-control codes of quenby's private interface ("\tarrow"), shared
 * by the driver, the device library, the stand-ins and the tools. Every code
 * is of device type FILE_DEVICE_UNKNOWN; the function numbers, transfer
 * methods and access bits are those the callers know and never change.
 *
 * The codes expand to CTL_CODE: use them where <winioctl.h> (user mode) or
 * <ntddk.h> (kernel mode) has been included. Codes defined with
 * FILE_ANY_ACCESS are checked by the driver itself (see the access each
 * needs below): the I/O manager checks only the access bits of a code.
 *
 * Access each code needs of its handle (FILE_READ_DATA: opened for reading,
 * FILE_WRITE_DATA: opened for writing):
 *   write: the tunnel, every code that changes direct mode, the rings, the
 *          counters or the in-flight count, the exchange lock;
 *   read:  the codes that only report (counters, in-flight transfers, render
 *          delay, channel counts) and the capture ring read. */
#ifndef QUENBY_IOCTL_H
#define QUENBY_IOCTL_H

/* Vendor control-request tunnel: input usbdevs_ctrl_req (+ payload), output
 * the reply of a device-to-host request. */
#define IOCTL_QUENBY_TUNNEL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Direct mode: a user-mode client exchanges samples with the USB streams
 * through the driver's two rings. The handle that enters owns the mode until
 * it leaves or is closed. */
#define IOCTL_QUENBY_ENTER_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_LEAVE_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_RESET_CAPTURE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_RESET_RENDER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_RESET_BOTH CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: whole frames of capture samples. */
#define IOCTL_QUENBY_READ_CAPTURE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80F, METHOD_OUT_DIRECT, FILE_READ_ACCESS)
/* Input: whole frames of render samples. */
#define IOCTL_QUENBY_WRITE_RENDER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_IN_DIRECT, FILE_WRITE_ACCESS)
/* No operation. */
#define IOCTL_QUENBY_NOTHING CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_WRITE_ACCESS)
/* Output: the 28-byte StreamCounters. */
#define IOCTL_QUENBY_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_CLEAR_COUNTERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x813, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: u32, render transfers in flight. */
#define IOCTL_QUENBY_IN_FLIGHT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x814, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: u32, 2 to 15 transfers in flight per stream from its next start. */
#define IOCTL_QUENBY_SET_IN_FLIGHT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x815, METHOD_BUFFERED, FILE_WRITE_ACCESS)
/* Output: u32, render delay in frames. */
#define IOCTL_QUENBY_RENDER_DELAY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x816, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: the 16-byte direct-mode format record. */
#define IOCTL_QUENBY_SET_FORMATS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x817, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_START_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x818, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_QUENBY_STOP_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x819, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: u32, capture channels in the low 16 bits, render in the high. */
#define IOCTL_QUENBY_MAX_CHANNELS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x81A, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* The exchange lock: one program at a time sends the unit a message and
 * reads the replies that answer it (the unit has one answer queue for every
 * program). The lock belongs to the file object that took it, until that
 * one ends it, its last handle is closed, or it has held the lock for
 * QUENBY_EXCHANGE_HOLD_MS while another program waits for it. TAKE never
 * waits: it takes the lock when it is free and the caller's session is next
 * in turn, else it says who holds it; the caller asks again. Output of both:
 * the 16-byte exchange record below (all fields little-endian u32). */
#define IOCTL_QUENBY_EXCHANGE_TAKE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x81B, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_QUENBY_EXCHANGE_END CTL_CODE(FILE_DEVICE_UNKNOWN, 0x81C, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define QUENBY_EXCHANGE_HOLD_MS 2000
#define QUENBY_EXCHANGE_RECORD_SIZE 16
/* Offset 0, flags: */
#define QUENBY_EXCHANGE_HELD 0x1       /* TAKE: the caller holds it now; END: it held it until this end */
#define QUENBY_EXCHANGE_TAKEN_OVER 0x2 /* TAKE: the holder before ended inside its exchange */
/* Offset 4: the holder's process id (0: none); 8: its session id; 12: for
 * how many milliseconds it has held the lock. */

#endif
