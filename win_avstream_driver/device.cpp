// Driver entry and unload, the dispatch hooks, and the kernel-streaming
// device callbacks: add, start (USB bring-up, filter factory, power-up),
// power transitions, capabilities, surprise removal and remove.
#include "quenby.h"
#include "vxwide.h"

namespace {

// The major functions whose requests can carry a private file object: those
// the kernel-streaming class serves through a file object's KS object header
// (which a private file object does not have: KS would read it through a
// NULL FsContext), create, and cleanup, which the private interface needs
// for itself. The routines the class (or the I/O manager) installed for them
// are kept in the driver-object extension; requests on KS's own file objects
// go on to them.
const UCHAR kHookedMajors[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,          IRP_MJ_CLEANUP,
                               IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ,           IRP_MJ_WRITE,
                               IRP_MJ_FLUSH_BUFFERS,  IRP_MJ_QUERY_SECURITY, IRP_MJ_SET_SECURITY};

typedef struct _QUENBY_DRIVER_EXTENSION {
  PDRIVER_DISPATCH Next[IRP_MJ_MAXIMUM_FUNCTION + 1];
} QUENBY_DRIVER_EXTENSION;

PDRIVER_UNLOAD g_KsUnload = nullptr;

QUENBY_DRIVER_EXTENSION* DriverExtension(PDEVICE_OBJECT deviceObject) {
  return static_cast<QUENBY_DRIVER_EXTENSION*>(
      IoGetDriverObjectExtension(deviceObject->DriverObject, QUENBY_EXTENSION_ID));
}

// Handle routing: the private interface serves its own handles; everything
// else goes on to the kernel-streaming class.
_Dispatch_type_(IRP_MJ_CREATE)
_Dispatch_type_(IRP_MJ_CLOSE)
_Dispatch_type_(IRP_MJ_CLEANUP)
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL)
_Dispatch_type_(IRP_MJ_READ)
_Dispatch_type_(IRP_MJ_WRITE)
_Dispatch_type_(IRP_MJ_FLUSH_BUFFERS)
_Dispatch_type_(IRP_MJ_QUERY_SECURITY)
_Dispatch_type_(IRP_MJ_SET_SECURITY)
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH QuenbyDispatch;
_Use_decl_annotations_
NTSTATUS QuenbyDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  return QuenbyPrivateDispatch(deviceObject, irp, DriverExtension(deviceObject)->Next[major]);
}

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_UNLOAD QuenbyUnload;
_Use_decl_annotations_
void QuenbyUnload(PDRIVER_OBJECT driverObject) {
  if (g_KsUnload != nullptr) g_KsUnload(driverObject);
  WdfDriverMiniportUnload(WdfGetDriver());
}

