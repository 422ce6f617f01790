// The streaming pins: set-format, the state routines that start and stop
// the USB streams, the process routines that move data between the pins'
// stream pointers and the rings, and the pin properties (latency,
// positions, sampling rate).
#include "quenby.h"

namespace {

// The streaming pins: render takes data in, capture gives it out (their
// indexes differ between the filter shapes).
ULONG DirectionOf(PKSPIN pin) {
  return pin->DataFlow == KSPIN_DATAFLOW_OUT ? QUENBY_DIR_CAPTURE : QUENBY_DIR_RENDER;
}

AUDIO_FORMAT* PinFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  return direction == QUENBY_DIR_CAPTURE ? &ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat
                                         : &ctx->Dir[QUENBY_DIR_RENDER].PinFormat;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void ResetCapturePositions(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  ctx->CaptureDevicePosition = 0;
  ctx->CapturePinPosition = 0;
  ctx->CaptureCloneOwed = 0;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void ResetRenderPositions(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  ctx->RenderPlayPosition = 0;
  ctx->RenderWritePosition = 0;
  ctx->RenderPlayed = 0;
  ctx->RenderPlayedRemainder = 0;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
}

// The streaming thread reads the capture pin under the capture position lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
void SetCapturePin(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  ctx->Dir[QUENBY_DIR_CAPTURE].Pin = pin;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}

// A capture pin fed on direct-mode credit is owed what streams from its RUN
// on, not what streamed while it waited in PAUSE or ACQUIRE.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ClearCaptureCreditForRun(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  ctx->CaptureCredit = 0;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void PlayAtWrite(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  ctx->RenderPlayPosition = ctx->RenderWritePosition;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
}

// Waits for the mixing under way (it never waits while holding the mutex).
_IRQL_requires_max_(PASSIVE_LEVEL)
void DeleteRenderClones(WDF_DEVICE_CONTEXT* ctx) {
  KeWaitForSingleObject(&ctx->RenderCloneMutex, Executive, KernelMode, FALSE, nullptr);
  QuenbyDeleteClones(ctx, QUENBY_DIR_RENDER);
  KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void DeleteRenderClonesIfFree(WDF_DEVICE_CONTEXT* ctx) {
  if (QuenbyTryMutex(&ctx->RenderCloneMutex)) {
    QuenbyDeleteClones(ctx, QUENBY_DIR_RENDER);
    KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
  }
}

// ---------------------------------------------------------------------------
// Create and set data format
// ---------------------------------------------------------------------------
// One pin per direction on the unit, whichever filter instance it is created
// on: the direction's streams, rings and formats are the device's. AVStream
// checks a new pin's format (set-format) before its create dispatch; the
// formats go to the device only once the pin is created, so a pin that is
// refused changes nothing of the stream of the direction's pin.

// The pin's format checked against the direction's capabilities: the
// connection (the device's format) and the pin's own.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS CheckPinFormat(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, AUDIO_FORMAT* connection, AUDIO_FORMAT* pin) {
  FORMAT_CAPS caps = QuenbyFormatCaps(ctx, DirectionOf(Pin));
  return QuenbyCheckFormat(&caps, Pin->ConnectionFormat, Pin->ConnectionFormat->FormatSize, connection, pin);
}

// The pin's format becomes the direction's. Under the stream-control lock:
// the device and saved formats it writes are those the direct-mode codes on
// another handle save, rewrite and restore.
_IRQL_requires_max_(DISPATCH_LEVEL)
void PutPinFormat(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, const AUDIO_FORMAT* connection,
                  const AUDIO_FORMAT* pin) {
  const ULONG direction = DirectionOf(Pin);
  // The connection carries the device's channel count (render rewrite).
  WAVEFORMATEX* w = reinterpret_cast<WAVEFORMATEX*>(Pin->ConnectionFormat + 1);
  w->nChannels = connection->WaveFormatExt.Format.nChannels;
  w->nBlockAlign = connection->WaveFormatExt.Format.nBlockAlign;
  w->nAvgBytesPerSec = connection->WaveFormatExt.Format.nAvgBytesPerSec;
  if (ReadFlag(&ctx->DirectMode) == 0) QuenbyPutDeviceFormat(ctx, direction, connection);
  // The streaming thread reads the pin's format under the position lock
  // (the pin's position counts in it), also while direct mode streams.
  WDFSPINLOCK lock = QuenbyPositionLock(ctx, direction);
  WdfSpinLockAcquire(lock);
  *PinFormat(ctx, direction) = *pin;
  WdfSpinLockRelease(lock);
  ctx->Dir[direction].SavedFormat = *connection;
}

// Under the stream-control lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS PinSetDataFormatLocked(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin) {
  const ULONG direction = DirectionOf(Pin);
  AUDIO_FORMAT connection;
  AUDIO_FORMAT pin;
  if (ctx->Dir[direction].OpenPin != Pin) {
    // A pin about to be created: refused while the direction has one (its
    // create dispatch refuses it too), otherwise only checked; its create
    // dispatch puts the format.
    if (ctx->Dir[direction].OpenPin != nullptr) return STATUS_DEVICE_BUSY;
    return CheckPinFormat(ctx, Pin, &connection, &pin);
  }
  const NTSTATUS status = CheckPinFormat(ctx, Pin, &connection, &pin);
  // Once out of STOP the pin's stream runs with the format it started
  // with: a change would relabel it while it carries the old one. The
  // format it has is accepted again without effect.
  if (Pin->DeviceState != KSSTATE_STOP) {
    if (NT_SUCCESS(status) && QuenbySamePcm(&pin, PinFormat(ctx, direction))) return STATUS_SUCCESS;
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (!NT_SUCCESS(status)) return status;
  PutPinFormat(ctx, Pin, &connection, &pin);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PinSetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                          const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange) {
  UNREFERENCED_PARAMETER(OldFormat);
  UNREFERENCED_PARAMETER(OldAttributeList);
  UNREFERENCED_PARAMETER(DataRange);
  UNREFERENCED_PARAMETER(AttributeRange);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr || Pin->ConnectionFormat == nullptr) return STATUS_UNSUCCESSFUL;
  QuenbyLockStreamControl(ctx);
  const NTSTATUS status = PinSetDataFormatLocked(ctx, Pin);
  QuenbyUnlockStreamControl(ctx);
  return status;
}

