// Kernel stand-in: IRQL, pool, dispatcher objects (events, mutexes, thread
// objects), waits and delays on the simulated clock, system threads, time and
// version queries, spin locks.
#include <ntddk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "internal.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"

using korvel::sim::Clock;
namespace verifier = korvel::sim::verifier;
namespace kernel = korvel::sim::kernel;

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local PKTHREAD t_thread = nullptr;

struct ThreadObjectOwner {
  PKTHREAD thread = nullptr;
  ~ThreadObjectOwner() {
    if (thread != nullptr) ObfDereferenceObject(thread);
  }
};
thread_local ThreadObjectOwner t_thread_owner;

struct TerminateThread {
  NTSTATUS status;
};

// Whether each held mutex was taken at DISPATCH_LEVEL: it is released at
// the same side of DISPATCH_LEVEL. Guarded by the clock's lock, as the
// mutexes' states are.
// Source: "KeReleaseMutex function (wdm.h)" (Microsoft Learn).
std::unordered_map<const void*, bool>& mutex_taken_at_dispatch() {
  static auto* m = new std::unordered_map<const void*, bool>();
  return *m;
}

// Dispatcher objects are used only once initialised (KeInitializeXxx sets
// the header's size, as the kernel's own initialisers do); a zeroed one is
// not an event.
// Source: "KeWaitForSingleObject function (wdm.h)" (Microsoft Learn): the object
// is an initialized dispatcher object. The Size test is our own choice.
bool initialized(const DISPATCHER_HEADER* h, const char* api) {
  if (h != nullptr && h->Size != 0) return true;
  verifier::fail(std::string(api) + " of a dispatcher object that was not initialised");
  return false;
}

// `self` and `irql`: the waiting thread's (the clock may test a waiter's
// condition on the thread that signals).
// Source: "KeWaitForSingleObject function (wdm.h)" (Microsoft Learn): a
// notification event stays signalled, a synchronization event is reset by the
// wait it satisfies, a mutex is taken (recursively by its owner).
bool acquire_object(DISPATCHER_HEADER* h, PKTHREAD self, KIRQL irql) {
  switch (h->Type) {
    case kernel::kNotificationEvent:
      return h->SignalState > 0;
    case kernel::kSynchronizationEvent:
      if (h->SignalState > 0) {
        h->SignalState = 0;
        return true;
      }
      return false;
    case kernel::kMutant: {
      PKMUTANT m = reinterpret_cast<PKMUTANT>(h);
      if (h->SignalState > 0 || m->OwnerThread == self) {
        if (h->SignalState > 0) mutex_taken_at_dispatch()[m] = irql >= DISPATCH_LEVEL;
        --h->SignalState;
        m->OwnerThread = self;
        return true;
      }
      return false;
    }
    case kernel::kThread:
      return h->SignalState > 0;
    default:
      verifier::fail("wait on an object that is not a dispatcher object");
      return true;
  }
}

}  // namespace

namespace korvel::sim::kernel {

// Source: "KeWaitForSingleObject function (wdm.h)" (Microsoft Learn): 100 ns
// units, negative relative, positive absolute (from 1601), NULL for ever.
uint64_t deadline_from_timeout(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return Clock::kForever;
  uint64_t now = Clock::instance().now_ns();
  LONGLONG t = timeout->QuadPart;
  if (t <= 0) {
    uint64_t rel = uint64_t(-t) * 100;
    return now + rel;
  }
  LONGLONG abs_ns = (t - kSystemTimeBase) * 100;
  return abs_ns <= 0 ? 0 : uint64_t(abs_ns);
}

NTSTATUS wait_for_object(PVOID object, const LARGE_INTEGER* timeout) {
  PKTHREAD self = KeGetCurrentThread();
  DISPATCHER_HEADER* h = static_cast<DISPATCHER_HEADER*>(object);
  if (!initialized(h, "a wait")) return STATUS_INVALID_PARAMETER;
  uint64_t deadline = deadline_from_timeout(timeout);
  const KIRQL irql = t_irql;
  std::function<bool()> ready = [h, self, irql] { return acquire_object(h, self, irql); };
  return Clock::instance().wait(ready, deadline) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

// Source: "KeReleaseMutex function (wdm.h)" (Microsoft Learn): at DISPATCH_LEVEL
// a KeWaitXxx time-out is to be zero.
void check_may_block(const char* what, const LARGE_INTEGER* timeout) {
  if (t_irql >= DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)) {
    verifier::fail(std::string(what) + " may block and was called at IRQL " + std::to_string(int(t_irql)));
  }
}

}  // namespace korvel::sim::kernel

