// The private control interface beside the kernel-streaming filter: handles
// opened on the filter's interface path with "\tarrow" as last component.
// The tunnel code carries a vendor control transfer to the unit; the other
// codes run direct mode, in which a user-mode client exchanges sample data
// with the USB streams through the two rings.
#include "quenby.h"
#include "quenby_ioctl.h"
#include "usbdevs_ctrl_req.h"
#include "vxwide.h"

namespace {

const WCHAR kPrivateSuffix[] = VXW("\\tarrow");
const ULONG kPrivateSuffixChars = sizeof(kPrivateSuffix) / sizeof(WCHAR) - 1;

// The access each code needs of the caller's handle. The codes keep their
// values (FILE_ANY_ACCESS for most: callers know them), so the driver asks
// for the access itself, as "Windows security model: call to action" advises
// for existing codes: writing for the tunnel and every code that changes
// direct mode, the rings or the counters, reading for the codes that only
// report. Codes defined with access bits the I/O manager has checked already.
struct CodeAccess {
  ULONG Code;
  ULONG Access;
};
const CodeAccess kCodeAccess[] = {
    {IOCTL_QUENBY_TUNNEL, FILE_WRITE_ACCESS},       {IOCTL_QUENBY_ENTER_DIRECT, FILE_WRITE_ACCESS},
    {IOCTL_QUENBY_LEAVE_DIRECT, FILE_WRITE_ACCESS}, {IOCTL_QUENBY_RESET_CAPTURE, FILE_WRITE_ACCESS},
    {IOCTL_QUENBY_RESET_RENDER, FILE_WRITE_ACCESS}, {IOCTL_QUENBY_RESET_BOTH, FILE_WRITE_ACCESS},
    {IOCTL_QUENBY_COUNTERS, FILE_READ_ACCESS},      {IOCTL_QUENBY_CLEAR_COUNTERS, FILE_WRITE_ACCESS},
    {IOCTL_QUENBY_IN_FLIGHT, FILE_READ_ACCESS},     {IOCTL_QUENBY_RENDER_DELAY, FILE_READ_ACCESS},
    {IOCTL_QUENBY_SET_FORMATS, FILE_WRITE_ACCESS},  {IOCTL_QUENBY_START_DIRECT, FILE_WRITE_ACCESS},
    {IOCTL_QUENBY_STOP_DIRECT, FILE_WRITE_ACCESS},  {IOCTL_QUENBY_MAX_CHANNELS, FILE_READ_ACCESS},
};

ULONG AccessOfCode(ULONG code) {
  for (const CodeAccess& c : kCodeAccess) {
    if (c.Code == code) return c.Access;
  }
  return FILE_ANY_ACCESS;
}

const ULONG kFormatRecordSize = 16;
const ULONG kCountersSize = sizeof(StreamCounters);

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

bool IsPrivateName(const UNICODE_STRING* name) {
  ULONG chars = name->Length / sizeof(WCHAR);
  if (name->Buffer == nullptr || chars < kPrivateSuffixChars) return false;
  const WCHAR* tail = name->Buffer + (chars - kPrivateSuffixChars);
  for (ULONG i = 0; i < kPrivateSuffixChars; ++i) {
    if (tail[i] != kPrivateSuffix[i]) return false;
  }
  return true;
}

bool IsPrivateFile(const PFILE_OBJECT file) {
  return file != nullptr && file->FsContext2 == QUENBY_PRIVATE_MARKER;
}

ULONG ReadU16(const UCHAR* p) {
  return (ULONG)p[0] | ((ULONG)p[1] << 8);
}
ULONG ReadU32(const UCHAR* p) {
  return ReadU16(p) | (ReadU16(p + 2) << 16);
}

// Vendor control transfer on the default pipe, as the record describes it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Tunnel(WDF_DEVICE_CONTEXT* ctx, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                ULONG_PTR* information) {
  if (in == nullptr || inLength < USBDEVS_CTRL_REQ_MIN) return STATUS_INVALID_PARAMETER;
  const UCHAR* record = static_cast<const UCHAR*>(in);
  const bool deviceToHost = (ReadU32(record) & 1) != 0;
  PVOID data;
  ULONG length;
  if (deviceToHost) {
    if (out == nullptr || outLength == 0) return STATUS_INVALID_PARAMETER;
    data = out;
    length = outLength;
  } else {
    length = ReadU32(record + 4);
    // The payload must lie inside the buffer the caller handed over.
    if (length > inLength - USBDEVS_CTRL_REQ_HEADER) return STATUS_INVALID_PARAMETER;
    data = const_cast<UCHAR*>(record + USBDEVS_CTRL_REQ_HEADER);
  }
  if (length > USBDEVS_CTRL_MAX_DATA) return STATUS_INVALID_PARAMETER;
  if (ctx->ControlMemory == nullptr || ctx->UsbDevice == nullptr) return STATUS_INVALID_PARAMETER;

  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(
      &setup, deviceToHost ? BmRequestDeviceToHost : BmRequestHostToDevice, BmRequestToDevice, record[15],
      (USHORT)ReadU16(record + 10), (USHORT)ReadU16(record + 12));
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, data, length);
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options,
                                WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
  WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(QUENBY_CONTROL_TIMEOUT_SECONDS));
  ULONG transferred = 0;
  NTSTATUS status = WdfUsbTargetDeviceSendControlTransferSynchronously(
      ctx->UsbDevice, WDF_NO_HANDLE, &options, &setup, length ? &memory : nullptr, &transferred);
  // The bytes the unit actually sent: a short reply must not reach the
  // caller padded with whatever the buffer held.
  *information = (NT_SUCCESS(status) && deviceToHost) ? transferred : 0;
  return status;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void LockedSet(WDFSPINLOCK lock, ULONGLONG* target, const ULONGLONG* source) {
  WdfSpinLockAcquire(lock);
  *target = *source;
  WdfSpinLockRelease(lock);
}