// ---------------------------------------------------------------------------
// Power
// ---------------------------------------------------------------------------
// A direction at power-up: idle, its clock at the device format's rate,
// the setting for that format selected. A clock whose rate the host cannot
// set that runs at another rate now (a word clock that moved while the
// device slept or stopped) leaves the direction idle, its streams not run
// again until the clock runs at their rate: STATUS_DEVICE_NOT_READY, which
// fails neither the power-up nor the other direction.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PowerUpDirection(WDF_DEVICE_CONTEXT* ctx, ULONG direction, WDFUSBINTERFACE usbInterface) {
  NTSTATUS status = QuenbySelectAltSetting(ctx, usbInterface, 0);
  if (!NT_SUCCESS(status)) return status;
  status =
      QuenbyClockToRate(ctx, direction, ctx->Dir[direction].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
  if (!NT_SUCCESS(status))
    return ctx->Dir[direction].FixedRate != 0 && ctx->Dir[direction].FixedRateFound != 0
               ? STATUS_DEVICE_NOT_READY
               : status;
  return QuenbySelectSlotForFormat(ctx, direction);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyPowerUpLocked(WDF_DEVICE_CONTEXT* ctx) {
  NTSTATUS status = WdfUsbTargetDeviceIsConnectedSynchronous(ctx->UsbDevice);
  if (!NT_SUCCESS(status)) return status;
  const USB_AUDIO_TOPOLOGY* t = &ctx->Topology;
  const bool capture = TopologyHasCapture(t) != 0;
  const bool render = TopologyHasRender(t) != 0;
  // Streams that still run (a power-up without a power-down before it) stop
  // before their settings go back to idle: never a stream on a deleted pipe.
  ULONG resume = ctx->ResumeStreams;
  ctx->ResumeStreams = 0;
  if (capture && InterlockedCompareExchange(
                     reinterpret_cast<LONG volatile*>(&ctx->Streams[QuenbyCapture].Active), 0, 0)) {
    resume |= QUENBY_RESUME_CAPTURE;
    QuenbyStopStream(ctx, QuenbyCapture);
  }
  if (render && InterlockedCompareExchange(
                    reinterpret_cast<LONG volatile*>(&ctx->Streams[QuenbyRender].Active), 0, 0)) {
    resume |= QUENBY_RESUME_RENDER;
    QuenbyStopStream(ctx, QuenbyRender);
    QuenbyStopStream(ctx, QuenbyFeedback);
  }
  ctx->PowerState = QUENBY_POWER_D0;
  InterlockedExchange(reinterpret_cast<LONG volatile*>(&ctx->SurpriseRemoved), 0);
  status = QuenbyStartThread(ctx);
  if (!NT_SUCCESS(status)) return status;

  if (capture) {
    status = PowerUpDirection(ctx, QUENBY_DIR_CAPTURE, ctx->Dir[QUENBY_DIR_CAPTURE].Interface);
    if (status == STATUS_DEVICE_NOT_READY) {
      resume &= ~QUENBY_RESUME_CAPTURE;
      status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;
  }
  if (render) {
    status = PowerUpDirection(ctx, QUENBY_DIR_RENDER, ctx->Dir[QUENBY_DIR_RENDER].Interface);
    if (status == STATUS_DEVICE_NOT_READY) {
      resume &= ~QUENBY_RESUME_RENDER;
      status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;
    QuenbyComputeNominalFeedback(ctx);
  }
  if (capture && render) {
    // Both idle until a stream starts.
    status = QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_RENDER].Interface, 0);
    if (NT_SUCCESS(status)) status = QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_CAPTURE].Interface, 0);
  }
  if (!NT_SUCCESS(status)) return status;
  // Streams that ran before the device powered down run again for the pins
  // (or the direct-mode client) that still use them.
  // A pin that waited for ring room or data is asked to process again: the
  // restart emptied the ring it waited on.
  // Capture nobody uses runs beside render only at render's rate (a capture
  // pin's set-format meanwhile may have changed it): it starts first and
  // must not take the one clock from render.
  if ((resume & QUENBY_RESUME_CAPTURE) != 0 && (resume & QUENBY_RESUME_RENDER) != 0 &&
      InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->Dir[QUENBY_DIR_CAPTURE].PinAcquired),
                                 0, 0) == 0 &&
      InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse),
                                 0, 0) == 0 &&
      !QuenbyCaptureFollowsRender(ctx))
    resume &= ~QUENBY_RESUME_CAPTURE;
  if ((resume & QUENBY_RESUME_CAPTURE) != 0) {
    PKSPIN owner = QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring);
    status = QuenbyResumeCapture(ctx);
    if (!NT_SUCCESS(status)) return status;
    if (owner != nullptr) KsPinAttemptProcessing(owner, TRUE);
  }
  if ((resume & QUENBY_RESUME_RENDER) != 0) {
    PKSPIN owner = QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_RENDER].Ring);
    status = QuenbyResumeRender(ctx);
    if (!NT_SUCCESS(status)) return status;
    if (owner != nullptr) KsPinAttemptProcessing(owner, TRUE);
    QuenbyWakeThread(ctx);
  }
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyPowerUp(WDF_DEVICE_CONTEXT* ctx) {
  QuenbyLockStreamControl(ctx);
  NTSTATUS status = QuenbyPowerUpLocked(ctx);
  QuenbyUnlockStreamControl(ctx);
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyPowerDown(WDF_DEVICE_CONTEXT* ctx, ULONG state) {
  QuenbyLockStreamControl(ctx);
  // The power state goes first: no start path begins a stream from here on.
  ctx->PowerState = state;
  QuenbyStopThread(ctx);
  if (TopologyHasCapture(&ctx->Topology) &&
      InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->Streams[QuenbyCapture].Active), 0,
                                 0)) {
    ctx->ResumeStreams |= QUENBY_RESUME_CAPTURE;
    QuenbyStopStream(ctx, QuenbyCapture);
  }
  if (TopologyHasRender(&ctx->Topology)) {
    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->Streams[QuenbyRender].Active), 0,
                                   0))
      ctx->ResumeStreams |= QUENBY_RESUME_RENDER;
    // What was sent plays out before the bus suspends the port: its audio
    // has left the ring, and a cancelled transfer would lose it.
    QuenbyDrainStream(ctx, QuenbyRender);
    QuenbyStopStream(ctx, QuenbyFeedback);
  }
  QuenbyUnlockStreamControl(ctx);
}

