// Streaming engine, the part the device start and power need: rings, the
// allocation of the isochronous transfers, the streaming thread with its
// service loop, stream stop and the nominal feedback value. Streams are
// started by the pins and the private interface; until one is, every
// service call fails and the thread sleeps on its wake event.
#include "quenby.h"

namespace {

// Largest ring accepted: 50 ms of 32 channels of 32-bit audio at 768 kHz is
// under 5 MiB; the limit only guards against absurd device data.
const ULONGLONG kMaxRingBytes = 64ull * 1024 * 1024;
const LONG kThreadPriority = 30;

inline ULONG ReadFlag(ULONG* flag) {
  return (ULONG)InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(flag), 0, 0);
}

inline void WriteFlag(ULONG* flag, ULONG value) {
  InterlockedExchange(reinterpret_cast<LONG volatile*>(flag), (LONG)value);
}

WDFCOLLECTION FreeList(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  switch (stream) {
    case QuenbyCapture:
      return ctx->CaptureFree;
    case QuenbyRender:
      return ctx->RenderFree;
    default:
      return ctx->FeedbackFree;
  }
}

WDFSPINLOCK FreeLock(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  switch (stream) {
    case QuenbyCapture:
      return ctx->CaptureFreeLock;
    case QuenbyRender:
      return ctx->RenderFreeLock;
    default:
      return ctx->FeedbackFreeLock;
  }
}

// One service of a stream: try its submission lock without waiting; a stream
// that is not active (or has no pipe) fails the service.
NTSTATUS ServiceStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  LONGLONG noWait = 0;
  if (WdfWaitLockAcquire(ctx->SubmitLock[stream], &noWait) != STATUS_SUCCESS) return STATUS_UNSUCCESSFUL;
  // Only an active stream with its pipe submits; the streams are started by
  // the pins and the private interface, which bring the submission path.
  const bool ready = ReadFlag(&ctx->StreamActive[stream]) != 0 && ctx->Pipes[stream] != nullptr;
  WdfWaitLockRelease(ctx->SubmitLock[stream]);
  return ready ? STATUS_NOT_IMPLEMENTED : STATUS_UNSUCCESSFUL;
}

