// mingw-w64 compile check: its <wdm.h> redefines two intrinsics that
// <intrin.h> already provides; mark them as present before including it.
// Then the single-binary no-execute pool opt-in of the current WDK, which
// mingw-w64's DDK does not declare.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif
#include_next <ntddk.h>
#ifndef KORVEL_MINGW_NTDDK_EXTRA
#define KORVEL_MINGW_NTDDK_EXTRA
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
typedef enum _DRIVER_RUNTIME_INIT_FLAGS {
  DrvRtPoolNxOptIn = 0x00000001,
  LastDrvRtFlag
} DRIVER_RUNTIME_INIT_FLAGS;
#if defined(POOL_NX_OPTIN) && POOL_NX_OPTIN && !(defined(POOL_NX_OPTOUT) && POOL_NX_OPTOUT)
#define KORVEL_POOL_NX_OPTIN 1
#else
#define KORVEL_POOL_NX_OPTIN 0
#endif
#if KORVEL_POOL_NX_OPTIN
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPoolExecute;
inline ULONG ExDefaultMdlProtection = 0;
#define NonPagedPool ExDefaultNonPagedPoolType
#define NonPagedPoolCacheAligned ((POOL_TYPE)(ExDefaultNonPagedPoolType + 4))
#endif
FORCEINLINE VOID ExInitializeDriverRuntime(ULONG RuntimeFlags) {
  UNREFERENCED_PARAMETER(RuntimeFlags);
#if KORVEL_POOL_NX_OPTIN
  if ((RuntimeFlags & DrvRtPoolNxOptIn) == 0) return;
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!NT_SUCCESS(RtlGetVersion(&version))) return;
  if (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)) {
    ExDefaultNonPagedPoolType = NonPagedPoolNx;
    ExDefaultMdlProtection = MdlMappingNoExecute;
  }
#endif
}
// IoGetRequestorSessionId: Windows 2000 and later, declared in <ntddk.h> by
// the WDK ("IoGetRequestorSessionId", Requirements); mingw-w64 has it in
// <ntifs.h> only.
extern "C" NTKERNELAPI NTSTATUS NTAPI IoGetRequestorSessionId(PIRP Irp, PULONG pSessionId);
#endif
