// The exchange lock: the unit answers every program through one queue, so a
// message and the replies that answer it must not interleave with another
// program's. The driver, which every program of every user reaches, keeps
// the lock: a private file object takes it, and holds it until it ends it,
// its last handle is closed, or it has held it for QUENBY_EXCHANGE_HOLD_MS
// while another program asks for it. No holder, of whichever user, can
// keep the others from the unit for longer than that.
//
// Taking never waits in the driver: a caller that finds the lock held is
// told who holds it and asks again. The sessions whose programs ask are
// served in the order they began to ask, so that the programs of one session
// cannot take the lock in turns while another session's program waits.
#include "quenby.h"
#include "quenby_ioctl.h"

namespace {

// An ask older than this is of a program that gave up waiting.
const ULONGLONG kStaleAsk = 250ULL * 10000;  // 100-ns units
const ULONGLONG kHoldLimit = ULONGLONG(QUENBY_EXCHANGE_HOLD_MS) * 10000;

void PutU32(UCHAR* p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}

void DropStaleAsks(QUENBY_EXCHANGE* x, ULONGLONG now) {
  for (QUENBY_EXCHANGE_WAITER& w : x->Waiting) {
    if (w.Used && now - w.Last > kStaleAsk) w.Used = 0;
  }
}

// The session that asked first among those still asking; null when none.
const QUENBY_EXCHANGE_WAITER* FirstAsking(const QUENBY_EXCHANGE* x) {
  const QUENBY_EXCHANGE_WAITER* first = nullptr;
  for (const QUENBY_EXCHANGE_WAITER& w : x->Waiting) {
    if (w.Used && (first == nullptr || w.First < first->First)) first = &w;
  }
  return first;
}

QUENBY_EXCHANGE_WAITER* AskOf(QUENBY_EXCHANGE* x, ULONG session) {
  for (QUENBY_EXCHANGE_WAITER& w : x->Waiting) {
    if (w.Used && w.Session == session) return &w;
  }
  return nullptr;
}

// Notes that a program of `session` asks. With every entry taken by a
// session still asking, the ask is not noted: such a caller takes the lock
// only when no noted session asks.
void NoteAsk(QUENBY_EXCHANGE* x, ULONG session, ULONGLONG now) {
  QUENBY_EXCHANGE_WAITER* w = AskOf(x, session);
  if (w == nullptr) {
    for (QUENBY_EXCHANGE_WAITER& free : x->Waiting) {
      if (!free.Used) {
        w = &free;
        w->Used = 1;
        w->Session = session;
        w->First = now;
        break;
      }
    }
  }
  if (w != nullptr) w->Last = now;
}

void Release(QUENBY_EXCHANGE* x, ULONG takenOver) {
  x->Holder = nullptr;
  x->HolderProcess = 0;
  x->HolderSession = 0;
  x->TakenOver = takenOver;
}

void Take(QUENBY_EXCHANGE* x, PFILE_OBJECT file, ULONG process, ULONG session, ULONG* flags) {
  const ULONGLONG now = KeQueryInterruptTime();
  DropStaleAsks(x, now);
  // A holder that kept the lock its time while someone asks loses it; its
  // end says so, and the next holder reads away what it left queued.
  if (x->Holder != nullptr && x->Holder != file && now - x->HeldSince >= kHoldLimit) Release(x, 1);
  if (x->Holder == nullptr) {
    const QUENBY_EXCHANGE_WAITER* first = FirstAsking(x);
    if (first == nullptr || first->Session == session) {
      QUENBY_EXCHANGE_WAITER* mine = AskOf(x, session);
      if (mine != nullptr) mine->Used = 0;
      x->Holder = file;
      x->HolderProcess = process;
      x->HolderSession = session;
      x->HeldSince = now;
      *flags = QUENBY_EXCHANGE_HELD | (x->TakenOver ? QUENBY_EXCHANGE_TAKEN_OVER : 0);
      x->TakenOver = 0;
      return;
    }
  }
  if (x->Holder == file) {
    *flags = QUENBY_EXCHANGE_HELD;
    return;
  }
  NoteAsk(x, session, now);
  *flags = 0;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS QuenbyExchangeControl(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file, ULONG code, ULONG process,
                               ULONG session, PVOID out, ULONG outLength, ULONG_PTR* information) {
  *information = 0;
  if (ctx == nullptr || ReadFlag(&ctx->SurpriseRemoved) != 0 || ctx->PowerState == QUENBY_POWER_REMOVED) {
    return STATUS_NO_SUCH_DEVICE;
  }
  if (out == nullptr || outLength < QUENBY_EXCHANGE_RECORD_SIZE) return STATUS_BUFFER_TOO_SMALL;
  QUENBY_EXCHANGE* x = &ctx->Exchange;
  ULONG flags = 0;
  KeWaitForSingleObject(&x->Mutex, Executive, KernelMode, FALSE, nullptr);
  if (code == IOCTL_QUENBY_EXCHANGE_TAKE) {
    Take(x, file, process, session, &flags);
  } else if (x->Holder == file) {
    flags = QUENBY_EXCHANGE_HELD;
    Release(x, 0);
  }
  UCHAR* record = static_cast<UCHAR*>(out);
  PutU32(record, flags);
  PutU32(record + 4, x->HolderProcess);
  PutU32(record + 8, x->HolderSession);
  const ULONGLONG held = x->Holder != nullptr ? (KeQueryInterruptTime() - x->HeldSince) / 10000 : 0;
  PutU32(record + 12, held > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : (ULONG)held);
  KeReleaseMutex(&x->Mutex, FALSE);
  *information = QUENBY_EXCHANGE_RECORD_SIZE;
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
void QuenbyExchangeCleanup(WDF_DEVICE_CONTEXT* ctx, PFILE_OBJECT file) {
  if (ctx == nullptr) return;
  QUENBY_EXCHANGE* x = &ctx->Exchange;
  KeWaitForSingleObject(&x->Mutex, Executive, KernelMode, FALSE, nullptr);
  // Closed inside its exchange (its program ended there): part of its
  // answer may still be queued.
  if (x->Holder == file) Release(x, 1);
  KeReleaseMutex(&x->Mutex, FALSE);
}
