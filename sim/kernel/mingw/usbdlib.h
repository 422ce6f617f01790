// mingw-w64 compile check: the USBD client contract versions of the current WDK.
#include_next <usbdlib.h>
#ifndef USBD_CLIENT_CONTRACT_VERSION_602
#define USBD_CLIENT_CONTRACT_VERSION_INVALID 0xFFFFFFFF
#define USBD_CLIENT_CONTRACT_VERSION_602 0x602
#endif