// The direction is the pin's if no other pin holds it; the format its
// set-format checked becomes the direction's. Each filter instance has a
// control mutex of its own: the claim is made under the stream-control lock.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PinCreate(PKSPIN Pin, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr || Pin->ConnectionFormat == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG direction = DirectionOf(Pin);
  QuenbyLockStreamControl(ctx);
  NTSTATUS status = STATUS_DEVICE_BUSY;
  if (ctx->Dir[direction].OpenPin == nullptr) {
    AUDIO_FORMAT connection;
    AUDIO_FORMAT pin;
    status = CheckPinFormat(ctx, Pin, &connection, &pin);
    if (NT_SUCCESS(status)) {
      PutPinFormat(ctx, Pin, &connection, &pin);
      ctx->Dir[direction].OpenPin = Pin;
    }
  }
  QuenbyUnlockStreamControl(ctx);
  return status;
}

// ---------------------------------------------------------------------------
// Set device state: both pins go through one sequence of state changes
// (PinSetDeviceStateLocked); the steps in which capture and render differ
// are each direction's PIN_DIRECTION_STEPS.
// ---------------------------------------------------------------------------
// A pin's start out of STOP: the plan of its streams (PlanStreams), and
// capture's formats as they were before the plan moved capture's rate, to
// put back when a render start fails.
struct PIN_START {
  STREAM_PLAN Plan;
  AUDIO_FORMAT CaptureFormat;
  AUDIO_FORMAT CaptureRunning;
};

// Capture steps.

// STOP: the capture pin gone, the streams nobody uses stop (not in direct
// mode, which uses them).
_IRQL_requires_max_(PASSIVE_LEVEL)
void StopStreamsCaptureLeft(WDF_DEVICE_CONTEXT* ctx, bool direct) {
  if (direct) return;
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse) == 0 &&
      ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinAcquired) == 0) {
    if (ReadFlag(&ctx->Streams[QuenbyRender].Active) != 0) QuenbyStopRender(ctx, TRUE);
    if (ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0) QuenbyStopCapture(ctx, TRUE);
    ctx->ResumeStreams = 0;  // nothing to run again after a power-down
  }
}

// Render may have taken capture along at its rate while this pin was idle:
// the stream starts at the rate of the pin's format (and is refused while
// render holds the one clock at another).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PlanCaptureStart(WDF_DEVICE_CONTEXT* ctx, PIN_START* start) {
  const STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskCapturePin);
  start->Plan = PlanStreams(&request);
  if (start->Plan.Refusal != StreamAllowed) return QuenbyRefusalStatus(start->Plan.Refusal);
  if (start->Plan.CaptureRate != 0)
    QuenbyDeviceFormatAtRate(ctx, QUENBY_DIR_CAPTURE, start->Plan.CaptureRate);
  return STATUS_SUCCESS;
}

// The capture stream started for the pin (with the power-up when the device
// is powered down).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartCaptureStreams(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, const PIN_START* start) {
  UNREFERENCED_PARAMETER(start);
  if (ctx->PowerState != QUENBY_POWER_D0) {
    // Powered down: the stream starts with the power-up.
    QuenbyRingResetWithOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, Pin);
    ctx->ResumeStreams |= QUENBY_RESUME_CAPTURE;
    return STATUS_SUCCESS;
  }
  if (!QuenbyTryMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex)) return STATUS_SUCCESS;
  // A stream that ran (beside render, or for direct mode) runs on as it did
  // when the pin's start fails: the pin stays in STOP.
  const bool ran = ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0;
  const AUDIO_FORMAT device = ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat;
  const AUDIO_FORMAT running = ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat;
  PKSPIN owner = QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring);
  const NTSTATUS status = QuenbyStartCapture(ctx, Pin);
  if (!NT_SUCCESS(status)) {
    if (ran && ReadFlag(&ctx->Streams[QuenbyCapture].Active) == 0) {
      QuenbyPutDeviceFormat(ctx, QUENBY_DIR_CAPTURE, &running);
      QuenbyStartCapture(ctx, owner);
      QuenbyPutDeviceFormat(ctx, QUENBY_DIR_CAPTURE, &device);
    }
    // A start that failed once it had stopped the stream leaves the
    // interface idle, not on the setting it selected.
    if (ReadFlag(&ctx->Streams[QuenbyCapture].Active) == 0) {
      QuenbyStopCapture(ctx, TRUE);
      QuenbySetStreamFormat(ctx, QUENBY_DIR_CAPTURE, &running);
    }
  }
  KeReleaseMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex, FALSE);
  return status;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void DropCaptureClones(WDF_DEVICE_CONTEXT* ctx) {
  QuenbyDeleteClones(ctx, QUENBY_DIR_CAPTURE);
}