// The capture credit is added to by the streaming thread and taken by the pin,
// both under the capture position lock; a reset outside it could be undone by
// an addition in flight.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ClearCaptureCredit(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  ctx->CaptureCredit = 0;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}

// Restarts a stream when its start mutex is free; a busy mutex skips it. A
// powered-down device starts nothing: the stream runs with the power-up.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RestartCapture(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin) {
  if (ctx->PowerState != QUENBY_POWER_D0) {
    ctx->ResumeStreams |= QUENBY_RESUME_CAPTURE;
    return STATUS_SUCCESS;
  }
  if (!QuenbyTryMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex)) return STATUS_SUCCESS;
  NTSTATUS status = QuenbyStartCapture(ctx, pin);
  KeReleaseMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex, FALSE);
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RestartRender(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin) {
  if (!TopologyHasRender(&ctx->Topology)) return STATUS_SUCCESS;  // nothing to restart
  if (ctx->PowerState != QUENBY_POWER_D0) {
    ctx->ResumeStreams |= QUENBY_RESUME_RENDER;
    return STATUS_SUCCESS;
  }
  if (!QuenbyTryMutex(&ctx->Dir[QUENBY_DIR_RENDER].StartMutex)) return STATUS_SUCCESS;
  NTSTATUS status = QuenbyStartRender(ctx, pin);
  KeReleaseMutex(&ctx->Dir[QUENBY_DIR_RENDER].StartMutex, FALSE);
  return status;
}

bool HasCapture(WDF_DEVICE_CONTEXT* ctx) {
  return TopologyHasCapture(&ctx->Topology) != 0;
}

// A unit may capture only: it has no render stream, ring or lock.
bool HasRender(WDF_DEVICE_CONTEXT* ctx) {
  return TopologyHasRender(&ctx->Topology) != 0;
}

// Restarts capture (where the unit has it), then render, for no pin, as the
// plan of a direct-mode start or format change says. On one clock for both,
// render stops first: the capture start then finds the clock free for the
// new rate rather than held by render at the old one. The first failing
// restart's status.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RestartBoth(WDF_DEVICE_CONTEXT* ctx, const STREAM_PLAN* plan) {
  if (plan->StopRenderFirst) QuenbyStopRender(ctx, FALSE);
  NTSTATUS status = STATUS_SUCCESS;
  if (plan->StartCapture) status = RestartCapture(ctx, nullptr);
  const NTSTATUS renderStatus = plan->StartRender ? RestartRender(ctx, nullptr) : STATUS_SUCCESS;
  return NT_SUCCESS(status) ? renderStatus : status;
}

// What a format change or a direct-mode start changes besides the flags:
// the device and running formats, and which streams run for which pins.
struct StreamsBefore {
  AUDIO_FORMAT Device[2];
  AUDIO_FORMAT Running[2];
  bool Capture;
  bool Render;
  PKSPIN CaptureOwner;
  PKSPIN RenderOwner;
};

_IRQL_requires_max_(DISPATCH_LEVEL)
void NoteStreams(WDF_DEVICE_CONTEXT* ctx, StreamsBefore* before) {
  for (ULONG d = 0; d < 2; ++d) {
    before->Device[d] = ctx->Dir[d].DeviceFormat;
    before->Running[d] = ctx->Dir[d].StreamFormat;
  }
  before->Capture = HasCapture(ctx) && ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0;
  before->Render = ReadFlag(&ctx->Streams[QuenbyRender].Active) != 0;
  before->CaptureOwner = QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring);
  before->RenderOwner = QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_RENDER].Ring);
}

