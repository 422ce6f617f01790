// Kernel-Mode Driver Framework for the Linux stand-in: Microsoft's published
// KMDF headers (third_party/kmdf-1.15, staged into the build), as a driver
// compiles against them with the WDK; <wdfusb.h> and <wdfminiport.h> are
// Microsoft's as well. Every method is an inline function that calls through
// the framework's function table with the driver globals;
// sim/kernel/src/wdf_table.cpp fills that table with the stand-in's methods.
// Here only what GCC does not take as MSVC does is restated.
#ifndef KORVEL_KMDF_WDF_H
#define KORVEL_KMDF_WDF_H

// The context type information is declared WDF_EXTERN_C ... extern const,
// which MSVC takes and GCC refuses ("extern" twice); C++ linkage changes
// nothing for a constant no C source names.
#ifndef WDF_EXTERN_C
#define WDF_EXTERN_C
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }
#endif

// A driver includes <ntddk.h> (or <wdm.h>) before <wdf.h>; the stand-in's
// own sources may name <wdf.h> first (the Windows checks compile the driver
// against Microsoft's headers alone).
#include <ntddk.h>
#include_next <wdf.h>

// The same context type information as one constant for the whole program
// (an inline variable, where MSVC has __declspec(selectany) and a section
// placement of its own), with the type's name as const text (MSVC converts
// the string literal to PCHAR, GCC refuses in C++).
#undef WDF_DECLARE_TYPE_AND_GLOBALS
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType, _section)           \
  typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                   \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {            \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), const_cast<PCHAR>(#_contexttype), sizeof(_contexttype), \
      _UniqueType, _GetUniqueType};

#endif