// Nothing of the pin's frames stays held once it stops (a clone taken by a
// processing call under way as the pin left RUN included).
_IRQL_requires_max_(DISPATCH_LEVEL)
void ForgetCapturePin(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin) {
  UNREFERENCED_PARAMETER(Pin);
  QuenbyDeleteClones(ctx, QUENBY_DIR_CAPTURE);
  SetCapturePin(ctx, nullptr);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void RunCapturePin(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, KSSTATE FromState) {
  UNREFERENCED_PARAMETER(FromState);
  SetCapturePin(ctx, Pin);
  ClearCaptureCreditForRun(ctx);
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse) != 0) {
    ctx->CaptureCloneFill = 0;
  } else {
    WriteFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse, 1);
  }
  WriteFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning, 1);
}

// Render steps.

// STOP: the render pin gone, render stops unless direct mode uses it, and
// capture unless a capture pin or direct mode does.
_IRQL_requires_max_(PASSIVE_LEVEL)
void StopStreamsRenderLeft(WDF_DEVICE_CONTEXT* ctx, bool direct) {
  if (!direct) {
    // Under the position lock, as the render completion routine updates it.
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
    ctx->RenderRemainder = 0;
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  }
  const bool captureUsed = ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse) != 0 ||
                           ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinAcquired) != 0;
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse) == 0 &&
      ReadFlag(&ctx->Streams[QuenbyRender].Active) != 0)
    QuenbyStopRender(ctx, TRUE);
  if (ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0 && !captureUsed) QuenbyStopCapture(ctx, TRUE);
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse) == 0) ctx->ResumeStreams &= ~QUENBY_RESUME_RENDER;
  if (!captureUsed) ctx->ResumeStreams &= ~QUENBY_RESUME_CAPTURE;
}

// Capture nobody uses runs beside render; on one clock for both at render's
// rate, which render is about to set (none carries it: capture stays off
// until a capture pin starts it). A capture pin out of STOP keeps its stream
// and its rate. The plan moves capture's format to render's rate: the
// formats before are kept to undo a failed start.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PlanRenderStart(WDF_DEVICE_CONTEXT* ctx, PIN_START* start) {
  start->CaptureFormat = ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat;
  start->CaptureRunning = ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat;
  const STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskRenderPin);
  start->Plan = PlanStreams(&request);
  if (start->Plan.CaptureRate != 0)
    QuenbyDeviceFormatAtRate(ctx, QUENBY_DIR_CAPTURE, start->Plan.CaptureRate);
  return STATUS_SUCCESS;
}

// A start that fails leaves nothing it began: no stream runs for a pin that
// stays in STOP, and the interfaces go back to idle.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartRenderStreamsNow(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, const PIN_START* start) {
  bool captureStarted = false;
  if (start->Plan.StartCapture && QuenbyTryMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex)) {
    // Capture's failure is not the pin's: render runs without it (and the
    // capture interface goes back to idle).
    captureStarted = NT_SUCCESS(QuenbyStartCapture(ctx, ctx->Dir[QUENBY_DIR_CAPTURE].Pin));
    if (!captureStarted) QuenbyStopCapture(ctx, TRUE);
    KeReleaseMutex(&ctx->Dir[QUENBY_DIR_CAPTURE].StartMutex, FALSE);
  }
  if (!start->Plan.StartRender || !QuenbyTryMutex(&ctx->Dir[QUENBY_DIR_RENDER].StartMutex))
    return STATUS_SUCCESS;
  const NTSTATUS status = QuenbyStartRender(ctx, Pin);
  if (!NT_SUCCESS(status)) {
    QuenbyStopRender(ctx, TRUE);
    if (captureStarted) QuenbyStopCapture(ctx, TRUE);
  }
  KeReleaseMutex(&ctx->Dir[QUENBY_DIR_RENDER].StartMutex, FALSE);
  if (!NT_SUCCESS(status) && ReadFlag(&ctx->Streams[QuenbyCapture].Active) == 0) {
    // The pin stays in STOP: capture's format moved for it goes back (it
    // would hold one clock for both at this pin's rate).
    QuenbyPutDeviceFormat(ctx, QUENBY_DIR_CAPTURE, &start->CaptureFormat);
    QuenbySetStreamFormat(ctx, QUENBY_DIR_CAPTURE, &start->CaptureRunning);
  }
  return status;
}

