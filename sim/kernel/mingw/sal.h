// mingw-w64 compile check: its <sal.h> with what the current SDK's has and
// mingw-w64's older copy lacks.
#ifndef KORVEL_MINGW_SAL_H
#define KORVEL_MINGW_SAL_H

#include_next <sal.h>

// The definition of a function takes the annotations of its declaration;
// code analysis only. Source: sal.h (Windows SDK).
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif

#endif
