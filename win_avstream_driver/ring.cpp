// The byte rings between the USB streams and their users (the KS pins or the
// direct-mode client): one for capture, one for render, each guarded by its
// spin lock. Plain reads and writes fail at once and remember what a pin
// waits for; the waiting ones wait once, outside the lock, for at most 125
// ms. A direction the unit does not have has no ring: every operation on it
// fails (or reads as empty) without touching a lock.
#include "quenby.h"

namespace {

// Largest ring accepted: 50 ms of 32 channels of 32-bit audio at 768 kHz is
// under 5 MiB; the limit only guards against absurd device data.
const ULONGLONG kMaxRingBytes = 64ull * 1024 * 1024;
const LONGLONG kRingWait = -1250000;  // 125 ms

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyCreateRing(WDF_DEVICE_CONTEXT* ctx, AudioRing* ring, ULONG kind,
                          const DIRECTION_LIMITS* limits) {
  // 50 ms at the largest format, in the order (bits / 8) x rate x channels / 100 x 5.
  ULONGLONG size = (ULONGLONG)(limits->MaxBits / 8) * limits->MaxRate * limits->MaxChannels / 100 * 5;
  if (size == 0 || size > kMaxRingBytes) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(ring, sizeof(*ring));
  ring->Device = ctx->WdfDevice;
  ring->Kind = kind;
  ring->Size = (ULONG)size;
  ring->Limit = (ULONG)size;
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx->WdfDevice;
  PVOID buffer = nullptr;
  NTSTATUS status =
      WdfMemoryCreate(&attributes, NonPagedPool, QUENBY_MEMORY_TAG, ring->Size, &ring->Memory, &buffer);
  if (!NT_SUCCESS(status)) return status;
  ring->Buffer = static_cast<PUCHAR>(buffer);
  status = WdfSpinLockCreate(&attributes, &ring->Lock);
  if (!NT_SUCCESS(status)) return status;
  KeInitializeEvent(&ring->Event, SynchronizationEvent, FALSE);
  return STATUS_SUCCESS;
}

namespace {

// Room for a write of `length` under the ring's lock: up to the limit of the
// running format; a single write larger than the limit may use the whole ring.
ULONG RoomOf(const AudioRing* ring, ULONG length) {
  const ULONG limit = length > ring->Limit ? ring->Size : ring->Limit;
  return ring->Fill >= limit ? 0 : limit - ring->Fill;
}

// Asks the pin that waits on the ring to process again, under the ring's
// lock: a pin's close clears OwnerPin under that lock, so the pin asked is
// still open. Its pins process asynchronously, so the call only queues the
// processing (at DISPATCH_LEVEL, in a work item).
_IRQL_requires_max_(DISPATCH_LEVEL)
void AskOwner(AudioRing* ring) {
  if (ring->OwnerPin != nullptr) KsPinAttemptProcessing(ring->OwnerPin, FALSE);
}

}  // namespace

_Use_decl_annotations_
void QuenbyRingSetLimit(AudioRing* ring, ULONG bytes) {
  if (ring->Lock == nullptr) return;
  WdfSpinLockAcquire(ring->Lock);
  ring->Limit = bytes == 0 || bytes > ring->Size ? ring->Size : bytes;
  WdfSpinLockRelease(ring->Lock);
}

_Use_decl_annotations_
ULONG QuenbyRingLimit(AudioRing* ring) {
  if (ring->Lock == nullptr) return 0;
  WdfSpinLockAcquire(ring->Lock);
  const ULONG limit = ring->Limit;
  WdfSpinLockRelease(ring->Lock);
  return limit;
}

_Use_decl_annotations_
PKSPIN QuenbyRingOwner(AudioRing* ring) {
  if (ring->Lock == nullptr) return nullptr;
  WdfSpinLockAcquire(ring->Lock);
  PKSPIN owner = ring->OwnerPin;
  WdfSpinLockRelease(ring->Lock);
  return owner;
}

_Use_decl_annotations_
NTSTATUS QuenbyRingWrite(AudioRing* ring, const UCHAR* data, ULONG length) {
  if (ring->Lock == nullptr) return STATUS_UNSUCCESSFUL;
  if (length == 0) return STATUS_SUCCESS;
  WdfSpinLockAcquire(ring->Lock);
  if (RoomOf(ring, length) < length) {
    if (ring->Kind == QUENBY_RING_RENDER) ring->Wanted = length;
    WdfSpinLockRelease(ring->Lock);
    return STATUS_UNSUCCESSFUL;
  }
  uint32_t offset = ring->WriteOffset;
  RingCopyIn(ring->Buffer, ring->Size, &offset, data, length);
  ring->WriteOffset = offset;
  ring->Fill += length;
  if (ring->Kind == QUENBY_RING_CAPTURE && ring->Wanted != 0 && ring->Wanted < ring->Fill) {
    ring->Wanted = 0;
    AskOwner(ring);
  }
  WdfSpinLockRelease(ring->Lock);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbyRingRead(AudioRing* ring, PUCHAR data, ULONG length, PULONG fillBefore, PULONG fillAfter) {
  if (ring->Lock == nullptr) return STATUS_UNSUCCESSFUL;
  if (length == 0) return STATUS_SUCCESS;
  WdfSpinLockAcquire(ring->Lock);
  if (fillBefore != nullptr) *fillBefore = ring->Fill;
  if (ring->Fill < length) {
    if (ring->Kind == QUENBY_RING_CAPTURE) ring->Wanted = length;
    if (fillAfter != nullptr) *fillAfter = ring->Fill;
    WdfSpinLockRelease(ring->Lock);
    return STATUS_UNSUCCESSFUL;
  }
  uint32_t offset = ring->ReadOffset;
  RingCopyOut(ring->Buffer, ring->Size, &offset, data, length);
  ring->ReadOffset = offset;
  ring->Fill -= length;
  if (fillAfter != nullptr) *fillAfter = ring->Fill;
  if (ring->Kind == QUENBY_RING_RENDER && ring->Wanted != 0 && ring->Wanted <= RoomOf(ring, ring->Wanted)) {
    ring->Wanted = 0;
    AskOwner(ring);
  }
  WdfSpinLockRelease(ring->Lock);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbyRingPeek(AudioRing* ring, PUCHAR data, ULONG length, PULONG generation) {
  if (ring->Lock == nullptr) return STATUS_UNSUCCESSFUL;
  WdfSpinLockAcquire(ring->Lock);
  *generation = ring->Resets;
  if (ring->Fill < length) {
    WdfSpinLockRelease(ring->Lock);
    return STATUS_UNSUCCESSFUL;
  }
  uint32_t offset = ring->ReadOffset;
  RingCopyOut(ring->Buffer, ring->Size, &offset, data, length);
  WdfSpinLockRelease(ring->Lock);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
void QuenbyRingConsume(AudioRing* ring, ULONG length, ULONG generation, BOOLEAN waiting) {
  if (ring->Lock == nullptr || length == 0) return;
  WdfSpinLockAcquire(ring->Lock);
  // A reset since the peek emptied the ring: what is there now is new.
  if (ring->Resets == generation && ring->Fill >= length) {
    ring->ReadOffset = (uint32_t)(((ULONGLONG)ring->ReadOffset + length) % ring->Size);
    ring->Fill -= length;
    if (ring->Kind == QUENBY_RING_RENDER && ring->Wanted != 0 && ring->Wanted <= RoomOf(ring, ring->Wanted)) {
      ring->Wanted = 0;
      if (waiting) {
        KeSetEvent(&ring->Event, IO_SOUND_INCREMENT, FALSE);
      } else {
        AskOwner(ring);
      }
    }
  }
  WdfSpinLockRelease(ring->Lock);
}

namespace {

// Takes the ring's lock once `length` bytes of room (forWrite) or of data
// are there. Only the ring of `waitingKind` may wait for them: once, at most
// 125 ms, outside the lock. False (lock released) when they did not come.
_IRQL_requires_max_(PASSIVE_LEVEL)
bool LockWithRoom(AudioRing* ring, ULONG length, bool forWrite, ULONG waitingKind) {
  WdfSpinLockAcquire(ring->Lock);
  if ((forWrite ? RoomOf(ring, length) : ring->Fill) >= length) return true;
  if (ring->Kind != waitingKind) {
    WdfSpinLockRelease(ring->Lock);
    return false;
  }
  ring->Wanted = length;
  WdfSpinLockRelease(ring->Lock);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kRingWait;
  if (KeWaitForSingleObject(&ring->Event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS)
    return false;
  WdfSpinLockAcquire(ring->Lock);
  if ((forWrite ? RoomOf(ring, length) : ring->Fill) >= length) return true;
  WdfSpinLockRelease(ring->Lock);
  return false;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyRingWriteWait(AudioRing* ring, const UCHAR* data, ULONG length) {
  if (ring->Lock == nullptr) return STATUS_UNSUCCESSFUL;
  if (length == 0) return STATUS_SUCCESS;
  if (!LockWithRoom(ring, length, true, QUENBY_RING_RENDER)) return STATUS_UNSUCCESSFUL;
  uint32_t offset = ring->WriteOffset;
  RingCopyIn(ring->Buffer, ring->Size, &offset, data, length);
  ring->WriteOffset = offset;
  ring->Fill += length;
  if (ring->Kind == QUENBY_RING_CAPTURE && ring->Wanted != 0 && ring->Wanted <= ring->Fill) {
    ring->Wanted = 0;
    KeSetEvent(&ring->Event, IO_SOUND_INCREMENT, FALSE);
  }
  WdfSpinLockRelease(ring->Lock);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS QuenbyRingReadWait(AudioRing* ring, PUCHAR data, ULONG length) {
  if (ring->Lock == nullptr) return STATUS_UNSUCCESSFUL;
  if (length == 0) return STATUS_SUCCESS;
  if (!LockWithRoom(ring, length, false, QUENBY_RING_CAPTURE)) return STATUS_UNSUCCESSFUL;
  uint32_t offset = ring->ReadOffset;
  RingCopyOut(ring->Buffer, ring->Size, &offset, data, length);
  ring->ReadOffset = offset;
  ring->Fill -= length;
  if (ring->Kind == QUENBY_RING_RENDER && ring->Wanted != 0 && ring->Wanted <= RoomOf(ring, ring->Wanted)) {
    ring->Wanted = 0;
    KeSetEvent(&ring->Event, IO_SOUND_INCREMENT, FALSE);
  }
  WdfSpinLockRelease(ring->Lock);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
void QuenbyRingReset(AudioRing* ring) {
  if (ring->Lock == nullptr) return;
  WdfSpinLockAcquire(ring->Lock);
  ++ring->Resets;
  ring->Fill = 0;
  ring->WriteOffset = 0;
  ring->ReadOffset = 0;
  ring->OwnerPin = nullptr;
  if (ring->Wanted != 0) {
    ring->Wanted = 0;
    KeSetEvent(&ring->Event, IO_SOUND_INCREMENT, FALSE);
  }
  WdfSpinLockRelease(ring->Lock);
}

_Use_decl_annotations_
void QuenbyRingResetWithOwner(AudioRing* ring, PKSPIN owner) {
  if (ring->Lock == nullptr) return;
  WdfSpinLockAcquire(ring->Lock);
  ++ring->Resets;
  ring->Fill = 0;
  ring->Wanted = 0;
  ring->WriteOffset = 0;
  ring->ReadOffset = 0;
  ring->OwnerPin = owner;
  WdfSpinLockRelease(ring->Lock);
}

_Use_decl_annotations_
ULONG QuenbyRingFill(AudioRing* ring) {
  if (ring->Lock == nullptr) return 0;
  WdfSpinLockAcquire(ring->Lock);
  ULONG fill = ring->Fill;
  WdfSpinLockRelease(ring->Lock);
  return fill;
}
