// Streaming engine: the isochronous transfers (allocated once at start, kept
// on intrusive free lists), the streaming thread that submits every
// transfer, the completion routines, render pacing from the explicit
// feedback, capture processing, stream start and stop, and the render delay.
// The rings are ring.cpp, the direct-mode mixing direct_mix.cpp, the rules
// they follow stream_logic.cpp.
#include "quenby.h"

namespace {

const LONG kThreadPriority = 30;
// An empty primed ring: at most this many render transfers may be in
// flight, and this many 10 us units per transfer in flight must have
// passed since the last submission, before silence goes out.
const LONG kUnderrunInFlight = 3;
const LONGLONG kUnderrunSpacing = 80;

// The stream counters are read and cleared through the private interface
// while the streaming thread counts.
inline void CountUp(ULONG* counter, ULONG by) {
  InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(counter), (LONG)by);
}

WDFSPINLOCK FreeLock(WDF_DEVICE_CONTEXT* ctx, ULONG stream) {
  switch (stream) {
    case QuenbyCapture:
      return ctx->Streams[QuenbyCapture].FreeLock;
    case QuenbyRender:
      return ctx->Streams[QuenbyRender].FreeLock;
    default:
      return ctx->Streams[QuenbyFeedback].FreeLock;
  }
}

void ListPush(QUENBY_TRANSFER_LIST* list, WDF_OBJECT_CONTEXT* t) {
  t->Next = nullptr;
  if (list->Tail != nullptr) {
    list->Tail->Next = t;
  } else {
    list->Head = t;
  }
  list->Tail = t;
  ++list->Count;
}

WDF_OBJECT_CONTEXT* ListPop(QUENBY_TRANSFER_LIST* list) {
  WDF_OBJECT_CONTEXT* t = list->Head;
  if (t == nullptr) return nullptr;
  list->Head = t->Next;
  if (list->Head == nullptr) list->Tail = nullptr;
  t->Next = nullptr;
  --list->Count;
  return t;
}

// A transfer goes back to its stream's free list; the last one in flight
// signals the stream's idle event.
_IRQL_requires_max_(DISPATCH_LEVEL)
void GiveBack(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t) {
  const ULONG stream = t->Stream;
  WdfSpinLockAcquire(FreeLock(ctx, stream));
  ListPush(&ctx->Streams[stream].FreeList, t);
  WdfSpinLockRelease(FreeLock(ctx, stream));
  if (InterlockedDecrement(&ctx->Streams[stream].InFlight) == 0)
    KeSetEvent(&ctx->Streams[stream].IdleEvent, IO_NO_INCREMENT, FALSE);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
WDF_OBJECT_CONTEXT* TakeFree(WDF_DEVICE_CONTEXT* ctx, ULONG stream) {
  WdfSpinLockAcquire(FreeLock(ctx, stream));
  WDF_OBJECT_CONTEXT* t = ListPop(&ctx->Streams[stream].FreeList);
  WdfSpinLockRelease(FreeLock(ctx, stream));
  return t;
}

PCM_SHAPE ShapeOf(const AUDIO_FORMAT* f) {
  PCM_SHAPE s;
  s.Channels = f->WaveFormatExt.Format.nChannels;
  s.Bits = f->WaveFormatExt.Format.wBitsPerSample;
  s.Rate = f->WaveFormatExt.Format.nSamplesPerSec;
  return s;
}

LONGLONG Now10us(WDF_DEVICE_CONTEXT* ctx) {
  LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
  return ctx->TicksPer10us > 0 ? counter.QuadPart / ctx->TicksPer10us : counter.QuadPart;
}

const AltSettingSlot* SelectedSlot(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  const AltSettingSlot* slots =
      direction == QUENBY_DIR_CAPTURE ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
  LONG index = ctx->Dir[direction].SelectedSlot;
  if (index < 0 || index >= QUENBY_MAX_SLOTS) return nullptr;
  return &slots[index];
}

// ---------------------------------------------------------------------------
// Completion routines (DISPATCH_LEVEL): they hand transfers back and wake
// the thread; they never touch the rings.
// ---------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
EVT_WDF_REQUEST_COMPLETION_ROUTINE CaptureComplete;
_Use_decl_annotations_
void CaptureComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                     WDFCONTEXT Context) {
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Target);
  WDF_OBJECT_CONTEXT* t = static_cast<WDF_OBJECT_CONTEXT*>(Context);
  WDF_DEVICE_CONTEXT* ctx = GetDeviceContext(t->Device);
  const NTSTATUS status = Params->IoStatus.Status;
  if (ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0) {
    if (status == STATUS_NO_SUCH_DEVICE) {
      WriteFlag(&ctx->Streams[QuenbyCapture].Active, 0);
    } else if (NT_SUCCESS(status) && USBD_SUCCESS(t->Urb->UrbHeader.Status)) {
      WdfSpinLockAcquire(ctx->CaptureCompletedLock);
      ListPush(&ctx->CaptureCompleted, t);
      InterlockedIncrement(&ctx->CompletedWaiting);
      WdfSpinLockRelease(ctx->CaptureCompletedLock);
      QuenbyWakeThread(ctx);
      return;
    }
  }
  GiveBack(ctx, t);
  if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) InterlockedIncrement(&ctx->SubmitFailures);
}

// A transfer the USB stack refused or failed: the thread is not woken for
// it (it would submit the next one at once, and fail again), and it waits
// a frame before its next pass.
void NoteOutcome(WDF_DEVICE_CONTEXT* ctx, NTSTATUS status) {
  if (NT_SUCCESS(status)) {
    if (InterlockedCompareExchange(&ctx->SubmitFailures, 0, 0) != 0)
      InterlockedExchange(&ctx->SubmitFailures, 0);
  } else if (status != STATUS_CANCELLED) {
    InterlockedIncrement(&ctx->SubmitFailures);
  }
}

// The ring's audio a completed render transfer delivered: what of the
// bytes it took lies in packets the controller sent (a packet whose interval
// had passed, or that a cancellation or the device's leaving ended, was not).
ULONG PlayedOf(const WDF_DEVICE_CONTEXT* ctx, const WDF_OBJECT_CONTEXT* t) {
  const struct _URB_ISOCH_TRANSFER* urb = &t->Urb->UrbIsochronousTransfer;
  const ULONG packets = urb->NumberOfPackets < ctx->Streams[QuenbyRender].PacketsPerTransfer
                            ? urb->NumberOfPackets
                            : ctx->Streams[QuenbyRender].PacketsPerTransfer;
  ULONG played = 0;
  for (ULONG i = 0; i < packets; ++i) {
    const ULONG begin = urb->IsoPacket[i].Offset;
    ULONG end = i + 1 < packets ? urb->IsoPacket[i + 1].Offset : urb->TransferBufferLength;
    if (end > t->Taken) end = t->Taken;
    if (USBD_SUCCESS(urb->IsoPacket[i].Status) && end > begin) played += end - begin;
  }
  return played;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
EVT_WDF_REQUEST_COMPLETION_ROUTINE RenderComplete;
_Use_decl_annotations_
void RenderComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                    WDFCONTEXT Context) {
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Target);
  WDF_OBJECT_CONTEXT* t = static_cast<WDF_OBJECT_CONTEXT*>(Context);
  WDF_DEVICE_CONTEXT* ctx = GetDeviceContext(t->Device);
  const NTSTATUS status = Params->IoStatus.Status;
  // Failed while being sent: none of it went out (its audio stays in the
  // ring for the next transfer), and nothing was played.
  const bool refused = !NT_SUCCESS(status) && InterlockedCompareExchange(&t->Submitting, 0, 0) != 0;
  if (refused) InterlockedExchange(&t->Refused, 1);
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  if (!refused) {
    PCM_SHAPE from = ShapeOf(&ctx->Dir[QUENBY_DIR_RENDER].StreamFormat);
    PCM_SHAPE to = ShapeOf(&ctx->Dir[QUENBY_DIR_RENDER].PinFormat);
    if (ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning) != 0)
      ctx->RenderPlayPosition += ConvertBytes(t->ValidBytes, &from, &to, &ctx->RenderRemainder);
    // Played of the client's data: what the transfer took from the ring
    // (the rest of it was silence). In direct mode the pin's frames are
    // taken at once for mixing: they count as played as they are taken.
    if (ReadFlag(&ctx->DirectMode) != 0) {
      if (ctx->RenderPlayed < ctx->RenderWritePosition) ctx->RenderPlayed = ctx->RenderWritePosition;
    } else {
      ctx->RenderPlayed += ConvertBytes(PlayedOf(ctx, t), &from, &to, &ctx->RenderPlayedRemainder);
    }
  }
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_RENDER].PositionLock);
  if (ReadFlag(&ctx->Streams[QuenbyRender].Active) != 0 && status == STATUS_NO_SUCH_DEVICE) {
    WriteFlag(&ctx->Streams[QuenbyRender].Active, 0);
  }
  GiveBack(ctx, t);
  NoteOutcome(ctx, status);
  if (NT_SUCCESS(status)) QuenbyWakeThread(ctx);
}