// The streams the plan starts for the render pin (with the power-up when
// the device is powered down).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartRenderStreams(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, const PIN_START* start) {
  if (ctx->PowerState == QUENBY_POWER_D0) return StartRenderStreamsNow(ctx, Pin, start);
  // Powered down: the streams start with the power-up (capture first, so
  // only when it follows render's rate).
  QuenbyRingResetWithOwner(&ctx->Dir[QUENBY_DIR_RENDER].Ring, Pin);
  if (start->Plan.StartRender) ctx->ResumeStreams |= QUENBY_RESUME_RENDER;
  if (start->Plan.StartCapture) ctx->ResumeStreams |= QUENBY_RESUME_CAPTURE;
  return STATUS_SUCCESS;
}

// The clones PAUSE and ACQUIRE could not delete while the streaming thread
// mixed them go at STOP: a stopped pin holds none of its frames.
_IRQL_requires_max_(PASSIVE_LEVEL)
void ForgetRenderPin(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin) {
  DeleteRenderClones(ctx);
  if (ctx->Dir[QUENBY_DIR_RENDER].Pin == Pin) ctx->Dir[QUENBY_DIR_RENDER].Pin = nullptr;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
void RunRenderPin(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, KSSTATE FromState) {
  if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse) != 0) {
    PlayAtWrite(ctx);
  } else {
    WriteFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse, 1);
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
    ctx->RenderRemainder = 0;
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  }
  WriteFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning, 1);
  ctx->Dir[QUENBY_DIR_RENDER].Pin = Pin;
  if (FromState == KSSTATE_PAUSE) PlayAtWrite(ctx);
  QuenbyWakeThread(ctx);
}

// The steps of a pin's state changes that differ between the directions.
struct PIN_DIRECTION_STEPS {
  ULONG Direction;
  // STOP: the streams nobody uses any more stop.
  void (*StopUnusedStreams)(WDF_DEVICE_CONTEXT* ctx, bool direct);
  // ACQUIRE from STOP: the pin's streams planned; a refusal changes nothing.
  NTSTATUS (*PlanStart)(WDF_DEVICE_CONTEXT* ctx, PIN_START* start);
  // ACQUIRE from STOP: the planned streams start for the pin.
  NTSTATUS (*StartStreams)(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, const PIN_START* start);
  // PAUSE, and ACQUIRE from above: the clones of the pin's frames go (the
  // render clones only when the streaming thread is not mixing them).
  void (*DropClones)(WDF_DEVICE_CONTEXT* ctx);
  // STOP: all clones go, and the streaming thread no longer serves the pin.
  void (*ForgetPin)(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin);
  // STOP and ACQUIRE: the positions start again from 0.
  void (*ResetPositions)(WDF_DEVICE_CONTEXT* ctx);
  // RUN.
  void (*Run)(WDF_DEVICE_CONTEXT* ctx, PKSPIN Pin, KSSTATE FromState);
};

const PIN_DIRECTION_STEPS kCaptureSteps = {
    QUENBY_DIR_CAPTURE, StopStreamsCaptureLeft, PlanCaptureStart,      StartCaptureStreams,
    DropCaptureClones,  ForgetCapturePin,       ResetCapturePositions, RunCapturePin,
};
const PIN_DIRECTION_STEPS kRenderSteps = {
    QUENBY_DIR_RENDER,        StopStreamsRenderLeft, PlanRenderStart,      StartRenderStreams,
    DeleteRenderClonesIfFree, ForgetRenderPin,       ResetRenderPositions, RunRenderPin,
};

// The state change of a pin of either direction. Under the stream-control
// lock.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PinSetDeviceStateLocked(WDF_DEVICE_CONTEXT* ctx, const PIN_DIRECTION_STEPS* steps, PKSPIN Pin,
                                 KSSTATE ToState, KSSTATE FromState) {
  QUENBY_DIRECTION_STATE* dir = &ctx->Dir[steps->Direction];
  const bool direct = ReadFlag(&ctx->DirectMode) != 0;
  NTSTATUS status = STATUS_SUCCESS;
  switch (ToState) {
    case KSSTATE_STOP:
      if (!direct) WriteFlag(&dir->StreamInUse, 0);
      WriteFlag(&dir->PinAcquired, 0);
      steps->StopUnusedStreams(ctx, direct);
      WriteFlag(&dir->PinRunning, 0);
      steps->ForgetPin(ctx, Pin);
      steps->ResetPositions(ctx);
      break;
    case KSSTATE_ACQUIRE:
      if (!direct) WriteFlag(&dir->StreamInUse, 0);
      WriteFlag(&dir->PinRunning, 0);
      if (FromState != KSSTATE_STOP) {
        steps->DropClones(ctx);
      } else {
        PIN_START start = {};
        status = steps->PlanStart(ctx, &start);
        if (!NT_SUCCESS(status)) return status;
        status = steps->StartStreams(ctx, Pin, &start);
        if (NT_SUCCESS(status)) WriteFlag(&dir->PinAcquired, 1);
      }
      steps->ResetPositions(ctx);
      break;
    case KSSTATE_PAUSE:
      if (!direct) WriteFlag(&dir->StreamInUse, 0);
      WriteFlag(&dir->PinRunning, 0);
      steps->DropClones(ctx);
      break;
    case KSSTATE_RUN:
      steps->Run(ctx, Pin, FromState);
      break;
    default:
      return STATUS_UNSUCCESSFUL;
  }
  return status;
}

