// Compile check against Microsoft's KMDF headers with GCC and clang (never
// part of a Windows build): <wdf.h> as the WDK has it, and where MSVC accepts
// what these compilers do not, the same declarations in a form they accept.
// scripts/windows_kmdf.py stages the headers for the rest (enums used before
// their definition, include names in another case).
#ifndef KORVEL_MINGW_KMDF_WDF_H
#define KORVEL_MINGW_KMDF_WDF_H

// The context type information is declared WDF_EXTERN_C ... extern const,
// which MSVC takes and GCC and clang refuse ("extern" twice); C++ linkage
// changes nothing for a constant that no C source names.
#ifndef WDF_EXTERN_C
#define WDF_EXTERN_C
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }
#endif

#include_next <wdf.h>

// The same context type information without __declspec(allocate), an MSVC
// section placement that GCC and clang do not know, and with the type's name
// as const text: MSVC converts the string literal to PCHAR, which GCC and
// clang refuse in C++.
#undef WDF_DECLARE_TYPE_AND_GLOBALS
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType, _section)      \
  typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                              \
  __declspec(selectany) extern const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(  \
      _contexttype) = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), const_cast<PCHAR>(#_contexttype), \
                       sizeof(_contexttype), _UniqueType, _GetUniqueType};

#endif