// The stream's value of a feedback word, or 0 when it is not accepted. The
// word's format (16.16 or 10.14, whatever the speed) is decided once per
// stream, from the first word one reading of which lies near the nominal
// rate.
ULONG FeedbackValueOf(WDF_DEVICE_CONTEXT* ctx, ULONG word, ULONG length) {
  if (length < 3) return 0;
  ULONG format = ReadFlag(&ctx->FeedbackFormat);
  if (format == QUENBY_FEEDBACK_UNKNOWN) {
    const ULONG detected = FeedbackDetectFormat(word, ctx->HighSpeed, ReadFlag(&ctx->NominalFeedbackValue));
    if (detected == QUENBY_FEEDBACK_UNKNOWN) return 0;
    InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&ctx->FeedbackFormat), (LONG)detected,
                               QUENBY_FEEDBACK_UNKNOWN);
    format = ReadFlag(&ctx->FeedbackFormat);
  }
  return FeedbackFromPacket(FeedbackToNative(word, format, ctx->HighSpeed), ctx->HighSpeed,
                            ReadFlag(&ctx->NominalSamples));
}

_IRQL_requires_max_(DISPATCH_LEVEL)
EVT_WDF_REQUEST_COMPLETION_ROUTINE FeedbackComplete;
_Use_decl_annotations_
void FeedbackComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                      WDFCONTEXT Context) {
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Target);
  WDF_OBJECT_CONTEXT* t = static_cast<WDF_OBJECT_CONTEXT*>(Context);
  WDF_DEVICE_CONTEXT* ctx = GetDeviceContext(t->Device);
  const NTSTATUS status = Params->IoStatus.Status;
  if (ReadFlag(&ctx->Streams[QuenbyFeedback].Active) != 0) {
    if (status == STATUS_NO_SUCH_DEVICE) {
      WriteFlag(&ctx->Streams[QuenbyFeedback].Active, 0);
    } else if (NT_SUCCESS(status) && USBD_SUCCESS(t->Urb->UrbHeader.Status)) {
      const struct _URB_ISOCH_TRANSFER* urb = &t->Urb->UrbIsochronousTransfer;
      for (ULONG i = 0; i < urb->NumberOfPackets && i < ctx->Streams[QuenbyFeedback].PacketsPerTransfer;
           ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR* packet = &urb->IsoPacket[i];
        // Any packet of 3 bytes or more that lies inside the buffer carries
        // a value (in its first 4 bytes at most).
        ULONG value = 0;
        if (!USBD_ERROR(packet->Status) && packet->Offset <= t->BufferLength &&
            t->BufferLength - packet->Offset >= packet->Length) {
          value =
              FeedbackValueOf(ctx, FeedbackWord(t->Buffer + packet->Offset, packet->Length), packet->Length);
        }
        if (value == 0) {
          CountUp(&ctx->Counters.FeedbackRejected, 8);
          continue;
        }
        InterlockedExchange(&ctx->FeedbackValue, (LONG)value);
        WdfSpinLockAcquire(ctx->FeedbackLock);
        FeedbackAverageAdd(&ctx->FeedbackAverage, value);
        WdfSpinLockRelease(ctx->FeedbackLock);
        InterlockedIncrement(reinterpret_cast<LONG volatile*>(&ctx->FeedbackAccepted));
      }
    }
  }
  GiveBack(ctx, t);
  NoteOutcome(ctx, status);
  if (NT_SUCCESS(status)) QuenbyWakeThread(ctx);
}

// ---------------------------------------------------------------------------
// Submission: a transfer is taken from its stream's free list, prepared
// (render: PrepareRenderTransfer; capture and feedback: PrepareInTransfer),
// formatted and given its start frame (FormatAndSchedule), and sent
// (SendScheduled). Only the streaming thread submits, under the stream's
// submit lock.
// ---------------------------------------------------------------------------
// A free transfer of an active stream with room in flight, counted in
// flight; nullptr when the stream submits nothing now.
_IRQL_requires_max_(DISPATCH_LEVEL)
WDF_OBJECT_CONTEXT* TakeForSubmit(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  if (ReadFlag(&ctx->Streams[stream].Active) == 0 || ctx->Streams[stream].Pipe == nullptr) return nullptr;
  if ((ULONG)InterlockedCompareExchange(&ctx->Streams[stream].InFlight, 0, 0) >
      ctx->Streams[stream].InFlightLimit)
    return nullptr;
  WDF_OBJECT_CONTEXT* t = TakeFree(ctx, stream);
  if (t == nullptr) return nullptr;
  InterlockedIncrement(&ctx->Streams[stream].InFlight);
  KeClearEvent(&ctx->Streams[stream].IdleEvent);
  return t;
}

// The transfer's isochronous URB on the stream's pipe, `length` bytes in the
// stream's packets per transfer; the packets' offsets and lengths are the
// caller's to fill.
struct _URB_ISOCH_TRANSFER* InitIsochUrb(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_OBJECT_CONTEXT* t,
                                         ULONG flags, ULONG length) {
  const ULONG packets = ctx->Streams[stream].PacketsPerTransfer;
  struct _URB_ISOCH_TRANSFER* urb = &t->Urb->UrbIsochronousTransfer;
  RtlZeroMemory(urb, GET_ISO_URB_SIZE(packets));
  urb->Hdr.Length = (USHORT)GET_ISO_URB_SIZE(packets);
  urb->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->PipeHandle = ctx->Streams[stream].PipeHandle;
  urb->TransferFlags = flags;
  urb->TransferBufferLength = length;
  t->Mdl->Next = nullptr;
  urb->TransferBufferMDL = t->Mdl;
  urb->NumberOfPackets = packets;
  return urb;
}

// ---------------------------------------------------------------------------
// Render transfers
// ---------------------------------------------------------------------------
// What a render transfer carries from its preparation to its send: its
// packets' sizes, the fraction accumulator as it stands after them, and
// the KS render pin's audio mixed into it in direct mode (while Mixing, the
// render-clone mutex is held until the transfer is sent or given back).
struct RENDER_SEND {
  uint32_t Sizes[8];
  uint32_t Accumulator;
  RENDER_MIX_END Mix;
  bool Mixing;
};

