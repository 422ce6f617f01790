// User-mode stand-in for the Windows kernel and HAL (<wdm.h>): the types,
// status codes, dispatcher objects, pool, MDL, IRP, thread and power
// declarations that the driver calls. Names, signatures and the layouts that
// driver code depends on follow the WDK; Windows widths are kept (ULONG and
// LONG are 32-bit, WCHAR is a 16-bit UTF-16 code unit). C++ only.
#ifndef KORVEL_SIM_WDM_H
#define KORVEL_SIM_WDM_H

#include <sdkddkver.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
#define NTAPI
// Calling conventions: x64 has one; the names stay for the declarations.
#define FASTCALL
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define DECLSPEC_IMPORT
#define FORCEINLINE inline
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))
// Members that Windows aligns to a pointer boundary on 64-bit systems.
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define VOID void
#define CONST const
#define ANYSIZE_ARRAY 1
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((char*)(address) - (uintptr_t)(&((type*)0)->field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)

typedef unsigned char UCHAR, BYTE, BOOLEAN;
typedef char CHAR, CCHAR;
typedef uint16_t USHORT, WORD;
typedef int16_t SHORT, CSHORT;
typedef uint32_t ULONG, DWORD, UINT;
typedef int32_t LONG, INT;
typedef int64_t LONGLONG, LONG64;
typedef uint64_t ULONGLONG, ULONG64, DWORD64;
typedef uintptr_t ULONG_PTR, SIZE_T, KAFFINITY;
typedef intptr_t LONG_PTR;
typedef float FLOAT;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef void* PVOID;
typedef const void* PCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef ULONG LOGICAL;
typedef ULONG CLONG;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef ULONG_PTR ERESOURCE_THREAD;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
#endif
typedef GUID* PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  return memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID& a, const GUID& b) {
  return IsEqualGUID(a, b);
}
inline bool operator!=(const GUID& a, const GUID& b) {
  return !IsEqualGUID(a, b);
}

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DRIVER_INTERNAL_ERROR ((NTSTATUS)0xC0000183L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)

// ---------------------------------------------------------------------------
// IRQL and processor
// ---------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8
#define EVENT_INCREMENT 1
#define LOW_REALTIME_PRIORITY 16
#define LOW_PRIORITY 0
#define HIGH_PRIORITY 31

#define KernelMode 0
#define UserMode 1

extern "C" {
KIRQL KeGetCurrentIrql(void);
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDslevel(void);
}

// ---------------------------------------------------------------------------
// Interlocked operations (intrinsics on Windows)
// ---------------------------------------------------------------------------
inline LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline void KeMemoryBarrier(void) {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
inline LONG ReadNoFence(LONG const volatile* Source) {
  return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
// Source: wdm.h: RtlCompareMemory returns the number of leading bytes that match.
#define RtlCompareMemory(Source1, Source2, Length) korvel_RtlCompareMemory((Source1), (Source2), (Length))
inline SIZE_T korvel_RtlCompareMemory(const void* a, const void* b, SIZE_T n) {
  const UCHAR* x = static_cast<const UCHAR*>(a);
  const UCHAR* y = static_cast<const UCHAR*>(b);
  SIZE_T i = 0;
  while (i < n && x[i] == y[i]) ++i;
  return i;
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
typedef ULONG64 POOL_FLAGS;

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);
}

// ---------------------------------------------------------------------------
// Dispatcher objects: events, mutexes, threads
// ---------------------------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef struct _KPROCESS* PEPROCESS;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  struct _KTHREAD* OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
} KWAIT_REASON;

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

extern "C" {
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
PKTHREAD KeGetCurrentThread(void);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime(void);
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeStallExecutionProcessor(ULONG MicroSeconds);
}
#define KeQuerySystemTime(t) KeQuerySystemTimePrecise(t)

// ---------------------------------------------------------------------------
// Object manager, system threads
// ---------------------------------------------------------------------------
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define SYNCHRONIZE 0x00100000L

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef void KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern "C" POBJECT_TYPE* PsThreadType;

extern "C" {
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTSTATUS ZwClose(HANDLE Handle);
NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
LONG_PTR ObfDereferenceObject(PVOID Object);
HANDLE PsGetCurrentProcessId(void);
}
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// ---------------------------------------------------------------------------
// Version
// ---------------------------------------------------------------------------
typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

extern "C" {
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
}

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------
typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE,
    *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE,
    *PDEVICE_POWER_STATE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject,
  PowerActionDisplayOff
} POWER_ACTION,
    *PPOWER_ACTION;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved1 : 1;
  ULONG WakeFromInterrupt : 1;
  ULONG SecureDevice : 1;
  ULONG ChildOfVgaEnabledBridge : 1;
  ULONG DecodeIoOnBoot : 1;
  ULONG Reserved : 9;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");