// State changes that start or stop streams wait for the stream control:
// power transitions, remove and the direct-mode codes run under it too.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS UnderStreamControl(const PIN_DIRECTION_STEPS* steps, PKSPIN Pin, KSSTATE ToState,
                            KSSTATE FromState) {
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  // A unit that went away plays and records nothing: a step up is refused
  // rather than reported as a stream that runs. Steps down always succeed.
  if (ToState > FromState && ReadFlag(&ctx->SurpriseRemoved) != 0) return STATUS_NO_SUCH_DEVICE;
  QuenbyLockStreamControl(ctx);
  NTSTATUS status = PinSetDeviceStateLocked(ctx, steps, Pin, ToState, FromState);
  QuenbyUnlockStreamControl(ctx);
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CaptureSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
  return UnderStreamControl(&kCaptureSteps, Pin, ToState, FromState);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RenderSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
  return UnderStreamControl(&kRenderSteps, Pin, ToState, FromState);
}

// A closed pin is forgotten: nothing binds a ring or a restart to it again.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PinClose(PKSPIN Pin, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr) return STATUS_SUCCESS;
  QuenbyLockStreamControl(ctx);
  const ULONG direction = DirectionOf(Pin);
  // The direction is free for a new pin (on this filter or another).
  if (ctx->Dir[direction].OpenPin == Pin) ctx->Dir[direction].OpenPin = nullptr;
  if (direction == QUENBY_DIR_CAPTURE) {
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    if (ctx->Dir[QUENBY_DIR_CAPTURE].Pin == Pin) ctx->Dir[QUENBY_DIR_CAPTURE].Pin = nullptr;
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  } else if (ctx->Dir[QUENBY_DIR_RENDER].Pin == Pin) {
    ctx->Dir[QUENBY_DIR_RENDER].Pin = nullptr;
  }
  AudioRing* ring = direction == QUENBY_DIR_CAPTURE ? &ctx->Dir[QUENBY_DIR_CAPTURE].Ring
                                                    : &ctx->Dir[QUENBY_DIR_RENDER].Ring;
  if (ring->Lock != nullptr) {
    WdfSpinLockAcquire(ring->Lock);
    if (ring->OwnerPin == Pin) {
      ring->OwnerPin = nullptr;
      ring->Wanted = 0;
    }
    WdfSpinLockRelease(ring->Lock);
  }
  QuenbyUnlockStreamControl(ctx);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Process
// ---------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
void AddWritePosition(WDF_DEVICE_CONTEXT* ctx, ULONG bytes) {
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  ctx->RenderWritePosition += bytes;
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
}