extern "C" {

KIRQL KeGetCurrentIrql(void) {
  return t_irql;
}

// Source: "KeRaiseIrql macro (wdm.h)" (Microsoft Learn): raising to a lower
// IRQL is a bug check.
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < t_irql) verifier::fail("KeRaiseIrql to a lower IRQL");
  *OldIrql = t_irql;
  t_irql = NewIrql;
}

// Source: "KeLowerIrql function (wdm.h)" (Microsoft Learn): NewIrql is the one
// KeRaiseIrql returned; lowering to a higher one is our own check of that.
void KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) verifier::fail("KeLowerIrql to a higher IRQL");
  t_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDslevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
// Source: "ExAllocatePoolWithTag function (wdm.h)" (Microsoft Learn):
// DISPATCH_LEVEL at most, paged pool APC_LEVEL at most, NULL when it fails.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (t_irql > DISPATCH_LEVEL) verifier::fail("pool allocation above DISPATCH_LEVEL");
  if ((PoolType == PagedPool || PoolType == PagedPoolCacheAligned) && t_irql > APC_LEVEL) {
    verifier::fail("paged pool allocation above APC_LEVEL");
  }
  // Windows 7 does not know the no-execute pool types; Windows 8 and later
  // have them, and Driver Verifier's code integrity check (and memory
  // integrity) refuses executable non-paged pool there.
  const bool nx = (PoolType & NonPagedPoolNx) != 0;
  const bool paged = (PoolType & PagedPool) != 0;
  if (nx && !korvel::sim::kernel::os_has_nx_pool()) {
    verifier::fail("no-execute pool type " + std::to_string(int(PoolType)) + " before Windows 8");
    return nullptr;
  }
  if (!nx && !paged && korvel::sim::kernel::os_has_nx_pool()) {
    verifier::fail("executable non-paged pool (tag \"" + verifier::tag_name(Tag) +
                   "\") on Windows 8 or later: opt in to no-execute pool");
  }
  // Our own choice: a zero-byte request fails.
  if (NumberOfBytes == 0) return nullptr;
  if (verifier::injected_failure()) return nullptr;
  void* p = std::malloc(NumberOfBytes);
  if (p == nullptr) return nullptr;
  // Pool memory is not zeroed ("ExAllocatePoolWithTag function (wdm.h)" makes
  // no promise); the 0xCD fill is our own choice.
  std::memset(p, 0xCD, NumberOfBytes);
  verifier::pool_note_alloc(p, Tag, NumberOfBytes, paged);
  return p;
}

// Source: wdm.h: ExAllocatePool2 zeroes the block unless
// POOL_FLAG_UNINITIALIZED; its non-paged pool is no-execute.
PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  PVOID p = ExAllocatePoolWithTag((Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPoolNx, NumberOfBytes, Tag);
  if (p != nullptr && !(Flags & POOL_FLAG_UNINITIALIZED)) std::memset(p, 0, NumberOfBytes);
  return p;
}