// ---------------------------------------------------------------------------
// Start
// ---------------------------------------------------------------------------
NTSTATUS Fail(WDF_DEVICE_CONTEXT* ctx, QUENBY_START_STEP step) {
  ctx->StartFailure = step;
  return STATUS_UNSUCCESSFUL;
}

// b. The USB target (kept from a start that failed before).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS OpenUsbTarget(WDF_DEVICE_CONTEXT* ctx) {
  NTSTATUS status;
  if (ctx->UsbDevice != nullptr) {
    status = STATUS_SUCCESS;
  } else if (ctx->Windows8Usb) {
    WDF_USB_DEVICE_CREATE_CONFIG config;
    WDF_USB_DEVICE_CREATE_CONFIG_INIT(&config, USBD_CLIENT_CONTRACT_VERSION_602);
    status = WdfUsbTargetDeviceCreateWithParameters(ctx->WdfDevice, &config, WDF_NO_OBJECT_ATTRIBUTES,
                                                    &ctx->UsbDevice);
  } else {
    status = WdfUsbTargetDeviceCreate(ctx->WdfDevice, WDF_NO_OBJECT_ATTRIBUTES, &ctx->UsbDevice);
  }
  if (!NT_SUCCESS(status)) return Fail(ctx, QuenbyStartUsbTarget);
  return STATUS_SUCCESS;
}

// c. Speed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadSpeed(WDF_DEVICE_CONTEXT* ctx) {
  WDF_USB_DEVICE_INFORMATION information;
  WDF_USB_DEVICE_INFORMATION_INIT(&information);
  if (!NT_SUCCESS(WdfUsbTargetDeviceRetrieveInformation(ctx->UsbDevice, &information)))
    return Fail(ctx, QuenbyStartInformation);
  ctx->HighSpeed = (information.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED) ? 1 : 0;
  return STATUS_SUCCESS;
}

// d. The configuration descriptor (*config, *size: in memory kept from a
// start that failed before when it has the size) and the control buffer.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadConfigDescriptor(WDF_DEVICE_CONTEXT* ctx, PVOID* config, USHORT* size) {
  *size = 0;
  NTSTATUS status = WdfUsbTargetDeviceRetrieveConfigDescriptor(ctx->UsbDevice, nullptr, size);
  if (status != STATUS_BUFFER_TOO_SMALL || *size == 0) return Fail(ctx, QuenbyStartDescriptor);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  *config = nullptr;
  size_t kept = 0;
  if (ctx->ConfigMemory != nullptr) *config = WdfMemoryGetBuffer(ctx->ConfigMemory, &kept);
  if (*config == nullptr || kept != *size) {
    if (ctx->ConfigMemory != nullptr) WdfObjectDelete(ctx->ConfigMemory);
    ctx->ConfigMemory = nullptr;
    status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, *size, &ctx->ConfigMemory, config);
    if (!NT_SUCCESS(status)) return Fail(ctx, QuenbyStartDescriptor);
  }
  if (ctx->ControlMemory == nullptr) {
    status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, QUENBY_BUFFER_SIZE,
                             &ctx->ControlMemory, nullptr);
    if (!NT_SUCCESS(status)) return Fail(ctx, QuenbyStartDescriptor);
  }
  status = WdfUsbTargetDeviceRetrieveConfigDescriptor(ctx->UsbDevice, *config, size);
  if (!NT_SUCCESS(status)) return Fail(ctx, QuenbyStartDescriptor);
  return STATUS_SUCCESS;
}