// The render packets' sizes and their total, from the stream's pacing: the
// explicit feedback, the capture packets (implicit) or the nominal rate.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG PaceRenderPackets(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t, RENDER_SEND* r) {
  const ULONG packets = ctx->Streams[QuenbyRender].PacketsPerTransfer;
  const WAVEFORMATEX* format = &ctx->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format;
  const ULONG blockAlign = format->nBlockAlign;
  const ULONG period = ctx->Streams[QuenbyRender].Period;
  const ULONG maxPacket = ctx->Streams[QuenbyRender].MaxPacket;
  ULONG total = 0;
  t->ImplicitUsed = 0;
  WdfSpinLockAcquire(ctx->FeedbackLock);
  switch (ReadFlag(&ctx->RenderPacing)) {
    case QUENBY_PACING_FEEDBACK: {
      // The mean of the last accepted values: single values wander around
      // the unit's rate and completions come in batches, so that some values
      // would be used twice and others not at all.
      const ULONG feedback = FeedbackAverageValue(
          &ctx->FeedbackAverage, (ULONG)InterlockedCompareExchange(&ctx->FeedbackValue, 0, 0));
      total = RenderPacketSizes(feedback, r->Accumulator, ctx->HighSpeed, blockAlign, packets, period,
                                maxPacket, t->BufferLength, r->Sizes, &r->Accumulator);
      break;
    }
    case QUENBY_PACING_IMPLICIT:
      total = ImplicitPacketSizes(&ctx->ImplicitQueue, format->nSamplesPerSec, ctx->HighSpeed, blockAlign,
                                  packets, period, maxPacket, t->BufferLength, r->Sizes, &r->Accumulator,
                                  &t->Implicit);
      t->ImplicitUsed = 1;
      break;
    default:
      total = NominalPacketSizes(format->nSamplesPerSec, ctx->HighSpeed, blockAlign, packets, period,
                                 maxPacket, t->BufferLength, r->Sizes, &r->Accumulator);
      break;
  }
  WdfSpinLockRelease(ctx->FeedbackLock);
  return total;
}

// The transfer's `total` bytes of audio: the ring's (copied now, taken once
// the transfer is sent), silence while nobody streams or before the ring was
// first primed, and on an underrun what the ring has, padded with silence.
// False when the transfer is to be given back (more data may come before
// the device needs it).
_IRQL_requires_max_(DISPATCH_LEVEL)
bool FillRenderAudio(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t, ULONG total) {
  const ULONG blockAlign = ctx->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format.nBlockAlign;
  t->ValidBytes = total;
  t->Taken = 0;
  const bool inUse = ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].StreamInUse) != 0 ||
                     (ReadFlag(&ctx->DirectStreamFlags) & QUENBY_DIRECT_RENDER_RUNNING) != 0;
  if (!inUse) {
    RtlZeroMemory(t->Buffer, total);
  } else if (NT_SUCCESS(
                 QuenbyRingPeek(&ctx->Dir[QUENBY_DIR_RENDER].Ring, t->Buffer, total, &t->TakenResets))) {
    t->Taken = total;
    WriteFlag(&ctx->RenderPrimed, 1);
  } else if (ReadFlag(&ctx->RenderPrimed) == 0) {
    RtlZeroMemory(t->Buffer, total);
    CountUp(&ctx->Counters.RenderUnderruns, 8);
  } else {
    const LONGLONG now = Now10us(ctx);
    ctx->RenderAttempt = now;
    const LONG inFlight = InterlockedCompareExchange(&ctx->Streams[QuenbyRender].InFlight, 0, 0) - 1;
    if (inFlight > kUnderrunInFlight || now - ctx->LastRenderSubmit < kUnderrunSpacing * inFlight)
      return false;
    ULONG take = QuenbyRingFill(&ctx->Dir[QUENBY_DIR_RENDER].Ring);
    if (take > total) take = total;
    if (blockAlign != 0) take = take / blockAlign * blockAlign;
    if (take != 0 &&
        !NT_SUCCESS(QuenbyRingPeek(&ctx->Dir[QUENBY_DIR_RENDER].Ring, t->Buffer, take, &t->TakenResets)))
      take = 0;
    t->Taken = take;
    RtlZeroMemory(t->Buffer + take, total - take);
    const ULONG eighth = total / 8;
    CountUp(&ctx->Counters.RenderUnderruns, take != 0 ? (eighth != 0 ? take / eighth : 0) : 8);
    ++ctx->RenderUnderrunEvents;
  }
  return true;
}

// The KS render pin's audio mixed into direct-mode render, when the render
// clones are free now (the mixing holds their mutex until the send).
_IRQL_requires_max_(DISPATCH_LEVEL)
void MixRenderPin(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t, ULONG total, RENDER_SEND* r) {
  if (ReadFlag(&ctx->RenderPrimed) != 0 &&
      (ReadFlag(&ctx->DirectStreamFlags) & QUENBY_DIRECT_RENDER_RUNNING) &&
      ReadFlag(&ctx->Dir[QUENBY_DIR_RENDER].PinRunning) != 0 && QuenbyTryMutex(&ctx->RenderCloneMutex)) {
    QuenbyMixRenderClones(ctx, t->Buffer, total, &r->Mix);
    r->Mixing = true;
  }
}

// The pin's audio the transfer mixed in is taken only once it is sent.
_IRQL_requires_max_(DISPATCH_LEVEL)
void EndRenderMix(WDF_DEVICE_CONTEXT* ctx, RENDER_SEND* r, bool sent) {
  if (!r->Mixing) return;
  if (sent) QuenbyConsumeRenderClones(ctx, &r->Mix);
  KeReleaseMutex(&ctx->RenderCloneMutex, FALSE);
  r->Mixing = false;
}

// A render transfer built: its packets paced, its audio filled (and the
// pin's mixed in), its URB with one packet of its size per interval. False
// when the transfer is to be given back.
_IRQL_requires_max_(DISPATCH_LEVEL)
bool PrepareRenderTransfer(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t, RENDER_SEND* r) {
  const ULONG packets = ctx->Streams[QuenbyRender].PacketsPerTransfer;
  r->Accumulator = ReadFlag(&ctx->RenderAccumulator);
  if (packets > 8) return false;
  const ULONG total = PaceRenderPackets(ctx, t, r);
  if (!FillRenderAudio(ctx, t, total)) return false;
  MixRenderPin(ctx, t, total, r);
  struct _URB_ISOCH_TRANSFER* urb = InitIsochUrb(ctx, QuenbyRender, t, 0, t->ValidBytes);
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    urb->IsoPacket[i].Offset = offset;
    urb->IsoPacket[i].Length = r->Sizes[i];
    offset += r->Sizes[i];
  }
  return true;
}

// ---------------------------------------------------------------------------
// Capture and feedback transfers
// ---------------------------------------------------------------------------
// A capture or feedback transfer built: one packet per service interval of
// the endpoint, each its full size. False when the stream's packets do not
// fit the transfer's buffer.
_IRQL_requires_max_(DISPATCH_LEVEL)
bool PrepareInTransfer(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_OBJECT_CONTEXT* t) {
  const ULONG packets = ctx->Streams[stream].PacketsPerTransfer;
  const ULONG maxPacket = ctx->Streams[stream].MaxPacket;
  const ULONG length = packets * maxPacket;
  if (packets == 0 || length == 0 || length > t->BufferLength) return false;
  struct _URB_ISOCH_TRANSFER* urb =
      InitIsochUrb(ctx, stream, t, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, length);
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    urb->IsoPacket[i].Offset = offset;
    offset += maxPacket;
  }
  return true;
}

// ---------------------------------------------------------------------------
// The send, common to all streams
// ---------------------------------------------------------------------------
// Where the stream's schedule stood before a transfer was given its start
// frame: put back when the transfer is not sent.
struct FRAME_SCHEDULE {
  ULONG Previous;
  ULONG PreviousSet;
};

PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionOf(QUENBY_STREAM stream) {
  return stream == QuenbyCapture  ? CaptureComplete
         : stream == QuenbyRender ? RenderComplete
                                  : FeedbackComplete;
}

ULONG* LateStartsOf(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  return stream == QuenbyCapture  ? &ctx->Counters.CaptureLateStarts
         : stream == QuenbyRender ? &ctx->Counters.RenderLateStarts
                                  : &ctx->Counters.FeedbackLateStarts;
}

// The transfer's request reused and formatted for its URB, with its
// stream's completion routine, and the URB given the stream's next start
// frame: each transfer covers one frame, back to back. On failure nothing is
// scheduled; the transfer is the caller's to give back.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS FormatAndSchedule(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_OBJECT_CONTEXT* t,
                           FRAME_SCHEDULE* undo) {
  WDF_REQUEST_REUSE_PARAMS reuse;
  WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  WdfRequestReuse(t->Request, &reuse);
  NTSTATUS status =
      WdfUsbTargetPipeFormatRequestForUrb(ctx->Streams[stream].Pipe, t->Request, t->UrbMemory, nullptr);
  if (!NT_SUCCESS(status)) return status;
  WdfRequestSetCompletionRoutine(t->Request, CompletionOf(stream), t);

  ULONG frame = 0;
  status = WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->UsbDevice, &frame);
  if (!NT_SUCCESS(status)) return status;
  undo->Previous = ReadFlag(&ctx->Streams[stream].NextStartFrame);
  undo->PreviousSet = ReadFlag(&ctx->Streams[stream].StartFrameSet);
  int late = 0;
  const ULONG next =
      ScheduleStartFrame(undo->Previous, undo->PreviousSet != 0, frame,
                         InterlockedCompareExchange(&ctx->Streams[stream].InFlight, 0, 0), &late);
  if (late) CountUp(LateStartsOf(ctx, stream), 8);
  t->Urb->UrbIsochronousTransfer.StartFrame = next;
  WriteFlag(&ctx->Streams[stream].NextStartFrame, next + 1);
  WriteFlag(&ctx->Streams[stream].StartFrameSet, 1);
  return STATUS_SUCCESS;
}

// SendSent: the transfer went out. SendFailed: it was not sent and is the
// caller's to give back. SendRefused: the USB stack refused it during the
// send, and its completion gave it back.
enum SEND_RESULT { SendSent, SendFailed, SendRefused };

// Sends the scheduled transfer; one not sent puts its stream's schedule back.
_IRQL_requires_max_(DISPATCH_LEVEL)
SEND_RESULT SendScheduled(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_OBJECT_CONTEXT* t,
                          const FRAME_SCHEDULE* undo) {
  // Only this thread takes transfers from the free list: a transfer its
  // completion gave back during the send stays ours to read here.
  InterlockedExchange(&t->Refused, 0);
  InterlockedExchange(&t->Submitting, 1);
  const BOOLEAN sent =
      WdfRequestSend(t->Request, WdfUsbTargetPipeGetIoTarget(ctx->Streams[stream].Pipe), WDF_NO_SEND_OPTIONS);
  InterlockedExchange(&t->Submitting, 0);
  if (sent && InterlockedCompareExchange(&t->Refused, 0, 0) == 0) return SendSent;
  WriteFlag(&ctx->Streams[stream].NextStartFrame, undo->Previous);
  WriteFlag(&ctx->Streams[stream].StartFrameSet, undo->PreviousSet);
  return sent ? SendRefused : SendFailed;
}

// What a submission that was not sent returns; a transfer the send failed
// goes back to the free list here.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NotSent(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t, SEND_RESULT result) {
  if (result == SendRefused) return STATUS_UNSUCCESSFUL;
  WDFREQUEST request = t->Request;
  GiveBack(ctx, t);
  return WdfRequestGetStatus(request);
}

// ---------------------------------------------------------------------------
// Submitting one transfer of a stream
// ---------------------------------------------------------------------------
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitRender(WDF_DEVICE_CONTEXT* ctx, WDF_OBJECT_CONTEXT* t) {
  RENDER_SEND r = {};
  if (!PrepareRenderTransfer(ctx, t, &r)) {
    GiveBack(ctx, t);
    return STATUS_UNSUCCESSFUL;
  }
  FRAME_SCHEDULE undo;
  const NTSTATUS status = FormatAndSchedule(ctx, QuenbyRender, t, &undo);
  if (!NT_SUCCESS(status)) {
    EndRenderMix(ctx, &r, false);
    GiveBack(ctx, t);
    return status;
  }
  // The fraction accumulator moves on only with a transfer that is sent.
  // A render start resets it from another thread while capture streams on.
  const ULONG previousAccumulator = ReadFlag(&ctx->RenderAccumulator);
  WriteFlag(&ctx->RenderAccumulator, r.Accumulator);
  ctx->LastRenderSubmit = Now10us(ctx);
  const SEND_RESULT result = SendScheduled(ctx, QuenbyRender, t, &undo);
  if (result != SendSent) {
    // Not sent: the schedule and the fraction stay, the audio stays in the
    // ring (and the pin's mixed audio in its clones) for the next transfer.
    EndRenderMix(ctx, &r, false);
    WriteFlag(&ctx->RenderAccumulator, previousAccumulator);
    return NotSent(ctx, t, result);
  }
  EndRenderMix(ctx, &r, true);
  QuenbyRingConsume(&ctx->Dir[QUENBY_DIR_RENDER].Ring, t->Taken, t->TakenResets,
                    ReadFlag(&ctx->DirectMode) != 0);
  if (t->ImplicitUsed != 0) {
    WdfSpinLockAcquire(ctx->FeedbackLock);
    ImplicitQueueCommit(&ctx->ImplicitQueue, &t->Implicit);
    WdfSpinLockRelease(ctx->FeedbackLock);
  }
  return STATUS_SUCCESS;
}