// Source: "ExFreePoolWithTag function (wdm.h)" (Microsoft Learn): DISPATCH_LEVEL
// at most, paged pool APC_LEVEL at most, the tag the block was allocated with.
// Freeing NULL or a block that is not outstanding is reported (our own
// choice).
void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (t_irql > DISPATCH_LEVEL) verifier::fail("ExFreePoolWithTag above DISPATCH_LEVEL");
  if (t_irql > APC_LEVEL && P != nullptr && verifier::pool_range(P, 1) == verifier::PoolRange::Paged) {
    verifier::fail("paged pool freed above APC_LEVEL");
  }
  if (P == nullptr) {
    verifier::fail("ExFreePoolWithTag of NULL");
    return;
  }
  if (verifier::pool_note_free(P, Tag)) std::free(P);
}

void ExFreePool(PVOID P) {
  ExFreePoolWithTag(P, 0);
}

// ---------------------------------------------------------------------------
// Events and mutexes
// ---------------------------------------------------------------------------
// Source: wdm.h: KeInitializeEvent, KEVENT and DISPATCHER_HEADER.
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Clock::instance().locked([&] {
    std::memset(Event, 0, sizeof(*Event));
    Event->Header.Type =
        Type == NotificationEvent ? kernel::kNotificationEvent : kernel::kSynchronizationEvent;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Size = UCHAR(sizeof(KEVENT) / sizeof(LONG));
  });
}

// Source: wdm.h: KeSetEvent (DISPATCH_LEVEL at most, APC_LEVEL with Wait TRUE;
// returns the previous state).
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  if (t_irql > DISPATCH_LEVEL) verifier::fail("KeSetEvent above DISPATCH_LEVEL");
  // With Wait TRUE the caller goes on to a wait: APC_LEVEL at most.
  if (Wait && t_irql > APC_LEVEL) verifier::fail("KeSetEvent with Wait TRUE above APC_LEVEL");
  if (!initialized(&Event->Header, "KeSetEvent")) return 0;
  LONG previous = 0;
  Clock::instance().signal([&] {
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  });
  return previous;
}

// Source: wdm.h: KeClearEvent, KeResetEvent, KeReadStateEvent.
void KeClearEvent(PRKEVENT Event) {
  if (!initialized(&Event->Header, "KeClearEvent")) return;
  Clock::instance().locked([&] { Event->Header.SignalState = 0; });
}

LONG KeResetEvent(PRKEVENT Event) {
  if (!initialized(&Event->Header, "KeResetEvent")) return 0;
  LONG previous = 0;
  Clock::instance().locked([&] {
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
  });
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  if (!initialized(&Event->Header, "KeReadStateEvent")) return 0;
  LONG state = 0;
  Clock::instance().locked([&] { state = Event->Header.SignalState; });
  return state;
}

// Source: wdm.h: KeInitializeMutex (a mutex starts signalled, unowned).
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Clock::instance().locked([&] {
    std::memset(Mutex, 0, sizeof(*Mutex));
    Mutex->Header.Type = kernel::kMutant;
    Mutex->Header.SignalState = 1;
    Mutex->Header.Size = UCHAR(sizeof(KMUTEX) / sizeof(LONG));
  });
}

