// User-mode stand-in for <usbdlib.h>: the USBD client contract versions.
#ifndef KORVEL_SIM_USBDLIB_H
#define KORVEL_SIM_USBDLIB_H
#include <usb.h>

#define USBD_CLIENT_CONTRACT_VERSION_INVALID 0xFFFFFFFF
#define USBD_CLIENT_CONTRACT_VERSION_602 0x602

#endif
