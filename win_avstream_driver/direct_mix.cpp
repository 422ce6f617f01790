// Direct mode beside the KS pins: the KS render pin's queued audio, held as
// clone stream pointers, mixed into the direct-mode render stream (24-bit
// samples at the same rate only), and direct-mode capture copied into the
// KS capture pin's clones; and the clones' disposal.
#include "quenby.h"

_Use_decl_annotations_
void QuenbyMixRenderClones(WDF_DEVICE_CONTEXT* ctx, PUCHAR buffer, ULONG bytes, RENDER_MIX_END* end) {
  // Where the mixing ends, in the clones as they are: nothing is taken of
  // them before the transfer goes out (QuenbyConsumeRenderClones).
  end->Clones = 0;
  end->Offset = ctx->RenderCloneOffset;
  end->Frames = ctx->RenderCloneFrames;
  // Clones are held only by a render pin in RUN, whose format stays as it
  // is; without them a new pin's format may be being set.
  if (ctx->RenderCloneCount == 0) return;
  const WAVEFORMATEX* pin = &ctx->Dir[QUENBY_DIR_RENDER].PinFormat.WaveFormatExt.Format;
  const WAVEFORMATEX* stream = &ctx->Dir[QUENBY_DIR_RENDER].StreamFormat.WaveFormatExt.Format;
  // Only 24-bit samples on both sides are mixed; other widths would need a
  // conversion this path does not make.
  if (!MixSupported(pin->wBitsPerSample, pin->nSamplesPerSec, stream->wBitsPerSample, stream->nSamplesPerSec))
    return;
  if (stream->nChannels == 0 || pin->nChannels == 0) return;
  const ULONG deviceChannels = stream->nChannels;
  const ULONG pinChannels = pin->nChannels;
  const ULONG pinFrame = pinChannels * 3;
  const ULONG frames = bytes / 3 / deviceChannels;
  for (ULONG f = 0; f < frames && end->Clones < ctx->RenderCloneCount; ++f) {
    PKSSTREAM_POINTER clone = ctx->RenderClones[(ctx->RenderCloneHead + end->Clones) % QUENBY_RENDER_CLONES];
    const ULONG available = clone->OffsetIn.Remaining;
    if (end->Offset + pinFrame <= available) {
      const UCHAR* src = clone->OffsetIn.Data + end->Offset;
      PUCHAR dst = buffer + (SIZE_T)f * deviceChannels * 3;
      for (ULONG j = 0; j < deviceChannels && j < pinChannels; ++j) {
        WriteSample24(dst + j * 3, MixSample24(ReadSample24(dst + j * 3), ReadSample24(src + j * 3)));
      }
      end->Offset += pinFrame;
      ++end->Frames;
    }
    if (end->Offset + pinFrame > available) {
      ++end->Clones;
      end->Offset = 0;
      end->Frames = 0;
    }
  }
}

_Use_decl_annotations_
void QuenbyConsumeRenderClones(WDF_DEVICE_CONTEXT* ctx, const RENDER_MIX_END* end) {
  for (ULONG i = 0; i < end->Clones && ctx->RenderCloneCount != 0; ++i) {
    KsStreamPointerDelete(ctx->RenderClones[ctx->RenderCloneHead]);
    ctx->RenderClones[ctx->RenderCloneHead] = nullptr;
    ctx->RenderCloneHead = (ctx->RenderCloneHead + 1) % QUENBY_RENDER_CLONES;
    --ctx->RenderCloneCount;
  }
  ctx->RenderCloneOffset = end->Offset;
  ctx->RenderCloneFrames = end->Frames;
}