// After a failed attempt: the device formats as they were, the streams that
// ran running in them again for the pins they ran for, the others stopped
// with their running formats as they were. A unit that refuses again (or is
// gone) leaves those streams stopped; the attempt's failure is what the
// caller hears of.
_IRQL_requires_max_(PASSIVE_LEVEL)
void RestoreStreams(WDF_DEVICE_CONTEXT* ctx, const StreamsBefore* before) {
  QuenbyPutDeviceFormat(ctx, QUENBY_DIR_CAPTURE, &before->Device[QUENBY_DIR_CAPTURE]);
  QuenbyPutDeviceFormat(ctx, QUENBY_DIR_RENDER, &before->Device[QUENBY_DIR_RENDER]);
  // Render first, as in RestartBoth: on one clock for both, capture's
  // restart then finds the clock free.
  QuenbyStopRender(ctx, before->Render ? FALSE : TRUE);
  if (HasCapture(ctx)) {
    if (before->Capture) {
      RestartCapture(ctx, before->CaptureOwner);
    } else {
      QuenbyStopCapture(ctx, TRUE);
    }
  }
  if (before->Render) RestartRender(ctx, before->RenderOwner);
  if (ReadFlag(&ctx->Streams[QuenbyCapture].Active) == 0)
    QuenbySetStreamFormat(ctx, QUENBY_DIR_CAPTURE, &before->Running[QUENBY_DIR_CAPTURE]);
  if (ReadFlag(&ctx->Streams[QuenbyRender].Active) == 0)
    QuenbySetStreamFormat(ctx, QUENBY_DIR_RENDER, &before->Running[QUENBY_DIR_RENDER]);
}

void EnterDirect(WDF_DEVICE_CONTEXT* ctx) {
  const bool wasOn = InterlockedExchange(reinterpret_cast<LONG volatile*>(&ctx->DirectMode), 1) != 0;
  for (ULONG s = 0; s < QUENBY_STREAMS; ++s) WriteFlag(&ctx->Streams[s].ConfiguredInFlight, QUENBY_TRANSFERS);
  // The formats to restore on leaving are those from before direct mode: a
  // second entry of its client would otherwise save the formats direct mode
  // set and leave the pins on them.
  if (wasOn) return;
  ctx->Dir[QUENBY_DIR_CAPTURE].SavedFormat = ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat;
  ctx->Dir[QUENBY_DIR_RENDER].SavedFormat = ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat;
}

// A running capture pin that stopped for want of direct-mode credit is
// asked to process again once direct mode ends: the credit it waits for no
// longer grows, and the ring asks only a pin that waited for ring data.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AskCapturePin(WDF_DEVICE_CONTEXT* ctx) {
  PKSPIN pin = ctx->Dir[QUENBY_DIR_CAPTURE].Pin;
  if (!ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) || pin == nullptr) return;
  WriteFlag(&ctx->CaptureWaiting, 0);
  KsPinAttemptProcessing(pin, TRUE);
}

