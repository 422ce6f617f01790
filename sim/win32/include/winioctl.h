// Stand-in for <winioctl.h>: device-control code construction.
// Source: the Windows SDK's winioctl.h (CTL_CODE and its constants).
#ifndef KORVEL_SIM_WINIOCTL_H
#define KORVEL_SIM_WINIOCTL_H

#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((DWORD)((ctrlCode)&3))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((DWORD)((ctrlCode)&0xffff0000)) >> 16)

#endif