// Render frames whose channel count differs from the stream's, one by one
// through a frame buffer; returns the pin bytes consumed.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG WriteConverted(WDF_DEVICE_CONTEXT* ctx, const WAVEFORMATEX* stream, const UCHAR* data, ULONG bytes,
                     bool* failed) {
  const WAVEFORMATEX* pin = &ctx->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format;
  const ULONG sampleBytes = pin->wBitsPerSample / 8;
  const ULONG pinFrame = pin->nChannels * sampleBytes;
  const ULONG streamFrame = stream->nChannels * sampleBytes;
  const ULONG copy = (pin->nChannels < stream->nChannels ? pin->nChannels : stream->nChannels) * sampleBytes;
  *failed = false;
  // Set-format refuses frames wider than the buffer; check again all the same.
  if (pinFrame == 0 || pinFrame > QUENBY_CONVERSION_FRAME || streamFrame > QUENBY_CONVERSION_FRAME ||
      sampleBytes != stream->wBitsPerSample / 8u) {
    return bytes;  // consumed without use
  }
  UCHAR frame[QUENBY_CONVERSION_FRAME];
  ULONG consumed = 0;
  while (bytes - consumed >= pinFrame) {
    RtlZeroMemory(frame, streamFrame);
    RtlCopyMemory(frame, data + consumed, copy);
    if (!NT_SUCCESS(QuenbyRingWrite(&ctx->Dir[QUENBY_DIR_RENDER].Ring, frame, streamFrame))) {
      *failed = true;
      break;
    }
    consumed += pinFrame;
  }
  if (!*failed && consumed < bytes && bytes - consumed < pinFrame) consumed = bytes;  // a torn frame
  return consumed;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RenderProcess(PKSPIN Pin) {
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (sp == nullptr) return STATUS_SUCCESS;
  for (;;) {
    if (sp->StreamHeader == nullptr || sp->OffsetIn.Remaining == 0) {
      if (!NT_SUCCESS(KsStreamPointerAdvance(sp))) return STATUS_SUCCESS;
      continue;
    }
    const ULONG remaining = sp->OffsetIn.Remaining;
    const WAVEFORMATEX* pin = &ctx->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format;
    // The running format, as the capture pin reads it (a format change on
    // another handle rewrites it): whole, under the render position lock.
    const WAVEFORMATEX running = QuenbyStreamFormat(ctx, QUENBY_DIR_RENDER);
    const WAVEFORMATEX* stream = &running;
    ULONG consumed = remaining;
    bool failed = false;
    if (ReadFlag(&ctx->DirectMode) != 0) {
      // Held for the streaming thread to mix into the running stream, as
      // long as rates agree and there is room; otherwise consumed without use.
      if (pin->nSamplesPerSec == stream->nSamplesPerSec && QuenbyTryMutex(&ctx->RenderCloneMutex)) {
        // A pin leaving RUN clears its running flag, then deletes its clones
        // under this mutex: a processing call that began in RUN adds none
        // after that.
        if (ctx->RenderCloneCount < QUENBY_RENDER_CLONES &&
            ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning) != 0) {
          PKSSTREAM_POINTER clone = nullptr;
          if (NT_SUCCESS(KsStreamPointerClone(sp, nullptr, 8, &clone))) {
            ctx->RenderClones[(ctx->RenderCloneHead + ctx->RenderCloneCount) % QUENBY_RENDER_CLONES] = clone;
            ++ctx->RenderCloneCount;
          }
        }
        KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
      }
    } else if (pin->nChannels == stream->nChannels) {
      const ULONG blockAlign = stream->nBlockAlign;
      const ULONG half = QuenbyRingLimit(&ctx->Dir[QUENBY_DIR_RENDER].Ring) / 2;
      ULONG n = remaining < half ? remaining : half;
      if (blockAlign != 0) n = n / blockAlign * blockAlign;
      if (n == 0) {
        consumed = remaining;  // less than one frame: nothing to play
      } else if (NT_SUCCESS(QuenbyRingWrite(&ctx->Dir[QUENBY_DIR_RENDER].Ring, sp->OffsetIn.Data, n))) {
        consumed = n;
      } else {
        consumed = 0;
        failed = true;
      }
    } else {
      consumed = WriteConverted(ctx, stream, sp->OffsetIn.Data, remaining, &failed);
    }
    NTSTATUS advance = STATUS_SUCCESS;
    if (consumed != 0) {
      AddWritePosition(ctx, consumed);
      advance = KsStreamPointerAdvanceOffsets(sp, consumed, 0, FALSE);
    }
    QuenbyWakeThread(ctx);
    if (failed) {
      // The ring remembers what it wants and asks for processing again.
      if (NT_SUCCESS(advance)) KsStreamPointerUnlock(sp, FALSE);
      return STATUS_PENDING;
    }
    if (!NT_SUCCESS(advance)) return STATUS_SUCCESS;
  }
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CaptureProcess(PKSPIN Pin) {
  WDF_DEVICE_CONTEXT* ctx = QuenbyContextFromObject(Pin);
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (sp == nullptr) return STATUS_SUCCESS;
  for (;;) {
    if (sp->StreamHeader == nullptr || sp->OffsetOut.Remaining == 0) {
      if (!NT_SUCCESS(KsStreamPointerAdvance(sp))) return STATUS_SUCCESS;
      continue;
    }
    // The running format, which a format change or start on another handle
    // (direct mode) rewrites under the stream-control lock: read whole under
    // the capture position lock, as the processing may not wait for a
    // stream start's requests to the unit. The streams carry it, and the
    // direct-mode data fed to this pin comes in it.
    const WAVEFORMATEX running = QuenbyStreamFormat(ctx, QUENBY_DIR_CAPTURE);
    const WAVEFORMATEX* stream = &running;
    const WAVEFORMATEX* pin = &ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat.WaveFormatExt.Format;
    const bool directCapture = (ReadFlag(&ctx->DirectStreamFlags) & QUENBY_DIRECT_CAPTURE_RUNNING) != 0;
    const bool sameRateBits =
        pin->nSamplesPerSec == stream->nSamplesPerSec && pin->wBitsPerSample == stream->wBitsPerSample;
    const bool sameFormat = sameRateBits && pin->nChannels == stream->nChannels;
    ULONG size = sp->OffsetOut.Remaining;
    if (!directCapture) {
      if (size > ctx->Dir[QUENBY_DIR_CAPTURE].Ring.Size / 2)
        size = ctx->Dir[QUENBY_DIR_CAPTURE].Ring.Size / 2;
      if (stream->nBlockAlign != 0) size = size / stream->nBlockAlign * stream->nBlockAlign;
    }
    bool ok;
    if (size == 0) {
      // Less than one frame of room: handed back empty.
      size = sp->OffsetOut.Remaining;
      RtlZeroMemory(sp->OffsetOut.Data, size);
      ok = true;
    } else if (ReadFlag(&ctx->DirectMode) != 0 && directCapture) {
      if (sameRateBits) {
        ok = false;
        WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
        const bool room = ctx->CaptureCloneCount < QUENBY_CAPTURE_CLONES;
        WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
        PKSSTREAM_POINTER clone = nullptr;
        if (room && NT_SUCCESS(KsStreamPointerClone(sp, nullptr, 8, &clone))) {
          // A pin leaving RUN clears its running flag, then deletes its
          // clones under this lock: a processing call that began in RUN
          // keeps none after that.
          WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
          ok = ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) != 0 &&
               ctx->CaptureCloneCount < QUENBY_CAPTURE_CLONES;
          if (ok) {
            ctx->CaptureClones[(ctx->CaptureCloneHead + ctx->CaptureCloneCount) % QUENBY_CAPTURE_CLONES] =
                clone;
            ++ctx->CaptureCloneCount;
            ctx->CaptureCloneOwed += size;  // filled by the streaming thread
          }
          WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
          if (!ok) KsStreamPointerDelete(clone);
        }
      } else {
        // What the credit covers, in whole frames of the pin: a frame
        // larger than the credit can grow to is filled in parts.
        WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
        ULONG covered = ctx->CaptureCredit < size ? ctx->CaptureCredit : size;
        if (pin->nBlockAlign != 0) covered = covered / pin->nBlockAlign * pin->nBlockAlign;
        WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
        ok = covered != 0;
        if (ok) size = covered;
      }
    } else {
      ok = NT_SUCCESS(
          QuenbyRingRead(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, sp->OffsetOut.Data, size, nullptr, nullptr));
    }
    if (!ok) {
      KsStreamPointerUnlock(sp, FALSE);
      WriteFlag(&ctx->CaptureWaiting, 1);
      return STATUS_PENDING;
    }
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    ctx->CapturePinPosition += size;
    if (directCapture && !sameFormat) {
      ctx->CaptureCredit -= size;
      RtlZeroMemory(sp->OffsetOut.Data, size);
    }
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    const NTSTATUS advance = KsStreamPointerAdvanceOffsets(sp, 0, size, FALSE);
    QuenbyWakeThread(ctx);
    if (!NT_SUCCESS(advance)) return STATUS_SUCCESS;
  }
}