// e. Topology.
NTSTATUS ReadTopology(WDF_DEVICE_CONTEXT* ctx, const void* config, USHORT size) {
  TOPOLOGY_RESULT topology = TopologyDiscover(static_cast<const uint8_t*>(config), size, &ctx->Topology);
  // Endpoints the USB stack polls less often than every frame: the walk
  // knows no speed, the check does.
  if (topology == TopologyOk) topology = TopologyCheckPeriods(&ctx->Topology, ctx->HighSpeed);
  // Endpoints and settings the streams cannot use: refused here with their
  // reason rather than accepted and failing (or streaming wrongly) later.
  if (topology == TopologyOk) topology = TopologyCheckSettings(&ctx->Topology);
  ctx->TopologyResult = topology;
  if (topology != TopologyOk) return Fail(ctx, QuenbyStartTopology);
  ctx->AudioInterfaceCount = ctx->Topology.AudioInterfaceCount;
  ctx->ControlIndex = ctx->Topology.ControlIndex;
  ctx->Dir[QUENBY_DIR_CAPTURE].Index = ctx->Topology.CaptureIndex;
  ctx->Dir[QUENBY_DIR_RENDER].Index = ctx->Topology.RenderIndex;
  return STATUS_SUCCESS;
}

// f, g, h. The configuration selected, the clocks resolved, their rates
// read and the directions' limits computed.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ConfigureClocks(WDF_DEVICE_CONTEXT* ctx) {
  const bool capture = TopologyHasCapture(&ctx->Topology) != 0;
  const bool render = TopologyHasRender(&ctx->Topology) != 0;
  if (!NT_SUCCESS(QuenbySelectConfiguration(ctx))) return Fail(ctx, QuenbyStartConfiguration);
  if (!NT_SUCCESS(QuenbyResolveClocks(ctx))) return Fail(ctx, QuenbyStartClocks);
  // Render paced by the capture packets runs at the rate of the clock
  // capture runs from: the same one.
  if (render && !ctx->SharedClock && TopologyRendersImplicitly(&ctx->Topology)) {
    ctx->TopologyResult = TopologyImplicitClock;
    return Fail(ctx, QuenbyStartTopology);
  }
  if (!NT_SUCCESS(QuenbyReadRates(ctx))) return Fail(ctx, QuenbyStartRates);
  QuenbyComputeLimits(ctx);
  // A direction whose clock offers only rates below the lowest the streams
  // run at has no format: refused here, not offered a rate it streams wrongly.
  if ((capture && ctx->Dir[QUENBY_DIR_CAPTURE].Limits.MinRate == 0) ||
      (render && ctx->Dir[QUENBY_DIR_RENDER].Limits.MinRate == 0))
    return Fail(ctx, QuenbyStartLimits);
  return STATUS_SUCCESS;
}

// i. Rings of 50 ms at the largest format. j. Transfers; feedback ones where
// a render setting has a feedback endpoint (the others are paced without).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateRingsAndTransfers(WDF_DEVICE_CONTEXT* ctx) {
  const bool capture = TopologyHasCapture(&ctx->Topology) != 0;
  const bool render = TopologyHasRender(&ctx->Topology) != 0;
  if (capture && !NT_SUCCESS(QuenbyCreateRing(ctx, &ctx->Dir[QUENBY_DIR_CAPTURE].Ring, QUENBY_RING_CAPTURE,
                                              &ctx->Dir[QUENBY_DIR_CAPTURE].Limits))) {
    return Fail(ctx, QuenbyStartRings);
  }
  if (render && !NT_SUCCESS(QuenbyCreateRing(ctx, &ctx->Dir[QUENBY_DIR_RENDER].Ring, QUENBY_RING_RENDER,
                                             &ctx->Dir[QUENBY_DIR_RENDER].Limits))) {
    return Fail(ctx, QuenbyStartRings);
  }
  if (capture && !NT_SUCCESS(QuenbyAllocateTransfers(ctx, QuenbyCapture)))
    return Fail(ctx, QuenbyStartTransfers);
  if (render && (!NT_SUCCESS(QuenbyAllocateTransfers(ctx, QuenbyRender)) ||
                 (SlotsMaxFeedbackPacket(ctx->Topology.RenderSlots) != 0 &&
                  !NT_SUCCESS(QuenbyAllocateTransfers(ctx, QuenbyFeedback))))) {
    return Fail(ctx, QuenbyStartTransfers);
  }
  return STATUS_SUCCESS;
}