// Capture and feedback.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitIn(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_OBJECT_CONTEXT* t) {
  if (!PrepareInTransfer(ctx, stream, t)) {
    GiveBack(ctx, t);
    return STATUS_UNSUCCESSFUL;
  }
  FRAME_SCHEDULE undo;
  const NTSTATUS status = FormatAndSchedule(ctx, stream, t, &undo);
  if (!NT_SUCCESS(status)) {
    GiveBack(ctx, t);
    return status;
  }
  const SEND_RESULT result = SendScheduled(ctx, stream, t, &undo);
  return result == SendSent ? STATUS_SUCCESS : NotSent(ctx, t, result);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SubmitLocked(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  WDF_OBJECT_CONTEXT* t = TakeForSubmit(ctx, stream);
  if (t == nullptr) return STATUS_UNSUCCESSFUL;
  return stream == QuenbyRender ? SubmitRender(ctx, t) : SubmitIn(ctx, stream, t);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS Submit(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  LONGLONG noWait = 0;
  if (WdfWaitLockAcquire(ctx->Streams[stream].SubmitLock, &noWait) != STATUS_SUCCESS)
    return STATUS_UNSUCCESSFUL;
  NTSTATUS status = SubmitLocked(ctx, stream);
  WdfWaitLockRelease(ctx->Streams[stream].SubmitLock);
  return status;
}

// One completed capture transfer into the capture ring (and, in direct mode,
// the KS capture pin's clones).
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ProcessCapture(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->CaptureCompletedLock);
  WDF_OBJECT_CONTEXT* t = ListPop(&ctx->CaptureCompleted);
  if (t != nullptr) InterlockedDecrement(&ctx->CompletedWaiting);
  WdfSpinLockRelease(ctx->CaptureCompletedLock);
  if (t == nullptr) return STATUS_UNSUCCESSFUL;

  const WAVEFORMATEX running = QuenbyStreamFormat(ctx, QUENBY_DIR_CAPTURE);
  const WAVEFORMATEX* stream = &running;
  const ULONG blockAlign = stream->nBlockAlign;
  const ULONG directFlags = ReadFlag(&ctx->DirectStreamFlags);
  const bool direct = ReadFlag(&ctx->DirectMode) != 0;
  const bool inUse = ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamInUse) != 0 ||
                     (directFlags & QUENBY_DIRECT_CAPTURE_RUNNING) != 0;
  const struct _URB_ISOCH_TRANSFER* urb = &t->Urb->UrbIsochronousTransfer;
  const ULONG packets = urb->NumberOfPackets < ctx->Streams[QuenbyCapture].PacketsPerTransfer
                            ? urb->NumberOfPackets
                            : ctx->Streams[QuenbyCapture].PacketsPerTransfer;
  const bool implicit = ReadFlag(&ctx->RenderPacing) == QUENBY_PACING_IMPLICIT;
  for (ULONG i = 0; i < packets; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR* packet = &urb->IsoPacket[i];
    if (USBD_ERROR(packet->Status)) continue;
    // The frames the unit sent in this interval pace a render packet, as
    // they would for the capture pin or nobody at all.
    if (implicit && blockAlign != 0) {
      WdfSpinLockAcquire(ctx->FeedbackLock);
      ImplicitQueuePush(&ctx->ImplicitQueue, packet->Length / blockAlign);
      WdfSpinLockRelease(ctx->FeedbackLock);
    }
    if (!inUse) continue;
    const ULONG length = packet->Length;
    if (length == 0 || blockAlign == 0 || length % blockAlign != 0) continue;
    // Never past the transfer buffer, whatever the packet descriptor says.
    if (packet->Offset > t->BufferLength || t->BufferLength - packet->Offset < length) continue;
    const UCHAR* data = t->Buffer + packet->Offset;
    NTSTATUS status;
    if (direct) {
      status = QuenbyRingWriteWait(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, data, length);
      if (ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) != 0) QuenbyFeedCaptureClones(ctx, data, length);
    } else {
      status = QuenbyRingWrite(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, data, length);
    }
    if (!NT_SUCCESS(status)) continue;  // the packet is dropped
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    const AUDIO_FORMAT* pin = &ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat;
    const bool same = pin->WaveFormatExt.Format.nChannels == stream->nChannels &&
                      pin->WaveFormatExt.Format.wBitsPerSample == stream->wBitsPerSample &&
                      pin->WaveFormatExt.Format.nSamplesPerSec == stream->nSamplesPerSec;
    if ((directFlags & QUENBY_DIRECT_CAPTURE_RUNNING) == 0 || same) {
      ctx->CaptureDevicePosition += length;
    } else {
      PCM_SHAPE from = ShapeOf(&ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat);
      PCM_SHAPE to = ShapeOf(pin);
      const ULONGLONG converted = ConvertBytes(length, &from, &to, &ctx->CaptureRemainder);
      ctx->CaptureDevicePosition += converted;
      // The pin is owed what streams while it runs (its start clears the
      // credit), up to 50 ms of its format: a pin that had no buffers for
      // longer loses the rest, as real-time capture does.
      if (ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) != 0) {
        ctx->CaptureCredit =
            CaptureCreditAdd(ctx->CaptureCredit, converted, pin->WaveFormatExt.Format.nAvgBytesPerSec / 20);
      }
    }
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  }
  // A waiting capture pin is asked to process once per transfer, when what
  // it waits for is the direct-mode credit; waiting for ring data, the ring
  // asks it once the data is there (asking at every packet would only wake
  // it to find too little).
  if ((directFlags & QUENBY_DIRECT_CAPTURE_RUNNING) != 0 && ReadFlag(&ctx->CaptureWaiting) != 0 &&
      ReadFlag(&ctx->Dir[QUENBY_DIR_CAPTURE].PinRunning) != 0) {
    // Asked under the lock its close clears the pin under: the pin is
    // still open (the call only queues its processing).
    WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    PKSPIN capturePin = ctx->Dir[QUENBY_DIR_CAPTURE].Pin;
    if (capturePin != nullptr) {
      WriteFlag(&ctx->CaptureWaiting, 0);
      KsPinAttemptProcessing(capturePin, FALSE);
    }
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  }
  GiveBack(ctx, t);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE StreamingThread;
_Use_decl_annotations_
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
    NTSTATUS status;
    if (InterlockedCompareExchange(&ctx->SubmitFailures, 0, 0) != 0) {
      // Submissions fail at once: whatever wakes the thread, the next try
      // waits for the next frame, so failing transfers cannot spin it.
      timeout.QuadPart = -10000;  // 1 ms
      status = KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    } else {
      timeout.QuadPart = -150000;  // 15 ms
      status = KeWaitForSingleObject(&ctx->WakeEvent, Executive, KernelMode, FALSE, &timeout);
    }
    if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) {
      WriteFlag(&ctx->ThreadRunning, 0);
      break;
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// ---------------------------------------------------------------------------
// Transfers
// ---------------------------------------------------------------------------
_Use_decl_annotations_
NTSTATUS QuenbyAllocateTransfers(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  const AltSettingSlot* slots =
      stream == QuenbyCapture ? ctx->Topology.CaptureSlots : ctx->Topology.RenderSlots;
  // Transfers cover one 1 ms frame: eight microframes at high speed. A
  // feedback endpoint polled every microframe has eight packets a frame.
  ULONG packets = ctx->HighSpeed ? 8 : 1;
  ULONG size;
  if (stream == QuenbyFeedback) {
    size = (SlotsMaxFeedbackPacket(slots) * packets + 3) & ~3u;
  } else {
    size = SlotsMaxDataPacket(slots) * packets;
  }
  // A render interface whose settings have no endpoint to stream ends here.
  if (size == 0) return STATUS_UNSUCCESSFUL;
  ctx->Streams[stream].PacketsPerTransfer = packets;
  ctx->Streams[stream].TransferSize = size;
  ctx->Streams[stream].InFlightLimit = QUENBY_TRANSFERS;
  ctx->Streams[stream].ConfiguredInFlight = QUENBY_TRANSFERS;
  RtlZeroMemory(&ctx->Streams[stream].FreeList, sizeof(ctx->Streams[stream].FreeList));

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  for (ULONG i = 0; i < QUENBY_TRANSFERS; ++i) {
    PVOID buffer = nullptr;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, size,
                                      &ctx->Streams[stream].DataMemory[i], &buffer);
    if (!NT_SUCCESS(status)) return status;
    PMDL mdl = IoAllocateMdl(buffer, size, FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(mdl);
    ctx->Streams[stream].Mdls[i] = mdl;

    PURB urb = nullptr;
    if (ctx->Windows8Usb) {
      status = WdfUsbTargetDeviceCreateIsochUrb(ctx->UsbDevice, &attributes, packets,
                                                &ctx->Streams[stream].UrbMemory[i], &urb);
    } else {
      PVOID urbBuffer = nullptr;
      status = WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, QUENBY_BUFFER_SIZE,
                               &ctx->Streams[stream].UrbMemory[i], &urbBuffer);
      urb = static_cast<PURB>(urbBuffer);
    }
    if (!NT_SUCCESS(status)) return status;

    WDF_OBJECT_ATTRIBUTES transferAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&transferAttributes, WDF_OBJECT_CONTEXT);
    transferAttributes.ParentObject = ctx->WdfDevice;
    WDFOBJECT transfer;
    status = WdfObjectCreate(&transferAttributes, &transfer);
    if (!NT_SUCCESS(status)) return status;
    ctx->Streams[stream].Transfers[i] = transfer;

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, WDF_REQUEST_CONTEXT);
    requestAttributes.ParentObject = ctx->WdfDevice;
    WDFREQUEST request;
    status = WdfRequestCreate(&requestAttributes, WDF_NO_HANDLE, &request);
    if (!NT_SUCCESS(status)) return status;
    ctx->Streams[stream].Requests[i] = request;
    WDF_REQUEST_CONTEXT* requestContext = GetRequestContext(request);
    requestContext->Device = ctx->WdfDevice;
    requestContext->Transfer = transfer;

    WDF_OBJECT_CONTEXT* t = GetTransferContext(transfer);
    t->Stream = stream;
    t->Index = i;
    t->Device = ctx->WdfDevice;
    t->UrbMemory = ctx->Streams[stream].UrbMemory[i];
    t->Request = request;
    t->Mdl = mdl;
    t->Urb = urb;
    t->Buffer = static_cast<PUCHAR>(buffer);
    t->BufferLength = size;
    t->ValidBytes = 0;
    ListPush(&ctx->Streams[stream].FreeList, t);
  }
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
void QuenbyReleaseBringUp(WDF_DEVICE_CONTEXT* ctx) {
  ctx->BroughtUp = 0;
  for (int s = 0; s < QUENBY_STREAMS; ++s) QuenbyStopStream(ctx, (QUENBY_STREAM)s);
  QuenbyFreeMdls(ctx);
  for (int s = 0; s < QUENBY_STREAMS; ++s) {
    for (int i = 0; i < QUENBY_TRANSFERS; ++i) {
      WDFOBJECT* objects[] = {reinterpret_cast<WDFOBJECT*>(&ctx->Streams[s].Requests[i]),
                              &ctx->Streams[s].Transfers[i],
                              reinterpret_cast<WDFOBJECT*>(&ctx->Streams[s].DataMemory[i]),
                              reinterpret_cast<WDFOBJECT*>(&ctx->Streams[s].UrbMemory[i])};
      for (WDFOBJECT* o : objects) {
        if (*o != nullptr) WdfObjectDelete(*o);
        *o = nullptr;
      }
    }
    RtlZeroMemory(&ctx->Streams[s].FreeList, sizeof(ctx->Streams[s].FreeList));
  }
  AudioRing* rings[] = {&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, &ctx->Dir[QUENBY_DIR_RENDER].Ring};
  for (AudioRing* ring : rings) {
    if (ring->Lock != nullptr) WdfObjectDelete(ring->Lock);
    if (ring->Memory != nullptr) WdfObjectDelete(ring->Memory);
    RtlZeroMemory(ring, sizeof(*ring));
  }
  // The USB target, the descriptor copy and the rate lists stay (they tell
  // why the device was refused); a start that is tried again reuses them.
}

