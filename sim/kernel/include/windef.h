// User-mode stand-in for <windef.h> as kernel drivers include it before the
// kernel-streaming headers. The basic types come from the <wdm.h> stand-in.
#ifndef KORVEL_SIM_WINDEF_H
#define KORVEL_SIM_WINDEF_H
#include <wdm.h>
typedef int BOOL;
typedef ULONG COLORREF;
#endif