// ---------------------------------------------------------------------------
// MDL
// ---------------------------------------------------------------------------
typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  struct _KPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef enum _MM_PAGE_PRIORITY {
  LowPagePriority,
  NormalPagePriority = 16,
  HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoExecute 0x40000000
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

typedef struct _IRP* PIRP;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;

extern "C" {
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp);
void IoFreeMdl(PMDL Mdl);
void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority);
}
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
// Source: wdm.h: MmGetSystemAddressForMdlSafe, the mapped address when the MDL has one, else a new
// mapping.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return Mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}

// ---------------------------------------------------------------------------
// Non-executable pool for one binary on every Windows version. A source built
// with POOL_NX_OPTIN=1 reads NonPagedPool as the image's default non-paged
// pool type: executable until DriverEntry calls
// ExInitializeDriverRuntime(DrvRtPoolNxOptIn), which turns it into
// NonPagedPoolNx on Windows 8 (6.2) and later and leaves it executable on
// Windows 7, which has no NX pool.
// ---------------------------------------------------------------------------
// Source: "ExInitializeDriverRuntime function (wdm.h)" and "Single Binary Opt-In: POOL_NX_OPTIN";
// NX non-paged pool came with Windows 8.
typedef enum _DRIVER_RUNTIME_INIT_FLAGS {
  DrvRtPoolNxOptIn = 0x00000001,
  LastDrvRtFlag
} DRIVER_RUNTIME_INIT_FLAGS;

// One pair per driver image; the loader gives every image a fresh pair.
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPoolExecute;
inline ULONG ExDefaultMdlProtection = 0;

FORCEINLINE void ExInitializeDriverRuntime(ULONG RuntimeFlags) {
  if ((RuntimeFlags & DrvRtPoolNxOptIn) == 0) return;
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (RtlGetVersion(&version) < 0) return;
  if (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)) {
    ExDefaultNonPagedPoolType = NonPagedPoolNx;
    ExDefaultMdlProtection = MdlMappingNoExecute;
  }
}

#if defined(POOL_NX_OPTIN) && POOL_NX_OPTIN && !(defined(POOL_NX_OPTOUT) && POOL_NX_OPTOUT)
#define NonPagedPool ExDefaultNonPagedPoolType
#define NonPagedPoolCacheAligned ((POOL_TYPE)(ExDefaultNonPagedPoolType + 4))
#endif

// ---------------------------------------------------------------------------
// Driver and device objects, IRPs
// ---------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_KS 0x0000002f
#define FILE_LONG_ALIGNMENT 0x00000003
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode)&3))

#define FILE_DEVICE_SECURE_OPEN 0x00000100

// Source: wdm.h: SL_READ_ACCESS_GRANTED, SL_WRITE_ACCESS_GRANTED.
// IO_STACK_LOCATION.Flags of a device-control request: the rights the
// caller's handle holds.
#define SL_READ_ACCESS_GRANTED 0x01
#define SL_WRITE_ACCESS_GRANTED 0x04

#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  PIRP CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CHAR StackSize;
} DEVICE_OBJECT;

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  struct _FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      ULONG POINTER_ALIGNMENT InputBufferLength;
      ULONG POINTER_ALIGNMENT IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE POINTER_ALIGNMENT Type;
      POWER_STATE POINTER_ALIGNMENT State;
      POWER_ACTION POINTER_ALIGNMENT ShutdownType;
    } Power;
    struct {
      PVOID AllocatedResources;
      PVOID AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

// An asynchronous procedure call object; only its size matters here (it
// overlays an IRP's tail).
typedef struct _KAPC {
  UCHAR Type;
  UCHAR SpareByte0;
  UCHAR Size;
  UCHAR SpareByte1;
  ULONG SpareLong0;
  struct _KTHREAD* Thread;
  LIST_ENTRY ApcListEntry;
  PVOID Reserved[3];
  PVOID NormalContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  CCHAR ApcStateIndex;
  KPROCESSOR_MODE ApcMode;
  BOOLEAN Inserted;
} KAPC, *PKAPC;

typedef void DRIVER_CANCEL(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

// Source: wdm.h: IRP, IO_STACK_LOCATION.
// An IRP carries its stack locations behind it; the stand-in's I/O manager
// allocates them (IoAllocateIrp) and keeps CurrentLocation/CurrentStackLocation
// as Windows does. The layout is Windows' own.
typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
    KAPC Apc;
    PVOID CompletionKey;
  } Tail;
} IRP;