_Use_decl_annotations_
void QuenbyFreeMdls(WDF_DEVICE_CONTEXT* ctx) {
  for (int s = 0; s < QUENBY_STREAMS; ++s) {
    for (int i = 0; i < QUENBY_TRANSFERS; ++i) {
      if (ctx->Streams[s].Mdls[i] != nullptr) {
        IoFreeMdl(ctx->Streams[s].Mdls[i]);
        ctx->Streams[s].Mdls[i] = nullptr;
        if (ctx->Streams[s].Transfers[i] != nullptr)
          GetTransferContext(ctx->Streams[s].Transfers[i])->Mdl = nullptr;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The streaming thread
// ---------------------------------------------------------------------------
_Use_decl_annotations_
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

_Use_decl_annotations_
void QuenbyStopThread(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->ThreadLock);
  WriteFlag(&ctx->ThreadRunning, 0);
  KeSetEvent(&ctx->WakeEvent, IO_NO_INCREMENT, FALSE);
  WdfSpinLockRelease(ctx->ThreadLock);
  if (ctx->ThreadHandle != nullptr) {
    // The thread was told to stop and woken; it ends after its current pass.
    // The device context it uses must outlive it, so the wait goes on until
    // it has ended (a loaded machine can take longer than one 250 ms slice).
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2500000;  // 250 ms
    while (ZwWaitForSingleObject(ctx->ThreadHandle, FALSE, &timeout) == STATUS_TIMEOUT) {
    }
    ZwClose(ctx->ThreadHandle);
    ctx->ThreadHandle = nullptr;
  }
}

_Use_decl_annotations_
void QuenbyWakeThread(WDF_DEVICE_CONTEXT* ctx) {
  WdfSpinLockAcquire(ctx->ThreadLock);
  if (ReadFlag(&ctx->ThreadRunning) != 0) KeSetEvent(&ctx->WakeEvent, IO_SOUND_INCREMENT, FALSE);
  WdfSpinLockRelease(ctx->ThreadLock);
}

_Use_decl_annotations_
NTSTATUS QuenbyServiceCapture(WDF_DEVICE_CONTEXT* ctx) {
  LONGLONG noWait = 0;
  if (WdfWaitLockAcquire(ctx->Streams[QuenbyCapture].SubmitLock, &noWait) != STATUS_SUCCESS)
    return STATUS_UNSUCCESSFUL;
  NTSTATUS processed =
      ReadFlag(&ctx->Streams[QuenbyCapture].Active) != 0 ? ProcessCapture(ctx) : STATUS_UNSUCCESSFUL;
  NTSTATUS submitted = SubmitLocked(ctx, QuenbyCapture);
  WdfWaitLockRelease(ctx->Streams[QuenbyCapture].SubmitLock);
  return NT_SUCCESS(processed) ? processed : submitted;
}

_Use_decl_annotations_
NTSTATUS QuenbyServiceRender(WDF_DEVICE_CONTEXT* ctx) {
  return Submit(ctx, QuenbyRender);
}

_Use_decl_annotations_
NTSTATUS QuenbyServiceFeedback(WDF_DEVICE_CONTEXT* ctx) {
  return Submit(ctx, QuenbyFeedback);
}

// ---------------------------------------------------------------------------
// Stream start and stop
// ---------------------------------------------------------------------------
namespace {

_IRQL_requires_max_(PASSIVE_LEVEL)
void StopStreamWith(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDF_IO_TARGET_SENT_IO_ACTION action) {
  LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(50);
  const bool locked = WdfWaitLockAcquire(ctx->Streams[stream].SubmitLock, &timeout) == STATUS_SUCCESS;
  WriteFlag(&ctx->Streams[stream].Active, 0);
  if (locked) WdfWaitLockRelease(ctx->Streams[stream].SubmitLock);
  if (ctx->Streams[stream].Pipe != nullptr) {
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(ctx->Streams[stream].Pipe), action);
    // The target is stopped now: the abort goes past its closed out-gate, or
    // it would wait in the target's queue until its timeout.
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(
        &options, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(50));
    WdfUsbTargetPipeAbortSynchronously(ctx->Streams[stream].Pipe, WDF_NO_HANDLE, &options);
    ctx->Streams[stream].Pipe = nullptr;
  }
  if (stream == QuenbyCapture) {
    for (;;) {
      WdfSpinLockAcquire(ctx->CaptureCompletedLock);
      WDF_OBJECT_CONTEXT* t = ListPop(&ctx->CaptureCompleted);
      if (t != nullptr) InterlockedDecrement(&ctx->CompletedWaiting);
      WdfSpinLockRelease(ctx->CaptureCompletedLock);
      if (t == nullptr) break;
      GiveBack(ctx, t);
    }
  }
  LARGE_INTEGER idle;
  idle.QuadPart = -20000000;  // 2 s
  KeWaitForSingleObject(&ctx->Streams[stream].IdleEvent, Executive, KernelMode, FALSE, &idle);
}

}  // namespace

_Use_decl_annotations_
void QuenbyStopStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  StopStreamWith(ctx, stream, WdfIoTargetCancelSentIo);
}

_Use_decl_annotations_
void QuenbyDrainStream(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream) {
  StopStreamWith(ctx, stream, WdfIoTargetWaitForSentIoToComplete);
}

_Use_decl_annotations_
void QuenbyStopCapture(WDF_DEVICE_CONTEXT* ctx, BOOLEAN selectIdle) {
  if (!TopologyHasCapture(&ctx->Topology)) return;
  QuenbyStopStream(ctx, QuenbyCapture);
  if (selectIdle) QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_CAPTURE].Interface, 0);
}