void StreamingThread(PVOID context) {
  WDFDEVICE device = static_cast<WDFDEVICE>(context);
  WDF_DEVICE_CONTEXT* ctx = GetDeviceContext(device);
  KeSetPriorityThread(KeGetCurrentThread(), kThreadPriority);
  while (ReadFlag(&ctx->ThreadRunning) != 0) {
    const bool render = TopologyHasRender(&ctx->Topology) != 0;
    const bool capture = TopologyHasCapture(&ctx->Topology) != 0;
    for (int pass = 0; pass < 3; ++pass) {
      if (ReadFlag(&ctx->SurpriseRemoved) != 0) break;
      bool any = false;
      if (render) {
        if (NT_SUCCESS(QuenbyServiceRender(ctx))) any = true;
        if (NT_SUCCESS(QuenbyServiceFeedback(ctx))) any = true;
      }
      if (capture && NT_SUCCESS(QuenbyServiceCapture(ctx))) any = true;
      if (!any) break;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -150000;  // 15 ms
    NTSTATUS status = KeWaitForSingleObject(&ctx->WakeEvent, Executive, KernelMode, FALSE, &timeout);
    if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) {
      WriteFlag(&ctx->ThreadRunning, 0);
      break;
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS QuenbyCreateRing(WDF_DEVICE_CONTEXT* ctx, AudioRing* ring, ULONG kind,
                          const DIRECTION_LIMITS* limits) {
  // 50 ms at the largest format, in the order (bits / 8) x rate x channels / 100 x 5.
  ULONGLONG size = (ULONGLONG)(limits->MaxBits / 8) * limits->MaxRate * limits->MaxChannels / 100 * 5;
  if (size == 0 || size > kMaxRingBytes) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(ring, sizeof(*ring));
  ring->Device = ctx->WdfDevice;
  ring->Kind = kind;
  ring->Size = (ULONG)size;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  PVOID buffer = nullptr;
  NTSTATUS status =
      WdfMemoryCreate(&attributes, NonPagedPoolNx, QUENBY_MEMORY_TAG, ring->Size, &ring->Memory, &buffer);
  if (!NT_SUCCESS(status)) return status;
  ring->Buffer = static_cast<PUCHAR>(buffer);
  status = WdfSpinLockCreate(&attributes, &ring->Lock);
  if (!NT_SUCCESS(status)) return status;
  KeInitializeEvent(&ring->Event, SynchronizationEvent, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS QuenbyAllocateTransfers(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  const AltSettingSlot* slots =
      stream == QuenbyCapture ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
  ULONG packets = (stream != QuenbyFeedback && ctx->HighSpeed) ? 8 : 1;
  ULONG size;
  if (stream == QuenbyFeedback) {
    size = (SlotsMaxFeedbackPacket(slots) + 3) & ~3u;
  } else {
    size = SlotsMaxDataPacket(slots) * packets;
  }
  // A render interface without feedback endpoint ends here.
  if (size == 0) return STATUS_UNSUCCESSFUL;
  ctx->PacketsPerTransfer[stream] = packets;
  ctx->TransferSize[stream] = size;
  ctx->InFlightLimit[stream] = QUENBY_TRANSFERS;
  ctx->ConfiguredInFlight[stream] = QUENBY_TRANSFERS;

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  for (ULONG i = 0; i < QUENBY_TRANSFERS; ++i) {
    PVOID buffer = nullptr;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPoolNx, QUENBY_MEMORY_TAG, size,
                                      &ctx->DataMemory[stream][i], &buffer);
    if (!NT_SUCCESS(status)) return status;
    PMDL mdl = IoAllocateMdl(buffer, size, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);
    ctx->Mdls[stream][i] = mdl;

    PURB urb = nullptr;
    if (ctx->Windows8Usb) {
      status = WdfUsbTargetDeviceCreateIsochUrb(ctx->UsbDevice, &attributes, packets,
                                                &ctx->UrbMemory[stream][i], &urb);
    } else {
      PVOID urbBuffer = nullptr;
      status = WdfMemoryCreate(&attributes, NonPagedPoolNx, QUENBY_MEMORY_TAG, QUENBY_BUFFER_SIZE,
                               &ctx->UrbMemory[stream][i], &urbBuffer);
      urb = static_cast<PURB>(urbBuffer);
    }
    if (!NT_SUCCESS(status)) return status;

    WDF_OBJECT_ATTRIBUTES transferAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&transferAttributes, WDF_OBJECT_CONTEXT);
    transferAttributes.ParentObject = ctx->WdfDevice;
    WDFOBJECT transfer;
    status = WdfObjectCreate(&transferAttributes, &transfer);
    if (!NT_SUCCESS(status)) return status;
    ctx->Transfers[stream][i] = transfer;

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, WDF_REQUEST_CONTEXT);
    requestAttributes.ParentObject = ctx->WdfDevice;
    WDFREQUEST request;
    status = WdfRequestCreate(&requestAttributes, WDF_NO_HANDLE, &request);
    if (!NT_SUCCESS(status)) return status;
    ctx->Requests[stream][i] = request;
    WDF_REQUEST_CONTEXT* requestContext = GetRequestContext(request);
    requestContext->Device = ctx->WdfDevice;
    requestContext->Transfer = transfer;

    WDF_OBJECT_CONTEXT* t = GetTransferContext(transfer);
    t->Device = ctx->WdfDevice;
    t->UrbMemory = ctx->UrbMemory[stream][i];
    t->Request = request;
    t->Mdl = mdl;
    t->Urb = urb;
    t->Buffer = static_cast<PUCHAR>(buffer);
    t->BufferLength = size;
    t->ValidBytes = 0;

    status = WdfCollectionAdd(FreeList(ctx, stream), transfer);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void QuenbyFreeMdls(WDF_DEVICE_CONTEXT* ctx) {
  for (int s = 0; s < QUENBY_STREAMS; ++s) {
    for (int i = 0; i < QUENBY_TRANSFERS; ++i) {
      if (ctx->Mdls[s][i] != nullptr) {
        IoFreeMdl(ctx->Mdls[s][i]);
        ctx->Mdls[s][i] = nullptr;
        if (ctx->Transfers[s][i] != nullptr) GetTransferContext(ctx->Transfers[s][i])->Mdl = nullptr;
      }
    }
  }
}

NTSTATUS QuenbyStartThread(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->ThreadLock);
  const bool running = ReadFlag(&ctx->ThreadRunning) != 0;
  if (!running) WriteFlag(&ctx->ThreadRunning, 1);
  WdfSpinLockRelease(ctx->ThreadLock);
  if (running) return STATUS_SUCCESS;
  HANDLE thread = nullptr;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                         StreamingThread, ctx->WdfDevice);
  if (!NT_SUCCESS(status)) {
    WriteFlag(&ctx->ThreadRunning, 0);
    return status;
  }
  ctx->ThreadHandle = thread;
  return STATUS_SUCCESS;
}

void QuenbyStopThread(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->ThreadLock);
  WriteFlag(&ctx->ThreadRunning, 0);
  KeSetEvent(&ctx->WakeEvent, IO_NO_INCREMENT, FALSE);
  WdfSpinLockRelease(ctx->ThreadLock);
  if (ctx->ThreadHandle != nullptr) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2500000;  // 250 ms
    ZwWaitForSingleObject(ctx->ThreadHandle, FALSE, &timeout);
    ZwClose(ctx->ThreadHandle);
    ctx->ThreadHandle = nullptr;
  }
}