// Leaves direct mode whatever the unit answers: the mode is off, nothing is
// in use for the client, the saved device formats are back and a stream
// left stopped has them as its running format. The status is that of the
// first restart that failed for a stream the pins out of STOP keep (one nobody
// keeps stops anyway): the client learns the pins were left without it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS LeaveDirect(WDF_DEVICE_CONTEXT* ctx) {
  WriteFlag(&ctx->DirectMode, 0);
  WriteFlag(&ctx->DirectStreamFlags, 0);
  QuenbyPutDeviceFormat(ctx, QUENBY_DIR_CAPTURE, &ctx->Dir[QUENBY_DIR_CAPTURE].SavedFormat);
  QuenbyPutDeviceFormat(ctx, QUENBY_DIR_RENDER, &ctx->Dir[QUENBY_DIR_RENDER].SavedFormat);
  for (ULONG s = 0; s < QUENBY_STREAMS; ++s) WriteFlag(&ctx->Streams[s].ConfiguredInFlight, QUENBY_TRANSFERS);
  QuenbyDeleteClones(ctx, QUENBY_DIR_CAPTURE);
  if (QuenbyTryMutex(&ctx->RenderCloneMutex)) {
    QuenbyDeleteClones(ctx, QUENBY_DIR_RENDER);
    KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
  }
  // A pin out of STOP (in ACQUIRE or PAUSE as well as in RUN) keeps its
  // stream, as it does at the other direction's STOP: its RUN plays on it.
  const bool renderRuns = ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning) != 0;
  const bool captureRuns = ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) != 0;
  const bool renderKept = renderRuns || ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinAcquired) != 0;
  const bool captureKept = captureRuns || ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinAcquired) != 0;
  // RestartBoth, with each direction's status, for the pin holding each
  // direction (one in RUN is also the direction's Pin).
  STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskLeaveDirect);
  request.Kept[QUENBY_DIR_CAPTURE] = captureKept;
  request.Kept[QUENBY_DIR_RENDER] = renderKept;
  const STREAM_PLAN plan = PlanStreams(&request);
  if (plan.StopRenderFirst) QuenbyStopRender(ctx, FALSE);
  PKSPIN capturePin = ctx->Dir[QUENBY_DIR_CAPTURE].Pin != nullptr ? ctx->Dir[QUENBY_DIR_CAPTURE].Pin
                      : captureKept                               ? ctx->Dir[QUENBY_DIR_CAPTURE].OpenPin
                                                                  : nullptr;
  PKSPIN renderPin = ctx->Dir[QUENBY_DIR_RENDER].Pin != nullptr ? ctx->Dir[QUENBY_DIR_RENDER].Pin
                     : renderKept                               ? ctx->Dir[QUENBY_DIR_RENDER].OpenPin
                                                                : nullptr;
  // Capture no pin keeps runs beside render at render's rate, as at a
  // render pin's start; on one clock for both, only if it can. Pins kept
  // at two rates on one clock cannot both stream: render's runs, as it does
  // beside capture anywhere else, and capture's restart is what fails.
  NTSTATUS captureStatus = STATUS_SUCCESS;
  NTSTATUS renderStatus = STATUS_SUCCESS;
  if (plan.RenderFirst) {
    QuenbyStopCapture(ctx, FALSE);
    renderStatus = RestartRender(ctx, renderPin);
  }
  if (plan.CaptureRate != 0) QuenbyDeviceFormatAtRate(ctx, QUENBY_DIR_CAPTURE, plan.CaptureRate);
  if (plan.StartCapture) captureStatus = RestartCapture(ctx, capturePin);
  if (plan.StopCapture) QuenbyStopCapture(ctx, TRUE);
  if (!plan.RenderFirst && plan.StartRender) renderStatus = RestartRender(ctx, renderPin);

  if (renderRuns)
    LockedSet(ctx->Dir[QUENBY_DIR_RENDER].PositionLock, &ctx->RenderPlayPosition, &ctx->RenderWritePosition);
  if (renderRuns || captureRuns) {
    LockedSet(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock, &ctx->CapturePinPosition,
              &ctx->CaptureDevicePosition);
  }
  WriteFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse, renderRuns ? 1 : 0);
  WriteFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse, captureRuns ? 1 : 0);
  // Streams nobody keeps stop as they do at a pin's STOP.
  if (!plan.KeepCapture) {
    QuenbyStopRender(ctx, TRUE);
    if (HasCapture(ctx)) QuenbyStopCapture(ctx, TRUE);
    ctx->ResumeStreams = 0;
  } else if (!plan.KeepRender) {
    QuenbyStopRender(ctx, TRUE);
    ctx->ResumeStreams &= ~QUENBY_RESUME_RENDER;
  }
  for (ULONG d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
    const QUENBY_STREAM stream = d == QUENBY_DIR_CAPTURE ? QuenbyCapture : QuenbyRender;
    if (ReadFlag(&ctx->Streams[stream].Active) == 0) QuenbySetStreamFormat(ctx, d, &ctx->Dir[d].SavedFormat);
  }
  if (renderRuns || captureRuns) QuenbyWakeThread(ctx);
  AskCapturePin(ctx);
  // Capture runs on beside a running render pin as beside its own.
  if ((renderKept || captureKept) && !NT_SUCCESS(captureStatus)) return captureStatus;
  if (renderKept && !NT_SUCCESS(renderStatus)) return renderStatus;
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetFormats(WDF_DEVICE_CONTEXT* ctx, const UCHAR* record, ULONG length) {
  if (record == nullptr || length < kFormatRecordSize) return STATUS_INVALID_PARAMETER;
  const ULONG captureChannels = ReadU16(record), renderChannels = ReadU16(record + 2);
  const ULONG captureBits = ReadU16(record + 4), renderBits = ReadU16(record + 6);
  const ULONG captureRate = ReadU32(record + 8), renderRate = ReadU32(record + 12);
  // One clock for both directions runs at one rate.
  STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskDirectFormats);
  request.Rate[QUENBY_DIR_CAPTURE] = captureRate;
  request.Rate[QUENBY_DIR_RENDER] = renderRate;
  const STREAM_PLAN plan = PlanStreams(&request);
  if (plan.Refusal != StreamAllowed) return QuenbyRefusalStatus(plan.Refusal);
  StreamsBefore before;
  NoteStreams(ctx, &before);
  if (HasCapture(ctx))
    QuenbySetDeviceFormat(ctx, QUENBY_DIR_CAPTURE, captureChannels, captureRate, captureBits);
  if (HasRender(ctx)) QuenbySetDeviceFormat(ctx, QUENBY_DIR_RENDER, renderChannels, renderRate, renderBits);
  // A format the unit refuses (or a request that fails) leaves the formats
  // and streams as they were: the pins and the client go on with them.
  const NTSTATUS status = RestartBoth(ctx, &plan);
  if (!NT_SUCCESS(status)) RestoreStreams(ctx, &before);
  return status;
}

