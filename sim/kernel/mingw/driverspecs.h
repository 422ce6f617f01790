// mingw-w64 compile check: its <driverspecs.h> with what the current WDK's
// has and mingw-w64's older copy lacks.
#ifndef KORVEL_MINGW_DRIVERSPECS_H
#define KORVEL_MINGW_DRIVERSPECS_H

#include_next <driverspecs.h>

// The major functions a dispatch routine serves; code analysis only.
// Source: driverspecs.h (WDK).
#ifndef _Dispatch_type_
#define _Dispatch_type_(type)
#endif

#endif
