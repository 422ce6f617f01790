// User-mode stand-in for <ntddk.h>: everything lives in the <wdm.h> stand-in.
#ifndef KORVEL_SIM_NTDDK_H
#define KORVEL_SIM_NTDDK_H
#include <wdm.h>
#endif