// Source: "KeReleaseMutex function (wdm.h)" (Microsoft Learn): DISPATCH_LEVEL
// at most; only the owner releases; a mutex taken at DISPATCH_LEVEL is
// released there (and the other way round); a recursive owner releases once
// per acquire.
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  if (t_irql > DISPATCH_LEVEL) verifier::fail("KeReleaseMutex above DISPATCH_LEVEL");
  if (!initialized(&Mutex->Header, "KeReleaseMutex")) return 0;
  PKTHREAD self = KeGetCurrentThread();
  LONG previous = 0;
  bool wrong_owner = false;
  bool wrong_level = false;
  Clock::instance().signal([&] {
    previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
      wrong_owner = true;
      return;
    }
    auto taken = mutex_taken_at_dispatch().find(Mutex);
    wrong_level = taken != mutex_taken_at_dispatch().end() && taken->second != (t_irql >= DISPATCH_LEVEL);
    if (++Mutex->Header.SignalState == 1) {
      Mutex->OwnerThread = nullptr;
      if (taken != mutex_taken_at_dispatch().end()) mutex_taken_at_dispatch().erase(taken);
    }
  });
  if (wrong_owner) verifier::fail("KeReleaseMutex by a thread that does not own the mutex");
  if (wrong_level) {
    verifier::fail("KeReleaseMutex on the other side of DISPATCH_LEVEL than the mutex was acquired");
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  if (!initialized(&Mutex->Header, "KeReadStateMutex")) return 0;
  LONG state = 0;
  Clock::instance().locked([&] { state = Mutex->Header.SignalState; });
  return state;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  // Even a wait that does not block (zero time-out) is DISPATCH_LEVEL at most.
  // Source: "KeWaitForSingleObject function (wdm.h)" (Microsoft Learn).
  if (t_irql > DISPATCH_LEVEL) verifier::fail("KeWaitForSingleObject above DISPATCH_LEVEL");
  kernel::check_may_block("KeWaitForSingleObject", Timeout);
  return kernel::wait_for_object(Object, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  // APC_LEVEL at most, whatever the interval (a zero interval too).
  // Source: "KeDelayExecutionThread function (wdm.h)" (Microsoft Learn).
  if (t_irql > APC_LEVEL) {
    verifier::fail("KeDelayExecutionThread called at IRQL " + std::to_string(int(t_irql)));
  }
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  Clock::instance().sleep_until(kernel::deadline_from_timeout(Interval));
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
// Our own choice: a thread that never was a system thread gets a thread
// object of its own the first time it asks.
PKTHREAD KeGetCurrentThread(void) {
  if (t_thread == nullptr) {
    t_thread = new _KTHREAD();
    t_thread->Header.Type = kernel::kThread;
    t_thread->Header.Size = 1;
    t_thread_owner.thread = t_thread;
  }
  return t_thread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (t_irql != PASSIVE_LEVEL) verifier::fail("KeSetPriorityThread above PASSIVE_LEVEL");
  // LOW_PRIORITY (0) is the system's own.
  // Source: wdm.h: KeSetPriorityThread (PASSIVE_LEVEL; LOW_PRIORITY + 1 to
  // HIGH_PRIORITY).
  if (Priority <= LOW_PRIORITY || Priority > HIGH_PRIORITY)
    verifier::fail("KeSetPriorityThread with an invalid priority");
  KPRIORITY old = Thread->priority;
  Thread->priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  return Thread->priority;
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  // Source: "PsCreateSystemThread function (wdm.h)" (Microsoft Learn):
  // PASSIVE_LEVEL; the handle is closed with ZwClose.
  if (t_irql != PASSIVE_LEVEL) verifier::fail("PsCreateSystemThread above PASSIVE_LEVEL");
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  if (verifier::injected_failure()) return STATUS_INSUFFICIENT_RESOURCES;
  // The creator takes part in the simulation from now on, so that virtual time
  // does not run ahead while it is still setting things up.
  Clock::instance().attach_current_thread();
  PKTHREAD thread = new _KTHREAD();
  thread->Header.Type = kernel::kThread;
  thread->Header.Size = 1;
  thread->system_thread = true;
  thread->routine = StartRoutine;
  thread->context = StartContext;
  thread->references = 2;  // the handle and the running thread
  void* ticket = Clock::instance().thread_created();
  try {
    std::thread([thread, ticket] {
      Clock::instance().adopt_current_thread(ticket);
      t_thread = thread;
      try {
        thread->routine(thread->context);
      } catch (const TerminateThread&) {
      }
      Clock::instance().signal([thread] { thread->Header.SignalState = 1; });
      t_thread = nullptr;
      ObfDereferenceObject(thread);
    }).detach();
  } catch (const std::system_error&) {
    delete thread;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = thread;
  return STATUS_SUCCESS;
}

// Source: wdm.h: PsTerminateSystemThread (a system thread ends itself, at
// PASSIVE_LEVEL; it does not return).
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD self = KeGetCurrentThread();
  if (!self->system_thread) {
    verifier::fail("PsTerminateSystemThread outside a system thread");
    std::abort();
  }
  if (t_irql != PASSIVE_LEVEL) verifier::fail("PsTerminateSystemThread above PASSIVE_LEVEL");
  throw TerminateThread{ExitStatus};
}

// Our own choice: a handle here is the thread object itself, one reference.
NTSTATUS ZwClose(HANDLE Handle) {
  if (Handle == nullptr) return STATUS_INVALID_HANDLE;
  ObfDereferenceObject(Handle);
  return STATUS_SUCCESS;
}

NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  if (Handle == nullptr) return STATUS_INVALID_HANDLE;
  return KeWaitForSingleObject(Handle, Executive, KernelMode, Alertable, Timeout);
}

POBJECT_TYPE* PsThreadType = nullptr;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
  if (Handle == nullptr || Object == nullptr) return STATUS_INVALID_HANDLE;
  static_cast<PKTHREAD>(Handle)->references++;
  *Object = Handle;
  return STATUS_SUCCESS;
}