// Source: wdm.h: the WDK's inline stack-location routines; IoMarkIrpPending sets
// SL_PENDING_RETURNED (0x01) and IoCopyCurrentIrpStackLocationToNext copies up to CompletionRoutine
// and clears Control.
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION n = IoGetNextIrpStackLocation(Irp);
  memcpy(n, s, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
  n->Control = 0;
}
inline void IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= 0x01;
}

extern "C" {
void IofCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension);
PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress);
// The session of the process that sent the request ("IoGetRequestorSessionId":
// STATUS_UNSUCCESSFUL for a request the system made, no process behind it).
NTSTATUS IoGetRequestorSessionId(PIRP Irp, PULONG pSessionId);
NTSTATUS IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess);
}
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)
#define IoCallDriver(a, b) IofCallDriver(a, b)

// ---------------------------------------------------------------------------
// What Microsoft's KMDF headers name besides what the driver calls: handles,
// the kernel objects their methods hand out (opaque here: the driver calls
// none of those methods), and the enumerations of their parameters, each
// with the WDK's names; the stand-in's framework refuses the methods it
// does not implement.
// ---------------------------------------------------------------------------
#define DECLARE_HANDLE(name) \
  struct name##__ {          \
    int unused;              \
  };                         \
  typedef struct name##__* name
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define __cdecl
typedef GUID* LPGUID;
typedef ULONG LCID;
typedef ULONG DEVICE_TYPE;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef struct _KDPC* PKDPC;
typedef struct _KINTERRUPT* PKINTERRUPT;
typedef struct _DMA_ADAPTER* PDMA_ADAPTER;
typedef struct _SCATTER_GATHER_LIST* PSCATTER_GATHER_LIST;
typedef struct _IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;
typedef struct _PNP_BUS_INFORMATION* PPNP_BUS_INFORMATION;
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR* PCM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef struct _IO_RESOURCE_DESCRIPTOR* PIO_RESOURCE_DESCRIPTOR;
typedef struct _IO_RESOURCE_REQUIREMENTS_LIST* PIO_RESOURCE_REQUIREMENTS_LIST;
typedef struct _PO_FX_COMPONENT* PPO_FX_COMPONENT;
typedef PVOID POHANDLE;
typedef void PO_FX_COMPONENT_ACTIVE_CONDITION_CALLBACK(PVOID Context, ULONG Component);
typedef PO_FX_COMPONENT_ACTIVE_CONDITION_CALLBACK* PPO_FX_COMPONENT_ACTIVE_CONDITION_CALLBACK;
typedef void PO_FX_COMPONENT_IDLE_CONDITION_CALLBACK(PVOID Context, ULONG Component);
typedef PO_FX_COMPONENT_IDLE_CONDITION_CALLBACK* PPO_FX_COMPONENT_IDLE_CONDITION_CALLBACK;
typedef void PO_FX_COMPONENT_IDLE_STATE_CALLBACK(PVOID Context, ULONG Component, ULONG State);
typedef PO_FX_COMPONENT_IDLE_STATE_CALLBACK* PPO_FX_COMPONENT_IDLE_STATE_CALLBACK;
typedef NTSTATUS PO_FX_POWER_CONTROL_CALLBACK(PVOID DeviceContext, LPCGUID PowerControlCode, PVOID InBuffer,
                                              SIZE_T InBufferSize, PVOID OutBuffer, SIZE_T OutBufferSize,
                                              PSIZE_T BytesReturned);
typedef PO_FX_POWER_CONTROL_CALLBACK* PPO_FX_POWER_CONTROL_CALLBACK;
typedef enum _DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
} DEVICE_REGISTRY_PROPERTY;
typedef enum _DEVICE_RELATION_TYPE {
  BusRelations = 0,
  EjectionRelations,
  PowerRelations
} DEVICE_RELATION_TYPE;
typedef enum _INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, PNPBus = 15 } INTERFACE_TYPE;
typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _KINTERRUPT_POLARITY { InterruptPolarityUnknown = 0 } KINTERRUPT_POLARITY;
typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF } DMA_SPEED;
typedef enum _DMA_COMPLETION_STATUS { DmaComplete, DmaAborted, DmaError, DmaCancelled } DMA_COMPLETION_STATUS;
typedef struct _GROUP_AFFINITY {
  KAFFINITY Mask;
  USHORT Group;
  USHORT Reserved[3];
} GROUP_AFFINITY, *PGROUP_AFFINITY;
typedef void INTERFACE_REFERENCE(PVOID Context);
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef void INTERFACE_DEREFERENCE(PVOID Context);
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;
typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;
#define FILE_OPEN 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040

#endif
