// User-mode stand-in for <ntifs.h>: the kernel declarations beyond <ntddk.h>
// (ZwWaitForSingleObject and the like) live in the <wdm.h> stand-in.
#ifndef KORVEL_SIM_NTIFS_H
#define KORVEL_SIM_NTIFS_H
#include <ntddk.h>
#endif
