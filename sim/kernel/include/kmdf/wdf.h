// Kernel-Mode Driver Framework 1.11: the subset of the framework (objects,
// contexts, driver, device, memory, locks, collections, requests, I/O
// targets) that the driver calls, for the Linux stand-in. As in the WDK, the
// USB target is declared in <wdfusb.h> and the miniport device in
// <wdfminiport.h>, which a driver includes after this header.
//
// Names, structure layouts and signatures follow the published KMDF
// documentation. The framework's hidden driver-globals argument is not part
// of these declarations: each method is an ordinary function of the name the
// driver calls.
#ifndef KORVEL_KMDF_WDF_H
#define KORVEL_KMDF_WDF_H

#include <ntddk.h>
#include <stddef.h>

#define KMDF_VERSION_MAJOR 1
#define KMDF_VERSION_MINOR 11

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------
typedef void* WDFOBJECT;
typedef WDFOBJECT* PWDFOBJECT;
typedef void* WDFCONTEXT;
#define WDF_DECLARE_HANDLE(name) \
  struct name##__ {              \
    int unused;                  \
  };                             \
  typedef struct name##__* name
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFCOLLECTION);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);

#define WDF_NO_HANDLE NULL
#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_SEND_OPTIONS NULL
#define WDF_NO_CONTEXT NULL

// ---------------------------------------------------------------------------
// Time-outs (100 ns units; negative = relative)
// ---------------------------------------------------------------------------
#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)
inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
  return (LONGLONG)Time * -WDF_TIMEOUT_TO_SEC;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
  return (LONGLONG)Time * -WDF_TIMEOUT_TO_MS;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) {
  return (LONGLONG)Time * -WDF_TIMEOUT_TO_US;
}

// ---------------------------------------------------------------------------
// Objects and contexts
// ---------------------------------------------------------------------------
typedef enum _WDF_EXECUTION_LEVEL {
  WdfExecutionLevelInvalid = 0x00,
  WdfExecutionLevelInheritFromParent,
  WdfExecutionLevelPassive,
  WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
  WdfSynchronizationScopeInvalid = 0x00,
  WdfSynchronizationScopeInheritFromParent,
  WdfSynchronizationScopeDevice,
  WdfSynchronizationScopeQueue,
  WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(void);

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  PCSTR ContextName;
  size_t ContextSize;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
  PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;

typedef struct _WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
  RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
  Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
  Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
  (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                 \
  WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

extern "C" PVOID FASTCALL WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                         PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                 \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {                   \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                           \
      &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                                    \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                                \
    return (_contexttype*)WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)); \
  }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type) \
  ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)))

extern "C" {
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
void WdfObjectDelete(WDFOBJECT Object);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
}

// ---------------------------------------------------------------------------
// Driver and device
// ---------------------------------------------------------------------------
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
  WdfDriverInitNonPnpDriver = 0x00000001,
  WdfDriverInitNoDispatchOverride = 0x00000002,
  WdfVerifyOn = 0x00000004,
  WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
  RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
  Config->Size = sizeof(WDF_DRIVER_CONFIG);
  Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

extern "C" {
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
WDFDRIVER WdfGetDriver(void);
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
}

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
typedef struct _WDFMEMORY_OFFSET {
  size_t BufferOffset;
  size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer,
  WdfMemoryDescriptorTypeMdl,
  WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      PMDL Mdl;
      ULONG BufferLength;
    } MdlType;
    struct {
      WDFMEMORY Memory;
      PWDFMEMORY_OFFSET Offsets;
    } HandleType;
  } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                              ULONG BufferLength) {
  RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
  Descriptor->u.BufferType.Buffer = Buffer;
  Descriptor->u.BufferType.Length = BufferLength;
}

extern "C" {
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer);
PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);
}

// ---------------------------------------------------------------------------
// Locks and collections
// ---------------------------------------------------------------------------
extern "C" {
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
void WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
void WdfSpinLockRelease(WDFSPINLOCK SpinLock);
NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
void WdfWaitLockRelease(WDFWAITLOCK Lock);
NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);
}

// ---------------------------------------------------------------------------
// Requests and I/O targets
// ---------------------------------------------------------------------------
typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
  WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
  WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
  WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
  ULONG Size;
  ULONG Flags;
  LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
  RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
  Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
  Options->Flags = Flags;
}
inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options, LONGLONG Timeout) {
  Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
  Options->Timeout = Timeout;
}

typedef enum _WDF_REQUEST_REUSE_FLAGS {
  WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
  WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
  ULONG Size;
  ULONG Flags;
  NTSTATUS Status;
  PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

inline void WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags, NTSTATUS Status) {
  RtlZeroMemory(Params, sizeof(WDF_REQUEST_REUSE_PARAMS));
  Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
  Params->Flags = Flags;
  Params->Status = Status;
}

typedef enum _WDF_REQUEST_TYPE {
  WdfRequestTypeCreate = 0x0,
  WdfRequestTypeRead = 0x3,
  WdfRequestTypeWrite = 0x4,
  WdfRequestTypeDeviceControl = 0xE,
  WdfRequestTypeDeviceControlInternal = 0xF,
  WdfRequestTypeOther = 0x1C,
  WdfRequestTypeUsb = 0x40,
} WDF_REQUEST_TYPE;

// The USB completion parameters are declared with the USB target (<wdfusb.h>).
typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
  ULONG Size;
  WDF_REQUEST_TYPE Type;
  IO_STATUS_BLOCK IoStatus;
  union {
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Write;
    struct {
      WDFMEMORY Buffer;
      size_t Length;
      size_t Offset;
    } Read;
    struct {
      ULONG IoControlCode;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
      } Input;
      struct {
        WDFMEMORY Buffer;
        size_t Offset;
        size_t Length;
      } Output;
    } Ioctl;
    struct {
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument1;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument2;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument3;
      union {
        PVOID Ptr;
        ULONG_PTR Value;
      } Argument4;
    } Others;
    struct {
      PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
    } Usb;
  } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;
static_assert(offsetof(WDF_REQUEST_COMPLETION_PARAMS, Parameters) == 24 &&
                  offsetof(WDF_REQUEST_COMPLETION_PARAMS, Parameters.Ioctl.Output.Length) == 64 &&
                  offsetof(WDF_REQUEST_COMPLETION_PARAMS, Parameters.Others.Argument4) == 48 &&
                  sizeof(WDF_REQUEST_COMPLETION_PARAMS) == 72,
              "WDF_REQUEST_COMPLETION_PARAMS layout (x64)");

typedef void EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
  WdfIoTargetSentIoUndefined = 0,
  WdfIoTargetCancelSentIo,
  WdfIoTargetWaitForSentIoToComplete,
  WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

extern "C" {
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request);
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);
void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
}

#endif