// The mixing runs in the streaming thread under the render-clone mutex,
// which the thread only tries; waiting for it here never holds the thread up.
_IRQL_requires_max_(PASSIVE_LEVEL)
void ClearDirectOffsets(WDF_DEVICE_CONTEXT* ctx) {
  KeWaitForSingleObject(&ctx->RenderCloneMutex, Executive, KernelMode, FALSE, nullptr);
  ctx->RenderCloneFrames = 0;
  ctx->RenderCloneOffset = 0;
  KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
  WriteFlag(&ctx->CaptureCloneFill, 0);
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  ctx->RenderRemainder = 0;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartDirect(WDF_DEVICE_CONTEXT* ctx) {
  const bool capture = HasCapture(ctx);
  StreamsBefore before;
  NoteStreams(ctx, &before);
  const STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskDirectStart);
  const STREAM_PLAN plan = PlanStreams(&request);
  const NTSTATUS status = RestartBoth(ctx, &plan);
  if (!NT_SUCCESS(status)) {
    // Nothing is marked in use or running for the client: the pins, and a
    // start tried again, find the streams as they were.
    RestoreStreams(ctx, &before);
    return status;
  }
  // Only the directions the unit has are in use: a unit without capture
  // has no capture stream, ring or lock to read from.
  const bool render = HasRender(ctx);
  if (capture) WriteFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse, 1);
  if (render) WriteFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse, 1);
  WriteFlag(&ctx->DirectStreamFlags,
            (capture ? QUENBY_DIRECT_CAPTURE_RUNNING : 0) | (render ? QUENBY_DIRECT_RENDER_RUNNING : 0));
  ClearDirectOffsets(ctx);
  QuenbyWakeThread(ctx);
  PKSPIN capturePin = ctx->Dir[QUENBY_DIR_CAPTURE].Pin;
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) && capturePin != nullptr) {
    ClearCaptureCredit(ctx);
    LockedSet(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock, &ctx->CaptureDevicePosition,
              &ctx->CapturePinPosition);
    QuenbyDeleteClones(ctx, QUENBY_DIR_CAPTURE);
    KsPinAttemptProcessing(capturePin, TRUE);
  }
  PKSPIN renderPin = ctx->Dir[QUENBY_DIR_RENDER].Pin;
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning) && renderPin != nullptr)
    KsPinAttemptProcessing(renderPin, TRUE);
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void StopDirect(WDF_DEVICE_CONTEXT* ctx) {
  WriteFlag(&ctx->DirectStreamFlags, 0);
  ClearDirectOffsets(ctx);
  if (!ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning)) {
    WriteFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse, 0);
    ClearCaptureCredit(ctx);
  }
  if (!ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning))
    WriteFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse, 0);
}

// Largest channel count over the alternate settings the driver streams.
ULONG MaxChannels(const AltSettingSlot* slots) {
  ULONG max = 0;
  for (int i = 0; i < QUENBY_MAX_SLOTS; ++i) {
    if (SlotIsUsable(&slots[i]) && SlotChannels(&slots[i]) > max) max = SlotChannels(&slots[i]);
  }
  return max;
}

NTSTATUS WriteU32(PVOID out, ULONG outLength, ULONG value, NTSTATUS tooShort, ULONG_PTR* information) {
  if (out == nullptr) return STATUS_UNSUCCESSFUL;
  if (outLength < sizeof(ULONG)) return tooShort;
  RtlCopyMemory(out, &value, sizeof(value));
  *information = sizeof(value);
  return STATUS_SUCCESS;
}

}  // namespace

namespace {

// Direct mode and its rings belong to the private file object that entered
// it: another one's direct-mode and ring codes are refused (STATUS_DEVICE_BUSY)
// so that no other program can read its capture, write into its render
// ring, empty its rings or end its session; outside direct mode they fail
// (STATUS_UNSUCCESSFUL). Stream-control lock held.
NTSTATUS CheckOwner(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file) {
  if (ReadFlag(&ctx->DirectMode) == 0) return STATUS_UNSUCCESSFUL;
  return ctx->DirectOwner == file ? STATUS_SUCCESS : STATUS_DEVICE_BUSY;
}

// Each KS pin that runs is asked to process again: one that waited for ring
// room, ring data or direct-mode credit that a reset, a restart or the end
// of direct mode took away would otherwise wait for ever, and Windows audio
// stay silent. The pins are cleared only under the stream-control lock
// (held), so the pin asked is still open.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AskRunningPins(WDF_DEVICE_CONTEXT* ctx) {
  for (ULONG d = QUENBY_DIR_CAPTURE; d <= QUENBY_DIR_RENDER; ++d) {
    PKSPIN pin = ctx->Dir[d].Pin;
    if (pin != nullptr && ReadFlag(&ctx->Dir[d].PinRunning) != 0) KsPinAttemptProcessing(pin, TRUE);
  }
}