// The USB side of a start, step by step; a step that fails records itself
// in StartFailure.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyUsbBringUp(WDF_DEVICE_CONTEXT* ctx) {
  // a. Performance-counter ticks per 10 us.
  LARGE_INTEGER frequency;
  KeQueryPerformanceCounter(&frequency);
  ctx->TicksPer10us = frequency.QuadPart / 100000;

  PVOID config = nullptr;
  USHORT size = 0;
  NTSTATUS status = OpenUsbTarget(ctx);
  if (NT_SUCCESS(status)) status = ReadSpeed(ctx);
  if (NT_SUCCESS(status)) status = ReadConfigDescriptor(ctx, &config, &size);
  if (NT_SUCCESS(status)) status = ReadTopology(ctx, config, size);
  if (NT_SUCCESS(status)) status = ConfigureClocks(ctx);
  if (NT_SUCCESS(status)) status = CreateRingsAndTransfers(ctx);
  if (!NT_SUCCESS(status)) return status;

  // k. Default formats.
  QuenbySetDefaultFormats(ctx);
  ctx->BroughtUp = 1;
  return STATUS_SUCCESS;
}

WCHAR g_ReferenceString[] = VXW("kstarrow");

// ---------------------------------------------------------------------------
// KSDEVICE_DISPATCH
// ---------------------------------------------------------------------------
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyAdd(PKSDEVICE KsDevice) {
  KsDevice->Context = nullptr;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WDF_DEVICE_CONTEXT);
  attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
  attributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
  WDFDEVICE device;
  NTSTATUS status =
      WdfDeviceMiniportCreate(WdfGetDriver(), &attributes, KsDevice->FunctionalDeviceObject,
                              KsDevice->NextDeviceObject, KsDevice->PhysicalDeviceObject, &device);
  if (!NT_SUCCESS(status)) return status;

  WDF_DEVICE_CONTEXT* ctx = GetDeviceContext(device);
  RtlZeroMemory(ctx, sizeof(*ctx));
  ctx->KsDevice = KsDevice;
  ctx->WdfDriver = WdfGetDriver();
  ctx->WdfDevice = device;
  ctx->FunctionalDeviceObject = KsDevice->FunctionalDeviceObject;
  ctx->NextDeviceObject = KsDevice->NextDeviceObject;
  ctx->PhysicalDeviceObject = KsDevice->PhysicalDeviceObject;

  for (int s = 0; s < QUENBY_STREAMS; ++s)
    KeInitializeEvent(&ctx->Streams[s].IdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&ctx->WakeEvent, SynchronizationEvent, TRUE);

  WDF_OBJECT_ATTRIBUTES child;
  WDF_OBJECT_ATTRIBUTES_INIT(&child);
  child.ParentObject = device;
  WDFSPINLOCK* spinLocks[] = {&ctx->Streams[QuenbyCapture].FreeLock,
                              &ctx->CaptureCompletedLock,
                              &ctx->Streams[QuenbyRender].FreeLock,
                              &ctx->Streams[QuenbyFeedback].FreeLock,
                              &ctx->ThreadLock,
                              &ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock,
                              &ctx->Dir[QUENBY_DIR_RENDER].PositionLock,
                              &ctx->FeedbackLock};
  for (WDFSPINLOCK* lock : spinLocks) {
    if (NT_SUCCESS(status)) status = WdfSpinLockCreate(&child, lock);
  }
  for (int s = 0; s < QUENBY_STREAMS && NT_SUCCESS(status); ++s)
    status = WdfWaitLockCreate(&child, &ctx->Streams[s].SubmitLock);
  if (!NT_SUCCESS(status)) {
    WdfObjectDelete(device);
    return status;
  }

  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  status = RtlGetVersion(&version);
  if (!NT_SUCCESS(status) || version.dwMajorVersion < 6 ||
      (version.dwMajorVersion == 6 && version.dwMinorVersion == 0)) {
    WdfObjectDelete(device);
    return STATUS_UNSUCCESSFUL;
  }
  ctx->Windows8Usb = (version.dwMajorVersion == 6 && version.dwMinorVersion == 1) ? 0 : 1;

  ctx->PowerState = QUENBY_POWER_D3;
  KsDevice->Context = device;
  KeInitializeMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex, 0);
  KeInitializeMutex(&ctx->Dir[QUENBY_DIR_RENDER].StartMutex, 0);
  KeInitializeMutex(&ctx->RenderCloneMutex, 0);
  KeInitializeMutex(&ctx->StreamControlMutex, 0);
  KeInitializeMutex(&ctx->Exchange.Mutex, 0);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyStart(PKSDEVICE KsDevice, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                     PCM_RESOURCE_LIST UntranslatedResourceList) {
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(TranslatedResourceList);
  UNREFERENCED_PARAMETER(UntranslatedResourceList);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(KsDevice);
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  ctx->StartFailure = QuenbyStartOk;
  NTSTATUS status = STATUS_SUCCESS;
  // A start after a stop finds the device brought up: everything allocated
  // at the first start lives until the device is removed.
  const bool again = ctx->BroughtUp != 0;
  if (!again) {
    status = QuenbyUsbBringUp(ctx);
    if (!NT_SUCCESS(status)) {
      QuenbyReleaseBringUp(ctx);
      return STATUS_UNSUCCESSFUL;
    }
  }

  const KSFILTER_DESCRIPTOR* description = nullptr;
  status = QuenbyBuildFilterDescription(ctx, &description);
  if (!NT_SUCCESS(status)) {
    if (!again) QuenbyReleaseBringUp(ctx);
    return Fail(ctx, QuenbyStartFilter);
  }
  KsAcquireDevice(KsDevice);
  status = KsCreateFilterFactory(KsDevice->FunctionalDeviceObject, description, g_ReferenceString, nullptr,
                                 KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  KsReleaseDevice(KsDevice);
  if (!NT_SUCCESS(status)) {
    ctx->StartFailure = QuenbyStartFilter;
    if (!again) QuenbyReleaseBringUp(ctx);
    return status;
  }

  status = QuenbyPowerUp(ctx);
  if (!NT_SUCCESS(status)) {
    ctx->StartFailure = QuenbyStartPowerUp;
    QuenbyStopThread(ctx);
    if (!again) QuenbyReleaseBringUp(ctx);
  }
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyEmpty(PKSDEVICE KsDevice, PIRP Irp) {
  UNREFERENCED_PARAMETER(KsDevice);
  UNREFERENCED_PARAMETER(Irp);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyQueryCapabilities(PKSDEVICE KsDevice, PIRP Irp, PDEVICE_CAPABILITIES Capabilities) {
  UNREFERENCED_PARAMETER(KsDevice);
  UNREFERENCED_PARAMETER(Irp);
  if (Capabilities == nullptr || Capabilities->Size < 64) return STATUS_UNSUCCESSFUL;
  Capabilities->SurpriseRemovalOK = 1;
  // The bus driver filled in what the device can do; a function driver only
  // restricts it. Every sleep state the bus supports is spent in D3 (a
  // deeper state is allowed, a shallower one is not), and the driver arms
  // no wake-up: a wake state the bus reported becomes D0, which no sleep
  // state keeps, and the system wakes through the device from S0 only. A
  // device that cannot wake stays so.
  for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
    if (Capabilities->DeviceState[s] != PowerDeviceUnspecified) Capabilities->DeviceState[s] = PowerDeviceD3;
  }
  if (Capabilities->DeviceWake != PowerDeviceUnspecified) {
    Capabilities->DeviceWake = PowerDeviceD0;
    if (Capabilities->SystemWake != PowerSystemUnspecified) Capabilities->SystemWake = PowerSystemWorking;
  }
  Capabilities->D2Latency = 0;
  Capabilities->D3Latency = 10000;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbySurpriseRemoval(PKSDEVICE KsDevice, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(KsDevice);
  if (ctx != nullptr) InterlockedExchange(reinterpret_cast<LONG volatile*>(&ctx->SurpriseRemoved), 1);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QuenbyQueryPower(PKSDEVICE KsDevice, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                          DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action) {
  UNREFERENCED_PARAMETER(KsDevice);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(DeviceTo);
  UNREFERENCED_PARAMETER(DeviceFrom);
  UNREFERENCED_PARAMETER(SystemTo);
  UNREFERENCED_PARAMETER(SystemFrom);
  UNREFERENCED_PARAMETER(Action);
  return STATUS_SUCCESS;
}

// Every device power change, a system sleep and its wake included, reaches
// this AVStream minidriver here: the class driver owns the device's power
// policy and calls SetPower for the D-IRP (the KMDF miniport device beside
// it gets no D0Entry or D0Exit).
_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbySetPower(PKSDEVICE KsDevice, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
  UNREFERENCED_PARAMETER(Irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(KsDevice);
  if (ctx == nullptr) return;
  if (To < PowerDeviceD0 || To > PowerDeviceD3 || From < PowerDeviceD0 || From > PowerDeviceD3) return;
  if (To == PowerDeviceD0) {
    QuenbyPowerUp(ctx);
  } else {
    QuenbyPowerDown(ctx, (ULONG)To);
  }
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void QuenbyRemove(PKSDEVICE KsDevice, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(KsDevice);
  if (ctx == nullptr) return;
  QuenbyLockStreamControl(ctx);
  ctx->PowerState = QUENBY_POWER_REMOVED;
  QuenbyStopThread(ctx);
  QuenbyStopStream(ctx, QuenbyCapture);
  QuenbyStopStream(ctx, QuenbyRender);
  QuenbyStopStream(ctx, QuenbyFeedback);
  QuenbyUnlockStreamControl(ctx);
  QuenbyFreeMdls(ctx);
  WDFDEVICE device = ctx->WdfDevice;
  ctx->WdfDevice = nullptr;
  ctx->UsbDevice = nullptr;
  WdfObjectDelete(device);
  KsDevice->Context = nullptr;
}

const KSDEVICE_DISPATCH g_DeviceDispatch = {
    QuenbyAdd,                // Add
    QuenbyStart,              // Start
    nullptr,                  // PostStart
    nullptr,                  // QueryStop
    QuenbyEmpty,              // CancelStop
    QuenbyEmpty,              // Stop
    nullptr,                  // QueryRemove
    QuenbyEmpty,              // CancelRemove
    QuenbyRemove,             // Remove
    QuenbyQueryCapabilities,  // QueryCapabilities
    QuenbySurpriseRemoval,    // SurpriseRemoval
    QuenbyQueryPower,         // QueryPower
    QuenbySetPower,           // SetPower
    nullptr,                  // QueryInterface
};

const KSDEVICE_DESCRIPTOR g_DeviceDescriptor = {&g_DeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

}  // namespace

_Use_decl_annotations_
WDF_DEVICE_CONTEXT* QuenbyContextFromKsDevice(PKSDEVICE KsDevice) {
  if (KsDevice == nullptr || KsDevice->Context == nullptr) return nullptr;
  return GetDeviceContext(static_cast<WDFDEVICE>(KsDevice->Context));
}

_Use_decl_annotations_
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // Before any allocation: NonPagedPool is no-execute pool from Windows 8 on
  // and executable pool on Windows 7, which has no other.
  ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, nullptr);
  config.EvtDriverUnload = nullptr;
  config.DriverInitFlags |= WdfDriverInitNoDispatchOverride;
  config.DriverPoolTag = QUENBY_DRIVER_TAG;
  WDFDRIVER driver;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
  if (!NT_SUCCESS(status)) return status;

  status = KsInitializeDriver(DriverObject, RegistryPath, &g_DeviceDescriptor);
  if (!NT_SUCCESS(status)) {
    WdfDriverMiniportUnload(driver);
    return status;
  }
  g_KsUnload = DriverObject->DriverUnload;
  DriverObject->DriverUnload = QuenbyUnload;

  QUENBY_DRIVER_EXTENSION* extension = nullptr;
  status = IoAllocateDriverObjectExtension(DriverObject, QUENBY_EXTENSION_ID, sizeof(QUENBY_DRIVER_EXTENSION),
                                           reinterpret_cast<PVOID*>(&extension));
  if (!NT_SUCCESS(status)) {
    WdfDriverMiniportUnload(driver);
    return status;
  }
  for (UCHAR major : kHookedMajors) {
    extension->Next[major] = DriverObject->MajorFunction[major];
    DriverObject->MajorFunction[major] = QuenbyDispatch;
  }
  return STATUS_SUCCESS;
}