_Use_decl_annotations_
void QuenbyStopRender(WDF_DEVICE_CONTEXT* ctx, BOOLEAN selectIdle) {
  if (!TopologyHasRender(&ctx->Topology)) return;
  QuenbyStopStream(ctx, QuenbyRender);
  QuenbyStopStream(ctx, QuenbyFeedback);
  if (selectIdle) QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_RENDER].Interface, 0);
}

namespace {

// Gets the pipe of an endpoint of the selected slot and starts its target.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS OpenPipe(WDF_DEVICE_CONTEXT* ctx, QUENBY_STREAM stream, WDFUSBINTERFACE usbInterface, UCHAR index,
                  const uint8_t* endpoint) {
  if (endpoint == nullptr) return STATUS_UNSUCCESSFUL;
  WDF_USB_PIPE_INFORMATION_INIT(&ctx->Streams[stream].PipeInfo);
  WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, index, &ctx->Streams[stream].PipeInfo);
  if (pipe == nullptr) return STATUS_UNSUCCESSFUL;
  // The pipe at that index must be the endpoint the slot names: isochronous,
  // with its address (and so its direction).
  if (ctx->Streams[stream].PipeInfo.PipeType != WdfUsbPipeTypeIsochronous ||
      ctx->Streams[stream].PipeInfo.EndpointAddress != DescriptorEndpointAddress(endpoint))
    return STATUS_UNSUCCESSFUL;
  ctx->Streams[stream].PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipe);
  // A transfer covers one frame: a packet per service interval of the
  // endpoint (the USB stack takes whole frames of packets), each carrying
  // that interval's audio.
  const ULONG period = EndpointPeriod(endpoint, ctx->HighSpeed);
  const ULONG packets = TransferPackets(period, ctx->HighSpeed);
  ctx->Streams[stream].MaxPacket = EndpointBytesPerInterval(endpoint);
  if (packets == 0 || packets * ctx->Streams[stream].MaxPacket > ctx->Streams[stream].TransferSize)
    return STATUS_UNSUCCESSFUL;
  ctx->Streams[stream].Period = period;
  ctx->Streams[stream].PacketsPerTransfer = packets;
  NTSTATUS status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pipe));
  if (!NT_SUCCESS(status)) return status;
  ctx->Streams[stream].Pipe = pipe;
  // The configured count is set by a private request at any time.
  ctx->Streams[stream].InFlightLimit = ReadFlag(&ctx->Streams[stream].ConfiguredInFlight);
  InterlockedExchange(&ctx->Streams[stream].InFlight, 0);
  KeSetEvent(&ctx->Streams[stream].IdleEvent, IO_NO_INCREMENT, FALSE);
  WriteFlag(&ctx->Streams[stream].StartFrameSet, 0);
  WriteFlag(&ctx->Streams[stream].NextStartFrame, 0);
  WriteFlag(&ctx->Streams[stream].Active, 1);
  return STATUS_SUCCESS;
}

}  // namespace

namespace {

// A ring kept across a restart: its data is in the running format, which
// the restart must not change.
bool KeepsRing(WDF_DEVICE_CONTEXT* ctx, ULONG direction, bool resume) {
  return resume && QuenbySamePcm(&ctx->Dir[direction].StreamFormat, &ctx->Dir[direction].DeviceFormat) != 0;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartCapture(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin, bool resume) {
  if (!TopologyHasCapture(&ctx->Topology)) return STATUS_UNSUCCESSFUL;
  // One clock for both directions: render streaming holds it at its rate,
  // and capture at another would change what render carries.
  const STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskCaptureStream);
  const STREAM_PLAN plan = PlanStreams(&request);
  if (plan.Refusal != StreamAllowed) return QuenbyRefusalStatus(plan.Refusal);
  QuenbyStopStream(ctx, QuenbyCapture);
  NTSTATUS status = QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_CAPTURE].Interface, 0);
  if (!NT_SUCCESS(status)) return status;
  status = QuenbyClockToRate(ctx, QUENBY_DIR_CAPTURE,
                             ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  // A clock without a signal (an external one with nothing plugged in)
  // would stream wrongly while the start reported success.
  status = QuenbyClockCheckValid(ctx, QUENBY_DIR_CAPTURE);
  if (!NT_SUCCESS(status)) return status;
  status = QuenbySelectSlotForFormat(ctx, QUENBY_DIR_CAPTURE);
  if (!NT_SUCCESS(status)) return status;
  if (KeepsRing(ctx, QUENBY_DIR_CAPTURE, resume)) {
  } else if (pin != nullptr) {
    QuenbyRingResetWithOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring, pin);
  } else {
    QuenbyRingReset(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring);
  }
  const AltSettingSlot* slot = SelectedSlot(ctx, QUENBY_DIR_CAPTURE);
  QuenbySetStreamFormat(ctx, QUENBY_DIR_CAPTURE, &ctx->Dir[QUENBY_DIR_CAPTURE].DeviceFormat);
  return OpenPipe(ctx, QuenbyCapture, ctx->Dir[QUENBY_DIR_CAPTURE].Interface, slot->DataEndpointIndex,
                  slot->DataEndpoint);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartRender(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin, bool resume) {
  if (!TopologyHasRender(&ctx->Topology)) return STATUS_UNSUCCESSFUL;
  const STREAM_REQUEST request = QuenbyStreamRequest(ctx, StreamAskRenderStream);
  const STREAM_PLAN plan = PlanStreams(&request);
  if (plan.Refusal != StreamAllowed) return QuenbyRefusalStatus(plan.Refusal);
  QuenbyStopStream(ctx, QuenbyRender);
  QuenbyStopStream(ctx, QuenbyFeedback);
  NTSTATUS status = QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_RENDER].Interface, 0);
  if (!NT_SUCCESS(status)) return status;
  status = QuenbyClockToRate(ctx, QUENBY_DIR_RENDER,
                             ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec);
  if (!NT_SUCCESS(status)) return status;
  status = QuenbyClockCheckValid(ctx, QUENBY_DIR_RENDER);
  if (!NT_SUCCESS(status)) return status;
  status = QuenbySelectSlotForFormat(ctx, QUENBY_DIR_RENDER);
  if (!NT_SUCCESS(status)) return status;
  QuenbyComputeNominalFeedback(ctx);
  const AltSettingSlot* slot = SelectedSlot(ctx, QUENBY_DIR_RENDER);
  // Paced by the capture packets: capture must run (a pin's start, the
  // direct-mode start and the power-up start it first), at this rate on
  // the one clock both share.
  const ULONG pacing = slot->RenderPacing;
  if (pacing == QUENBY_PACING_IMPLICIT && ReadFlag(&ctx->Streams[QuenbyCapture].Active) == 0)
    return STATUS_UNSUCCESSFUL;
  WdfSpinLockAcquire(ctx->FeedbackLock);
  ImplicitQueueReset(&ctx->ImplicitQueue);
  WdfSpinLockRelease(ctx->FeedbackLock);
  WriteFlag(&ctx->RenderPacing, pacing);
  if (KeepsRing(ctx, QUENBY_DIR_RENDER, resume)) {
  } else if (pin != nullptr) {
    QuenbyRingResetWithOwner(&ctx->Dir[QUENBY_DIR_RENDER].Ring, pin);
  } else {
    QuenbyRingReset(&ctx->Dir[QUENBY_DIR_RENDER].Ring);
  }
  QuenbySetStreamFormat(ctx, QUENBY_DIR_RENDER, &ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat);
  // The ring holds 50 ms of the running format, whatever the largest one.
  const WAVEFORMATEX* f = &ctx->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format;
  if (f->nBlockAlign != 0)
    QuenbyRingSetLimit(&ctx->Dir[QUENBY_DIR_RENDER].Ring, f->nSamplesPerSec / 20 * f->nBlockAlign);
  WriteFlag(&ctx->RenderPrimed, 0);
  status = OpenPipe(ctx, QuenbyRender, ctx->Dir[QUENBY_DIR_RENDER].Interface, slot->DataEndpointIndex,
                    slot->DataEndpoint);
  if (!NT_SUCCESS(status) || pacing != QUENBY_PACING_FEEDBACK) return status;
  status = OpenPipe(ctx, QuenbyFeedback, ctx->Dir[QUENBY_DIR_RENDER].Interface, slot->FeedbackEndpointIndex,
                    slot->FeedbackEndpoint);
  if (!NT_SUCCESS(status)) QuenbyStopStream(ctx, QuenbyRender);
  return status;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyStartCapture(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin) {
  return StartCapture(ctx, pin, false);
}