_Use_decl_annotations_
void QuenbyFeedCaptureClones(WDF_DEVICE_CONTEXT* ctx, const UCHAR* data, ULONG length) {
  // The data comes in the running format, which a format change on another
  // handle rewrites under this lock.
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  const WAVEFORMATEX* device = &ctx->Dir[QUENBY_DIR_CAPTURE].StreamFormat.WaveFormatExt.Format;
  const WAVEFORMATEX* pin = &ctx->Dir[QUENBY_DIR_CAPTURE].PinFormat.WaveFormatExt.Format;
  const ULONG sampleBytes = device->wBitsPerSample / 8;
  const ULONG deviceFrame = device->nChannels * sampleBytes;
  const ULONG pinChannels = pin->nChannels < device->nChannels ? pin->nChannels : device->nChannels;
  const ULONG pinFrame = pin->nChannels * sampleBytes;
  if (pin->nSamplesPerSec != device->nSamplesPerSec || pin->wBitsPerSample != device->wBitsPerSample ||
      deviceFrame == 0 || pinFrame == 0) {
    WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
    return;
  }
  for (ULONG offset = 0; offset + deviceFrame <= length && ctx->CaptureCloneCount != 0;
       offset += deviceFrame) {
    PKSSTREAM_POINTER clone = ctx->CaptureClones[ctx->CaptureCloneHead];
    if (ctx->CaptureCloneFill + pinFrame <= clone->OffsetOut.Remaining) {
      PUCHAR dst = clone->OffsetOut.Data + ctx->CaptureCloneFill;
      RtlZeroMemory(dst, pinFrame);
      RtlCopyMemory(dst, data + offset, pinChannels * sampleBytes);
      ctx->CaptureCloneFill += pinFrame;
      ctx->CaptureCloneOwed -= ctx->CaptureCloneOwed < pinFrame ? ctx->CaptureCloneOwed : pinFrame;
    }
    if (ctx->CaptureCloneFill + pinFrame > clone->OffsetOut.Remaining) {
      // A torn frame's last bytes go back unfilled with the clone.
      const ULONG rest = clone->OffsetOut.Remaining - ctx->CaptureCloneFill;
      ctx->CaptureCloneOwed -= ctx->CaptureCloneOwed < rest ? ctx->CaptureCloneOwed : rest;
      KsStreamPointerAdvanceOffsets(clone, 0, ctx->CaptureCloneFill, FALSE);
      KsStreamPointerDelete(clone);
      ctx->CaptureClones[ctx->CaptureCloneHead] = nullptr;
      ctx->CaptureCloneHead = (ctx->CaptureCloneHead + 1) % QUENBY_CAPTURE_CLONES;
      --ctx->CaptureCloneCount;
      ctx->CaptureCloneFill = 0;
    }
  }
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}

_Use_decl_annotations_
void QuenbyDeleteClones(WDF_DEVICE_CONTEXT* ctx, ULONG direction) {
  if (direction == QUENBY_DIR_RENDER) {
    while (ctx->RenderCloneCount != 0) {
      KsStreamPointerDelete(ctx->RenderClones[ctx->RenderCloneHead]);
      ctx->RenderClones[ctx->RenderCloneHead] = nullptr;
      ctx->RenderCloneHead = (ctx->RenderCloneHead + 1) % QUENBY_RENDER_CLONES;
      --ctx->RenderCloneCount;
    }
    ctx->RenderCloneFrames = 0;
    ctx->RenderCloneOffset = 0;
    return;
  }
  WdfSpinLockAcquire(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
  while (ctx->CaptureCloneCount != 0) {
    KsStreamPointerDelete(ctx->CaptureClones[ctx->CaptureCloneHead]);
    ctx->CaptureClones[ctx->CaptureCloneHead] = nullptr;
    ctx->CaptureCloneHead = (ctx->CaptureCloneHead + 1) % QUENBY_CAPTURE_CLONES;
    --ctx->CaptureCloneCount;
  }
  ctx->CaptureCloneFill = 0;
  ctx->CaptureCloneOwed = 0;  // their frames went back to the client
  WdfSpinLockRelease(ctx->Dir[QUENBY_DIR_CAPTURE].PositionLock);
}