void QuenbyWakeThread(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->ThreadLock);
  if (ReadFlag(&ctx->ThreadRunning) != 0) KeSetEvent(&ctx->WakeEvent, IO_SOUND_INCREMENT, FALSE);
  WdfSpinLockRelease(ctx->ThreadLock);
}

void QuenbyStopStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(50);
  const bool locked = WdfWaitLockAcquire(ctx->SubmitLock[stream], &timeout) == STATUS_SUCCESS;
  WriteFlag(&ctx->StreamActive[stream], 0);
  if (locked) WdfWaitLockRelease(ctx->SubmitLock[stream]);
  if (ctx->Pipes[stream] != nullptr) {
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(ctx->Pipes[stream]), WdfIoTargetCancelSentIo);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(50));
    WdfUsbTargetPipeAbortSynchronously(ctx->Pipes[stream], WDF_NO_HANDLE, &options);
    ctx->Pipes[stream] = nullptr;
  }
  if (stream == QuenbyCapture) {
    // Completed transfers go back to the free list.
    for (;;) {
      WdfSpinLockAcquire(ctx->CaptureCompletedLock);
      WDFOBJECT transfer = WdfCollectionGetFirstItem(ctx->CaptureCompleted);
      if (transfer != nullptr) {
        WdfCollectionRemoveItem(ctx->CaptureCompleted, 0);
        InterlockedDecrement(&ctx->CompletedWaiting);
      }
      WdfSpinLockRelease(ctx->CaptureCompletedLock);
      if (transfer == nullptr) break;
      WdfSpinLockAcquire(FreeLock(ctx, stream));
      WdfCollectionAdd(FreeList(ctx, stream), transfer);
      WdfSpinLockRelease(FreeLock(ctx, stream));
    }
  }
  LARGE_INTEGER idle;
  idle.QuadPart = -20000000;  // 2 s
  KeWaitForSingleObject(&ctx->IdleEvent[stream], Executive, KernelMode, FALSE, &idle);
}

void QuenbyComputeNominalFeedback(WDF_DEVICE_CONTEXT* ctx) {
  // Samples per (micro)frame as a fixed-point value: 16.16 at high speed,
  // 10.14 at full speed, the fraction truncated.
  ULONGLONG rate = ctx->DeviceFormat[QUENBY_DIR_RENDER].WaveFormatExt.Format.nSamplesPerSec;
  ULONGLONG value;
  if (ctx->HighSpeed) {
    ctx->NominalSamples = (ULONG)(rate / 8000);
    value = (rate << 16) / 8000;
  } else {
    ctx->NominalSamples = (ULONG)(rate / 1000);
    value = (rate << 14) / 1000;
  }
  InterlockedExchange(&ctx->FeedbackValue, (LONG)value);
  ctx->RenderAccumulator = 0;
}

NTSTATUS QuenbyServiceCapture(WDF_DEVICE_CONTEXT* ctx) {
  return ServiceStream(ctx, QuenbyCapture);
}
NTSTATUS QuenbyServiceRender(WDF_DEVICE_CONTEXT* ctx) {
  return ServiceStream(ctx, QuenbyRender);
}
NTSTATUS QuenbyServiceFeedback(WDF_DEVICE_CONTEXT* ctx) {
  return ServiceStream(ctx, QuenbyFeedback);
}