_Use_decl_annotations_
NTSTATUS QuenbyStartRender(WDF_DEVICE_CONTEXT* ctx, PKSPIN pin) {
  return StartRender(ctx, pin, false);
}

_Use_decl_annotations_
NTSTATUS QuenbyResumeCapture(WDF_DEVICE_CONTEXT* ctx) {
  return StartCapture(ctx, QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_CAPTURE].Ring), true);
}

_Use_decl_annotations_
NTSTATUS QuenbyResumeRender(WDF_DEVICE_CONTEXT* ctx) {
  return StartRender(ctx, QuenbyRingOwner(&ctx->Dir[QUENBY_DIR_RENDER].Ring), true);
}

_Use_decl_annotations_
void QuenbyComputeNominalFeedback(WDF_DEVICE_CONTEXT* ctx) {
  uint32_t nominal = 0;
  const ULONG value = NominalFeedback(
      ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec, ctx->HighSpeed, &nominal);
  WriteFlag(&ctx->NominalSamples, nominal);
  WriteFlag(&ctx->NominalFeedbackValue, value);
  InterlockedExchange(&ctx->FeedbackValue, (LONG)value);
  WriteFlag(&ctx->RenderAccumulator, 0);
  // A new stream: its format is found again, its values averaged afresh.
  WriteFlag(&ctx->FeedbackFormat, QUENBY_FEEDBACK_UNKNOWN);
  WriteFlag(&ctx->FeedbackAccepted, 0);
  WdfSpinLockAcquire(ctx->FeedbackLock);
  FeedbackAverageReset(&ctx->FeedbackAverage);
  WdfSpinLockRelease(ctx->FeedbackLock);
}

WDFSPINLOCK QuenbyPositionLock(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  return direction == QUENBY_DIR_CAPTURE ? ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock
                                         : ctx->Dir[QUENBY_DIR_RENDER].PositionLock;
}

_Use_decl_annotations_
void QuenbySetStreamFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction, const AUDIO_FORMAT* format) {
  WDFSPINLOCK lock = QuenbyPositionLock(ctx, direction);
  WdfSpinLockAcquire(lock);
  ctx->Dir[direction].StreamFormat = *format;
  WdfSpinLockRelease(lock);
}

_Use_decl_annotations_
WAVEFORMATEX QuenbyStreamFormat(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  WDFSPINLOCK lock = QuenbyPositionLock(ctx, direction);
  WdfSpinLockAcquire(lock);
  const WAVEFORMATEX format = ctx->Dir[direction].StreamFormat.WaveFormatExt.Format;
  WdfSpinLockRelease(lock);
  return format;
}

_Use_decl_annotations_
ULONG QuenbyRenderDelay(WDF_DEVICE_CONTEXT* ctx) {
  if (ctx->UsbDevice == nullptr || ctx->Dir[QUENBY_DIR_RENDER].Ring.Lock == nullptr) return 0;
  // The running format is rewritten by a stream start, which a private
  // request on another handle may make at any time; it is read whole under
  // the render position lock (waiting for the stream-control lock would
  // wait for that start's requests to the unit).
  const WAVEFORMATEX f = QuenbyStreamFormat(ctx, QUENBY_DIR_RENDER);
  const ULONG blockAlign = f.nBlockAlign;
  const ULONG rate = f.nSamplesPerSec;
  if (blockAlign == 0) return 0;
  const ULONG ring = QuenbyRingFill(&ctx->Dir[QUENBY_DIR_RENDER].Ring) / blockAlign;
  ULONG frame = 0;
  if (!NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->UsbDevice, &frame))) return ring;
  // Before render's first transfer there is no schedule to count from (and
  // any frame number, 0 included, is one the bus may be at); after a stop
  // the last one goes stale, and reads as ahead again 2^31 frames later.
  const ULONG scheduled = ReadFlag(&ctx->Streams[QuenbyRender].Active) != 0 &&
                          ReadFlag(&ctx->Streams[QuenbyRender].StartFrameSet) != 0;
  const ULONG next = ReadFlag(&ctx->Streams[QuenbyRender].NextStartFrame);
  const bool ahead = scheduled != 0 && (LONG)(next - frame) > 0;
  return RenderDelayFrames(ring, ahead, ahead ? next - frame : 0, rate);
}

_Use_decl_annotations_
ULONG QuenbyRenderDelayBound(WDF_DEVICE_CONTEXT* ctx, PULONG rate) {
  // AVStream may call the latency property holding the filter's control
  // mutex: the running format is read whole under the render position
  // lock, never by waiting for the stream-control lock, which a format
  // change on another handle holds across its requests to the unit.
  const WAVEFORMATEX f = QuenbyStreamFormat(ctx, QUENBY_DIR_RENDER);
  *rate = f.nSamplesPerSec;
  if (f.nBlockAlign == 0 || ctx->Dir[QUENBY_DIR_RENDER].Ring.Lock == nullptr) return 0;
  // The ring's limit of the running format (50 ms), and the transfers in
  // flight of one millisecond each, with the two frames of scheduling lead.
  ULONG ring = QuenbyRingLimit(&ctx->Dir[QUENBY_DIR_RENDER].Ring) / f.nBlockAlign;
  if (ring > f.nSamplesPerSec / 20) ring = f.nSamplesPerSec / 20;
  const ULONG perFrame = f.nSamplesPerSec / 1000 + 1;
  return ring + (ReadFlag(&ctx->Streams[QuenbyRender].ConfiguredInFlight) + 2) * perFrame;
}

_Use_decl_annotations_
void QuenbyLockStreamControl(WDF_DEVICE_CONTEXT* ctx) {
  KeWaitForSingleObject(&ctx->StreamControlMutex, Executive, KernelMode, FALSE, nullptr);
}

_Use_decl_annotations_
void QuenbyUnlockStreamControl(WDF_DEVICE_CONTEXT* ctx) {
  KeReleaseMutex(&ctx->StreamControlMutex, FALSE);
}

_Use_decl_annotations_
BOOLEAN QuenbyTryMutex(PKMUTEX mutex) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}
