// mingw-w64 compile check: its <wdm.h> redefines two intrinsics that
// <intrin.h> already provides; mark them as present before including it.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#include_next <wdm.h>
