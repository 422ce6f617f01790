// User-mode stand-in for <usb.h>: USBD status codes, pipe types and the URB
// records (x64 layout) that the driver builds for isochronous transfers.
#ifndef KORVEL_SIM_USB_H
#define KORVEL_SIM_USB_H
#include <usbspec.h>
#include <wdm.h>

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

// Source: usb.h (WDK): the USBD_STATUS values and tests.
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xC0000A00L)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xC0000B00L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xC0000012L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xC0020000L)
#define USBD_STATUS_ISO_TD_ERROR ((USBD_STATUS)0xC0030000L)
#define USBD_STATUS_ISO_NA_LATE_USBPORT ((USBD_STATUS)0xC0040000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE ((USBD_STATUS)0xC0050000L)

// Source: usb.h (WDK): USBD_ISO_START_FRAME_RANGE.
// How far ahead of the current frame an isochronous transfer may start.
#define USBD_ISO_START_FRAME_RANGE 1024

typedef enum _USBD_PIPE_TYPE {
  UsbdPipeTypeControl,
  UsbdPipeTypeIsochronous,
  UsbdPipeTypeBulk,
  UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 2
#define USBD_START_ISO_TRANSFER_ASAP 4
#define USBD_DEFAULT_PIPE_TRANSFER 8

// Source: "_URB_ISOCH_TRANSFER structure (usb.h)" and "USBD_ISO_PACKET_DESCRIPTOR structure
// (usb.h)"; the x64 offsets are checked below.
struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
  ULONG Offset;
  ULONG Length;
  USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_ISOCH_TRANSFER {
  struct _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union _URB* UrbLink;
  struct _URB_HCD_AREA hca;
  ULONG StartFrame;
  ULONG NumberOfPackets;
  ULONG ErrorCount;
  USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

typedef union _URB {
  struct _URB_HEADER UrbHeader;
  struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
} URB, *PURB;

#define GET_ISO_URB_SIZE(n) \
  (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * ((n)-1))

static_assert(sizeof(struct _URB_HEADER) == 24, "URB header layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128, "isochronous URB layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "isochronous URB layout");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "isochronous packet descriptor layout");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous URB layout");
static_assert(GET_ISO_URB_SIZE(8) == 236, "isochronous URB size");

typedef struct _USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

#endif