_IRQL_requires_max_(PASSIVE_LEVEL)
void PinReset(PKSPIN Pin) {
  UNREFERENCED_PARAMETER(Pin);
}

// ---------------------------------------------------------------------------
// Pin properties
// ---------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
PKSPIN PinOf(PIRP Irp, WDF_DEVICE_CONTEXT** ctx) {
  PKSPIN pin = KsGetPinFromIrp(Irp);
  *ctx = pin != nullptr ? QuenbyContextFromObject(pin) : nullptr;
  return *ctx != nullptr ? pin : nullptr;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetLatency(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  WDF_DEVICE_CONTEXT* ctx;
  PKSPIN pin = PinOf(Irp, &ctx);
  if (pin == nullptr) return STATUS_UNSUCCESSFUL;
  KSTIME* time = static_cast<KSTIME*>(Data);
  // The most the path holds back, in 100 ns units: for render the ring's
  // limit and the transfers ahead; for capture the transfers in flight.
  // Frames and rate come from one reading of the running format.
  if (DirectionOf(pin) == QUENBY_DIR_RENDER) {
    ULONG rate = 0;
    const ULONG frames = QuenbyRenderDelayBound(ctx, &rate);
    time->Time = rate != 0 ? (LONGLONG)frames * 10000000 / rate : 0;
  } else {
    time->Time = (LONGLONG)(ReadFlag(&ctx->Streams[QuenbyCapture].ConfiguredInFlight) + 2) *
                 10000;  // 1 ms per transfer
  }
  time->Numerator = 1;
  time->Denominator = 1;
  Irp->IoStatus.Information = sizeof(KSTIME);
  return STATUS_SUCCESS;
}

// The positions as KSAUDIO_POSITION has them, in bytes of the pin's stream
// since ACQUIRE: WriteOffset is the end of what the client submitted (what
// the process routine took plus what waits ahead of the leading edge);
// render's PlayOffset is what the unit has played of the client's data,
// capture's the part of the client's buffers filled, neither beyond
// WriteOffset. Under the pin's processing mutex, so that the queue and the
// counts the process routine keeps agree (KsPinGetAvailableByteCount).
_IRQL_requires_max_(PASSIVE_LEVEL)
void ReadPositions(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin, KSAUDIO_POSITION* position) {
  KsPinAcquireProcessingMutex(pin);
  LONG input = 0;
  LONG output = 0;
  if (!NT_SUCCESS(KsPinGetAvailableByteCount(pin, &input, &output))) input = output = 0;
  if (DirectionOf(pin) == QUENBY_DIR_RENDER) {
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
    const ULONGLONG taken = ctx->RenderWritePosition;
    const ULONGLONG played = ctx->RenderPlayed;
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
    position->PlayOffset = played < taken ? played : taken;
    position->WriteOffset = taken + (input > 0 ? (ULONGLONG)input : 0);
  } else {
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    const ULONGLONG taken = ctx->CapturePinPosition;
    const ULONGLONG owed = ctx->CaptureCloneOwed;
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    position->PlayOffset = owed < taken ? taken - owed : 0;
    position->WriteOffset = taken + (output > 0 ? (ULONGLONG)output : 0);
  }
  KsPinReleaseProcessingMutex(pin);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetPosition(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  WDF_DEVICE_CONTEXT* ctx;
  PKSPIN pin = PinOf(Irp, &ctx);
  if (pin == nullptr) return STATUS_UNSUCCESSFUL;
  ReadPositions(ctx, pin, static_cast<KSAUDIO_POSITION*>(Data));
  Irp->IoStatus.Information = sizeof(KSAUDIO_POSITION);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetPositionEx(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  WDF_DEVICE_CONTEXT* ctx;
  PKSPIN pin = PinOf(Irp, &ctx);
  if (pin == nullptr) return STATUS_UNSUCCESSFUL;
  KSAUDIO_POSITIONEX* p = static_cast<KSAUDIO_POSITIONEX*>(Data);
  p->TimeStamp1 = KeQueryPerformanceCounter(&p->TimerFrequency);
  ReadPositions(ctx, pin, &p->Position);
  p->TimeStamp2 = KeQueryPerformanceCounter(nullptr);
  Irp->IoStatus.Information = sizeof(KSAUDIO_POSITIONEX);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetSamplingRate(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  WDF_DEVICE_CONTEXT* ctx;
  PKSPIN pin = PinOf(Irp, &ctx);
  if (pin == nullptr) return STATUS_UNSUCCESSFUL;
  // A property handler may not wait for the stream-control lock (a format
  // change on another handle holds it across requests to the unit).
  *static_cast<ULONG*>(Data) = QuenbyDeviceRate(ctx, DirectionOf(pin));
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// Accepted with success and no effect.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetAccepted(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Data);
  WDF_DEVICE_CONTEXT* ctx;
  if (PinOf(Irp, &ctx) == nullptr) return STATUS_UNSUCCESSFUL;
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

// A vendor property set a Windows audio component sets on the pins.
const GUID kPinVendorSet = {0x4E73C07F, 0x23CC, 0x4955, {0xA7, 0xEA, 0x3D, 0xA5, 0x02, 0x49, 0x62, 0x90}};

const KSPROPERTY_ITEM g_AudioPinProperties[] = {
    {KSPROPERTY_AUDIO_LATENCY,
     {GetLatency},
     sizeof(KSPROPERTY),
     sizeof(KSTIME),
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_AUDIO_POSITION,
     {GetPosition},
     sizeof(KSPROPERTY),
     sizeof(KSAUDIO_POSITION),
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_AUDIO_SAMPLING_RATE,
     {GetSamplingRate},
     sizeof(KSPROPERTY),
     sizeof(ULONG),
     {SetAccepted},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
    {KSPROPERTY_AUDIO_POSITIONEX,
     {GetPositionEx},
     sizeof(KSPROPERTY),
     sizeof(KSAUDIO_POSITIONEX),
     {nullptr},
     nullptr,
     0,
     nullptr,
     nullptr,
     0},
};

const KSPROPERTY_ITEM g_VendorPinProperties[] = {
    {1, {nullptr}, sizeof(KSPROPERTY), sizeof(ULONG), {SetAccepted}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_SET g_PinPropertySets[] = {
    {&KSPROPSETID_Audio, SIZEOF_ARRAY(g_AudioPinProperties), g_AudioPinProperties, 0, nullptr},
    {&kPinVendorSet, SIZEOF_ARRAY(g_VendorPinProperties), g_VendorPinProperties, 0, nullptr},
};

}  // namespace

_Use_decl_annotations_
FORMAT_CAPS QuenbyFormatCaps(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  FORMAT_CAPS caps;
  caps.Slots = direction == QUENBY_DIR_CAPTURE ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
  caps.Limits = &ctx->Dir[direction].Limits;
  caps.Rates = QuenbyRateList(ctx, direction);
  caps.RateBytes = ctx->Dir[direction].RateListBytes;
  caps.HighSpeed = ctx->HighSpeed != 0;
  caps.Capture = direction == QUENBY_DIR_CAPTURE;
  // While the other direction streams from the same clock, its rate is the
  // only one (the audio engine converts).
  caps.LockedRate = QuenbyClockHeldRate(ctx, direction);
  caps.CurrentRate = caps.LockedRate != 0 ? caps.LockedRate : QuenbyDeviceRate(ctx, direction);
  return caps;
}

const KSPIN_DISPATCH g_RenderPinDispatch = {
    PinCreate,             // Create
    PinClose,              // Close
    RenderProcess,         // Process
    PinReset,              // Reset
    PinSetDataFormat,      // SetDataFormat
    RenderSetDeviceState,  // SetDeviceState
    nullptr,               // Connect
    nullptr,               // Disconnect
    nullptr,               // Clock
    nullptr,               // Allocator
};

const KSPIN_DISPATCH g_CapturePinDispatch = {
    PinCreate,              // Create
    PinClose,               // Close
    CaptureProcess,         // Process
    PinReset,               // Reset
    PinSetDataFormat,       // SetDataFormat
    CaptureSetDeviceState,  // SetDeviceState
    nullptr,                // Connect
    nullptr,                // Disconnect
    nullptr,                // Clock
    nullptr,                // Allocator
};

const KSAUTOMATION_TABLE g_PinAutomation = {SIZEOF_ARRAY(g_PinPropertySets),
                                            sizeof(KSPROPERTY_ITEM),
                                            g_PinPropertySets,
                                            0,
                                            sizeof(KSMETHOD_ITEM),
                                            nullptr,
                                            0,
                                            sizeof(KSEVENT_ITEM),
                                            nullptr};