// Source: wdm.h: ObDereferenceObject; dereferencing more often than
// referencing is reported (our own check).
LONG_PTR ObfDereferenceObject(PVOID Object) {
  PKTHREAD t = static_cast<PKTHREAD>(Object);
  int left = --t->references;
  if (left < 0) verifier::fail("object dereferenced more often than referenced");
  if (left == 0) delete t;
  return left;
}

// ---------------------------------------------------------------------------
// Time, version, spin locks
// ---------------------------------------------------------------------------
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  // 10 MHz, as on current Windows; our own choice (callers read the
  // frequency, none is to assume it).
  constexpr LONGLONG kFrequency = 10000000;
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = kFrequency;
  LARGE_INTEGER li;
  li.QuadPart = LONGLONG(Clock::instance().now_ns() / 100);
  return li;
}

// Source: wdm.h: system time counts 100 ns units from 1601; interrupt time
// 100 ns units from boot (here: from the clock's start).
void KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kernel::kSystemTimeBase + LONGLONG(Clock::instance().now_ns() / 100);
}

ULONGLONG KeQueryInterruptTime(void) {
  return Clock::instance().now_ns() / 100;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  // Busy wait: the clock does not advance for it in virtual mode (our own
  // choice; on Windows the processor spins for the time).
  if (Clock::instance().mode() == korvel::sim::ClockMode::Real) {
    std::this_thread::sleep_for(std::chrono::microseconds(MicroSeconds));
  }
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
}

// A held lock holds its owner's thread object, so that a second acquire by
// the same thread (which would spin for ever) and a release by a thread
// that does not hold it are reported.
// Source: "KeAcquireSpinLock macro (wdm.h)" (Microsoft Learn): DISPATCH_LEVEL at
// most, returns at DISPATCH_LEVEL, a recursive acquire deadlocks.
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  if (t_irql > DISPATCH_LEVEL) verifier::fail("KeAcquireSpinLock above DISPATCH_LEVEL");
  const auto self = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
    verifier::fail("KeAcquireSpinLock of a spin lock the thread already holds");
    *OldIrql = t_irql;
    return;
  }
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    expected = 0;
    std::this_thread::yield();
  }
}

// Source: wdm.h: KeReleaseSpinLock (at DISPATCH_LEVEL, back to the IRQL the
// acquire saved).
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != reinterpret_cast<ULONG_PTR>(KeGetCurrentThread())) {
    verifier::fail("KeReleaseSpinLock of a spin lock the thread does not hold");
    return;
  }
  if (t_irql != DISPATCH_LEVEL) verifier::fail("KeReleaseSpinLock below DISPATCH_LEVEL");
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  KeLowerIrql(NewIrql);
}

}  // extern "C"