// A ring transfer of the client is whole frames of the direction's running
// format: a part of a frame would shift every sample after it into the
// neighbouring channel or byte. Stream-control lock held.
bool WholeFrames(WDF_DEVICE_CONTEXT* ctx, ULONG direction, ULONG length) {
  const ULONG frame = ctx->Dir[direction].StreamFormat.WaveFormatExt.Format.nBlockAlign;
  return frame != 0 && length % frame == 0;
}

// Leaves direct mode for its owner (its leave code or its cleanup).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS EndDirect(WDF_DEVICE_CONTEXT* ctx) {
  const NTSTATUS status = LeaveDirect(ctx);
  ctx->DirectOwner = nullptr;
  AskRunningPins(ctx);
  return status;
}

// The codes that change direct mode or its rings, for the owner only, under
// the stream-control lock.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DirectControl(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, PVOID in, ULONG inLength) {
  if (code == IOCTL_QUENBY_ENTER_DIRECT) {
    if (ctx->DirectOwner != nullptr && ctx->DirectOwner != file) return STATUS_DEVICE_BUSY;
    EnterDirect(ctx);
    ctx->DirectOwner = file;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = CheckOwner(ctx, file);
  if (!NT_SUCCESS(status)) return status;
  switch (code) {
    case IOCTL_QUENBY_LEAVE_DIRECT:
      return EndDirect(ctx);
    case IOCTL_QUENBY_RESET_CAPTURE:
    case IOCTL_QUENBY_RESET_RENDER:
    case IOCTL_QUENBY_RESET_BOTH:
      if (code == IOCTL_QUENBY_RESET_CAPTURE && !HasCapture(ctx)) return STATUS_UNSUCCESSFUL;
      if (code == IOCTL_QUENBY_RESET_RENDER && !HasRender(ctx)) return STATUS_UNSUCCESSFUL;
      if (code != IOCTL_QUENBY_RESET_RENDER) QuenbyRingReset(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring);
      if (code != IOCTL_QUENBY_RESET_CAPTURE) QuenbyRingReset(&ctx->Dir[QUENBY_DIR_RENDER].Ring);
      AskRunningPins(ctx);
      return STATUS_SUCCESS;
    case IOCTL_QUENBY_SET_FORMATS:
      status = SetFormats(ctx, static_cast<const UCHAR*>(in), in == nullptr ? 0 : inLength);
      AskRunningPins(ctx);
      return status;
    case IOCTL_QUENBY_START_DIRECT:
      return StartDirect(ctx);
    case IOCTL_QUENBY_STOP_DIRECT:
      StopDirect(ctx);
      AskRunningPins(ctx);
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// Reading the capture ring: whole frames, for the owner; may wait once for
// data (outside every lock). Not enough data: success with nothing read.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadCapture(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, PVOID out, ULONG outLength,
                     ULONG_PTR* information) {
  QuenbyLockStreamControl(ctx);
  NTSTATUS status = CheckOwner(ctx, file);
  if (NT_SUCCESS(status) && (!HasCapture(ctx) || !ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse)))
    status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status) && out != nullptr && outLength != 0 &&
      !WholeFrames(ctx, QUENBY_DIR_CAPTURE, outLength))
    status = STATUS_INVALID_PARAMETER;
  QuenbyUnlockStreamControl(ctx);
  if (!NT_SUCCESS(status)) return status;
  status = out != nullptr && outLength != 0
               ? QuenbyRingReadWait(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, static_cast<PUCHAR>(out), outLength)
               : STATUS_UNSUCCESSFUL;
  // The running capture pin is asked to process, under the lock its
  // close clears it under: the pin asked is still open.
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  PKSPIN pin = ctx->Dir[QUENBY_DIR_CAPTURE].Pin;
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) && pin != nullptr) KsPinAttemptProcessing(pin, TRUE);
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  if (NT_SUCCESS(status)) {
    QuenbyWakeThread(ctx);
    *information = outLength;
  }
  return STATUS_SUCCESS;
}

// Writing the render ring: whole frames, for the owner; may wait once for
// room. No room: success with nothing written.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WriteRender(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, PVOID in, ULONG inLength,
                     ULONG_PTR* information) {
  QuenbyLockStreamControl(ctx);
  NTSTATUS status = CheckOwner(ctx, file);
  if (NT_SUCCESS(status) && (!HasRender(ctx) || !ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse)))
    status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status) && in != nullptr && inLength != 0 && !WholeFrames(ctx, QUENBY_DIR_RENDER, inLength))
    status = STATUS_INVALID_PARAMETER;
  QuenbyUnlockStreamControl(ctx);
  if (!NT_SUCCESS(status)) return status;
  status = in != nullptr && inLength != 0 ? QuenbyRingWriteWait(&ctx->Dir[QUENBY_DIR_RENDER].Ring,
                                                                static_cast<const UCHAR*>(in), inLength)
                                          : STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    QuenbyWakeThread(ctx);
    *information = inLength;
  }
  return STATUS_SUCCESS;
}

// The codes that report: open to every reader, owner or not.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS Report(WDF_DEVICE_CONTEXT* ctx, ULONG code, PVOID out, ULONG outLength, ULONG_PTR* information) {
  switch (code) {
    case IOCTL_QUENBY_COUNTERS: {
      if (out == nullptr) return STATUS_UNSUCCESSFUL;
      if (outLength < kCountersSize) return STATUS_INSUFFICIENT_RESOURCES;
      ULONG* counters = reinterpret_cast<ULONG*>(&ctx->Counters);
      ULONG values[kCountersSize / sizeof(ULONG)];
      for (ULONG i = 0; i < kCountersSize / sizeof(ULONG); ++i) values[i] = ReadFlag(&counters[i]);
      RtlCopyMemory(out, values, kCountersSize);
      *information = kCountersSize;
      return STATUS_SUCCESS;
    }
    case IOCTL_QUENBY_IN_FLIGHT:
      return WriteU32(out, outLength,
                      (ULONG)InterlockedCompareExchange(&ctx->Streams[QuenbyRender].InFlight, 0, 0),
                      STATUS_UNSUCCESSFUL, information);
    case IOCTL_QUENBY_RENDER_DELAY:
      return WriteU32(out, outLength, QuenbyRenderDelay(ctx), STATUS_UNSUCCESSFUL, information);
    case IOCTL_QUENBY_MAX_CHANNELS: {
      ULONG capture = HasCapture(ctx) ? MaxChannels(ctx->Topology.CaptureSlots) : 0;
      ULONG render = HasRender(ctx) ? MaxChannels(ctx->Topology.RenderSlots) : 0;
      return WriteU32(out, outLength, (capture & 0xFFFF) | (render << 16), STATUS_INSUFFICIENT_RESOURCES,
                      information);
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// Settings every stream uses (the counters, the in-flight count): while a
// client owns direct mode they are its, and another file object's change is
// refused.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SharedSetting(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, PVOID in, ULONG inLength,
                       ULONG_PTR* information) {
  QuenbyLockStreamControl(ctx);
  const bool other = ReadFlag(&ctx->DirectMode) != 0 && ctx->DirectOwner != file;
  QuenbyUnlockStreamControl(ctx);
  if (other) return STATUS_DEVICE_BUSY;
  if (code == IOCTL_QUENBY_CLEAR_COUNTERS) {
    for (ULONG i = 0; i < kCountersSize / sizeof(ULONG); ++i)
      WriteFlag(&reinterpret_cast<ULONG*>(&ctx->Counters)[i], 0);
    return STATUS_SUCCESS;
  }
  if (in == nullptr || inLength != sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
  ULONG value = ReadU32(static_cast<const UCHAR*>(in));
  if (value < 2 || value > QUENBY_TRANSFERS) return STATUS_UNSUCCESSFUL;
  for (ULONG s = 0; s < QUENBY_STREAMS; ++s) WriteFlag(&ctx->Streams[s].ConfiguredInFlight, value);
  *information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyPrivateControl(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, PVOID in,
                              ULONG inLength, PVOID out, ULONG outLength, ULONG_PTR* information) {
  *information = 0;
  if (code == IOCTL_QUENBY_TUNNEL) {
    return ctx == nullptr ? STATUS_INVALID_PARAMETER : Tunnel(ctx, in, inLength, out, outLength, information);
  }
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  // Once the unit is gone, handles stay open until their owners close them:
  // their requests fail as on a vanished device. A render write would
  // otherwise count bytes into a ring nobody drains, and a capture read
  // succeed empty, and a client stream on without noticing.
  if (ReadFlag(&ctx->SurpriseRemoved) != 0 || ctx->PowerState == QUENBY_POWER_REMOVED) {
    return STATUS_NO_SUCH_DEVICE;
  }
  switch (code) {
    case IOCTL_QUENBY_ENTER_DIRECT:
    case IOCTL_QUENBY_LEAVE_DIRECT:
    case IOCTL_QUENBY_RESET_CAPTURE:
    case IOCTL_QUENBY_RESET_RENDER:
    case IOCTL_QUENBY_RESET_BOTH:
    case IOCTL_QUENBY_SET_FORMATS:
    case IOCTL_QUENBY_START_DIRECT:
    case IOCTL_QUENBY_STOP_DIRECT: {
      QuenbyLockStreamControl(ctx);
      const NTSTATUS status = DirectControl(ctx, file, code, in, inLength);
      QuenbyUnlockStreamControl(ctx);
      return status;
    }
    case IOCTL_QUENBY_READ_CAPTURE:
      return ReadCapture(ctx, file, out, outLength, information);
    case IOCTL_QUENBY_WRITE_RENDER:
      return WriteRender(ctx, file, in, inLength, information);
    case IOCTL_QUENBY_COUNTERS:
    case IOCTL_QUENBY_IN_FLIGHT:
    case IOCTL_QUENBY_RENDER_DELAY:
    case IOCTL_QUENBY_MAX_CHANNELS:
      return Report(ctx, code, out, outLength, information);
    case IOCTL_QUENBY_CLEAR_COUNTERS:
    case IOCTL_QUENBY_SET_IN_FLIGHT:
      return SharedSetting(ctx, file, code, in, inLength, information);
    case IOCTL_QUENBY_NOTHING:
      return STATUS_SUCCESS;
    default:
      // A code the interface does not know does nothing and says so.
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

_Use_decl_annotations_
void QuenbyPrivateCleanup(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file) {
  if (ctx == nullptr) return;
  QuenbyLockStreamControl(ctx);
  if (ctx->DirectOwner == file) {
    // The owner is gone (it closed its last handle, or its process ended)
    // without leaving: direct mode ends as at its leave, and the unit goes
    // back to the KS pins. A vanished unit restarts nothing.
    if (ReadFlag(&ctx->SurpriseRemoved) != 0 || ctx->PowerState == QUENBY_POWER_REMOVED) {
      WriteFlag(&ctx->DirectStreamFlags, 0);
      WriteFlag(&ctx->DirectMode, 0);
      ctx->DirectOwner = nullptr;
    } else {
      EndDirect(ctx);
    }
  }
  QuenbyUnlockStreamControl(ctx);
}

namespace {

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateCreate(PDEVICE_OBJECT deviceObject, PIRP irp, PDRIVER_DISPATCH next) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  if (KsGetDeviceForDeviceObject(deviceObject) != nullptr && file != nullptr &&
      IsPrivateName(&file->FileName)) {
    file->FsContext2 = QUENBY_PRIVATE_MARKER;
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  return next(deviceObject, irp);
}

// A private file object never goes on to the kernel-streaming class, also
// once the device's context is gone: its codes then fail as without one.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PrivateDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromKsDevice(KsGetDeviceForDeviceObject(deviceObject));
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG access = AccessOfCode(code);
  if (access != FILE_ANY_ACCESS) {
    const NTSTATUS allowed = IoValidateDeviceIoControlAccess(irp, access);
    if (!NT_SUCCESS(allowed)) return Complete(irp, allowed, 0);
  }
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID in = nullptr;
  PVOID out = nullptr;
  ULONG outSize = 0;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      in = irp->AssociatedIrp.SystemBuffer;
      out = irp->AssociatedIrp.SystemBuffer;
      outSize = outLength;
      break;
    case METHOD_IN_DIRECT:
      in = irp->AssociatedIrp.SystemBuffer;
      break;
    case METHOD_OUT_DIRECT:
      if (irp->MdlAddress != nullptr) {
        // The capture data is never code: mapped no-execute where Windows
        // knows the flag (8 and later).
        // (Older DDKs declare the priority as the enumeration alone.)
        const ULONG priority = NormalPagePriority | (ctx->Windows8Usb ? MdlMappingNoExecute : 0);
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, static_cast<MM_PAGE_PRIORITY>(priority));
        if (out == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        outSize = outLength;
      }
      break;
    default:
      break;
  }
  ULONG_PTR information = 0;
  NTSTATUS status;
  if (code == IOCTL_QUENBY_EXCHANGE_TAKE || code == IOCTL_QUENBY_EXCHANGE_END) {
    // The lock is told who holds it: the requesting process (this dispatch
    // runs in its context) and its session.
    ULONG session = 0;
    if (!NT_SUCCESS(IoGetRequestorSessionId(irp, &session))) session = 0;
    status = QuenbyExchangeControl(ctx, stack->FileObject, code, (ULONG)(ULONG_PTR)PsGetCurrentProcessId(),
                                   session, out, outSize, &information);
  } else {
    status = QuenbyPrivateControl(ctx, stack->FileObject, code, in, in == nullptr ? 0 : inLength, out,
                                  outSize, &information);
  }
  // The I/O manager copies a buffered request's byte count from the system
  // buffer into the caller's output buffer: never more than that holds (a
  // request without an output buffer has nothing copied back).
  if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && outSize != 0 && information > outSize) {
    information = outSize;
  }
  return Complete(irp, status, information);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyPrivateDispatch(PDEVICE_OBJECT deviceObject, PIRP irp, PDRIVER_DISPATCH next) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_CREATE) return PrivateCreate(deviceObject, irp, next);
  if (!IsPrivateFile(stack->FileObject)) return next(deviceObject, irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CLEANUP:
      QuenbyPrivateCleanup(QuenbyContextFromKsDevice(KsGetDeviceForDeviceObject(deviceObject)),
                           stack->FileObject);
      QuenbyExchangeCleanup(QuenbyContextFromKsDevice(KsGetDeviceForDeviceObject(deviceObject)),
                            stack->FileObject);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return PrivateDeviceControl(deviceObject, irp);
    default:
      // Reading, writing, flushing and security requests: the private
      // interface has none of them.
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
