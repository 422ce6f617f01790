// Framework stand-in: objects and contexts, driver, miniport device, memory,
// spin and wait locks, collections.
#include <wdf.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>
#include <unordered_set>

#include "internal.h"
#include "kernel/verifier.h"
#include "wdf_internal.h"

namespace verifier = korvel::sim::verifier;
namespace kernel = korvel::sim::kernel;

namespace korvel::sim::wdf {

namespace {

struct DriverObj : Object {
  DriverObj() : Object(Kind::Driver) {}
  PDRIVER_OBJECT wdm = nullptr;
  WDF_DRIVER_CONFIG config{};
};

struct DeviceObj : Object {
  DeviceObj() : Object(Kind::Device) {}
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT attached = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
};

struct MemoryObj : Object {
  MemoryObj() : Object(Kind::Memory) {}
  ~MemoryObj() override {
    if (buffer != nullptr) ExFreePoolWithTag(buffer, tag);
  }
  PVOID buffer = nullptr;
  size_t size = 0;
  ULONG tag = 0;
};

struct SpinLockObj : Object {
  SpinLockObj() : Object(Kind::SpinLock) {}
  std::mutex m;
  // Read without the lock by the recursion check of other threads.
  std::atomic<std::thread::id> owner{};
  KIRQL saved = PASSIVE_LEVEL;
};

struct WaitLockObj : Object {
  WaitLockObj() : Object(Kind::WaitLock) {}
  KEVENT free_event;
};

struct CollectionObj : Object {
  CollectionObj() : Object(Kind::Collection) {}
  ~CollectionObj() override {
    for (auto& e : items) {
      verifier::pool_note_free(e.entry, 0);
      delete[] e.entry;
    }
  }
  struct Entry {
    WDFOBJECT item;
    char* entry;  // the framework's list entry for the item
  };
  std::vector<Entry> items;
};

std::unordered_set<const Object*>& live() {
  static auto* s = new std::unordered_set<const Object*>();
  return *s;
}

// Moves on whenever an object is created or deleted (under the tree mutex).
std::atomic<uint64_t> g_live_generation{1};

// Handles this thread found live and of their kind (and the context of one
// type each), valid while no object or context was created or deleted
// since: the check of a handle in steady streaming takes no lock (the first
// check after any change does). Direct-mapped by the handle's address.
struct CheckedHandles {
  static constexpr unsigned kSlots = 256;
  struct Slot {
    const void* handle = nullptr;
    Kind kind = Kind::Generic;
    const void* context_type = nullptr;  // the type of `context`, or null
    void* context = nullptr;
  };
  uint64_t generation = 0;
  Slot slot[kSlots];
  static unsigned index(const void* handle) {
    const auto a = reinterpret_cast<uintptr_t>(handle);
    return unsigned((a >> 4) ^ (a >> 12)) % kSlots;
  }
};
thread_local CheckedHandles t_checked;

DriverObj* g_driver = nullptr;

constexpr const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Driver:
      return "WDFDRIVER";
    case Kind::Device:
      return "WDFDEVICE";
    case Kind::Generic:
      return "WDFOBJECT";
    case Kind::Memory:
      return "WDFMEMORY";
    case Kind::SpinLock:
      return "WDFSPINLOCK";
    case Kind::WaitLock:
      return "WDFWAITLOCK";
    case Kind::Collection:
      return "WDFCOLLECTION";
    case Kind::Request:
      return "WDFREQUEST";
    case Kind::UsbDevice:
      return "WDFUSBDEVICE";
    case Kind::UsbInterface:
      return "WDFUSBINTERFACE";
    case Kind::UsbPipe:
      return "WDFUSBPIPE";
  }
  return "WDF object";
}

}  // namespace

std::recursive_mutex& tree_mutex() {
  static auto* m = new std::recursive_mutex();
  return *m;
}

ULONG driver_tag() {
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  if (g_driver == nullptr || g_driver->config.DriverPoolTag == 0) return verifier::tag("FxDr");
  return g_driver->config.DriverPoolTag;
}

Object* driver_object() {
  return g_driver;
}

NTSTATUS attach(Object* o, PWDF_OBJECT_ATTRIBUTES attributes, Object* default_parent) {
  // Framework objects are created at DISPATCH_LEVEL at most (some, such as
  // the driver and device objects, only at PASSIVE_LEVEL: checked by them).
  // Source: the IRQL line of each WdfXxxCreate reference page, e.g. "WdfSpinLockCreate function
  // (wdfsync.h)".
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    verifier::fail(std::string("a ") + kind_name(o->kind) + " created above DISPATCH_LEVEL");
  }
  // Our own choice: fault injection for every object created.
  // Every framework object costs the framework an allocation.
  if (verifier::injected_failure()) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  Object* parent = default_parent;
  if (attributes != nullptr) {
    // Source: wdfobject.h: WDF_OBJECT_ATTRIBUTES_INIT sets Size; our own choice to report a wrong
    // one.
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
      verifier::fail("WDF_OBJECT_ATTRIBUTES with a wrong Size");
      return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (attributes->ParentObject != nullptr) {
      parent = static_cast<Object*>(attributes->ParentObject);
      // Source: "WdfObjectDelete function (wdfobject.h)": an invalid object handle is a bug check;
      // here a failure.
      if (live().count(parent) == 0) {
        verifier::fail("object attributes name a parent that is not a live WDF object");
        return STATUS_INVALID_PARAMETER;
      }
    }
    o->cleanup = attributes->EvtCleanupCallback;
    o->destroy = attributes->EvtDestroyCallback;
  }
  ULONG tag = driver_tag();
  if (attributes != nullptr && attributes->ContextTypeInfo != nullptr) {
    size_t size = attributes->ContextTypeInfo->ContextSize;
    // Source: wdfobject.h: ContextSizeOverride overrides the type's ContextSize; taking the larger
    // of the two is our own choice.
    if (attributes->ContextSizeOverride > size) size = attributes->ContextSizeOverride;
    void* mem = ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), size == 0 ? 1 : size, tag);
    if (mem == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(mem, 0, size == 0 ? 1 : size);
    o->contexts.push_back({attributes->ContextTypeInfo->UniqueType, mem});
  }
  verifier::pool_note_alloc(o, tag, sizeof(*o));
  o->parent = parent;
  if (parent != nullptr) parent->children.push_back(o);
  live().insert(o);
  g_live_generation.fetch_add(1, std::memory_order_acq_rel);
  return STATUS_SUCCESS;
}

void discard(Object* o) {
  delete o;
}

namespace {

// Deleted objects' memory is held back for a while, as Driver Verifier's
// special pool does, so that a stale handle does not come back to life as
// the handle of a new object at the same address (and is reported).
// Our own choice: how long memory is held back (kHeld objects).
void quarantine(Object* o) {
  static auto* held = new std::deque<void*>();
  constexpr size_t kHeld = 4096;
  o->~Object();
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  held->push_back(o);
  if (held->size() > kHeld) {
    ::operator delete(held->front());
    held->pop_front();
  }
}

}  // namespace

void destroy(Object* o) {
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  // Source: "WdfObjectDelete function (wdfobject.h)": an object goes with its children, in no
  // order Windows promises; last-created first and cleanup before destroy here (our own choice).
  while (!o->children.empty()) destroy(o->children.back());
  if (o->cleanup != nullptr) o->cleanup(o);
  if (o->destroy != nullptr) o->destroy(o);
  if (o->parent != nullptr) {
    auto& c = o->parent->children;
    for (auto it = c.begin(); it != c.end(); ++it) {
      if (*it == o) {
        c.erase(it);
        break;
      }
    }
  }
  ULONG tag = driver_tag();
  for (auto& ctx : o->contexts) ExFreePoolWithTag(ctx.memory, tag);
  live().erase(o);
  g_live_generation.fetch_add(1, std::memory_order_acq_rel);
  verifier::pool_note_free(o, 0);
  if (o == g_driver) g_driver = nullptr;
  quarantine(o);
}

Object* lookup(const void* handle, Kind kind, const char* api) {
  CheckedHandles& c = t_checked;
  const uint64_t generation = g_live_generation.load(std::memory_order_acquire);
  CheckedHandles::Slot& slot = c.slot[CheckedHandles::index(handle)];
  if (c.generation == generation && handle != nullptr && slot.handle == handle &&
      (slot.kind == kind || kind == Kind::Generic)) {
    return static_cast<Object*>(const_cast<void*>(handle));
  }
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  const Object* o = static_cast<const Object*>(handle);
  // Source: "WdfObjectDelete function (wdfobject.h)": a bug check follows an invalid or deleted
  // handle; here a failure.
  if (handle == nullptr || live().count(o) == 0) {
    verifier::fail(std::string(api) + " called with an invalid or deleted handle");
    return nullptr;
  }
  // Our own choice: a handle of another object type is reported.
  if (o->kind != kind && !(kind == Kind::Generic)) {
    verifier::fail(std::string(api) + " called with a " + kind_name(o->kind) + " instead of a " +
                   kind_name(kind));
    return nullptr;
  }
  const uint64_t now = g_live_generation.load(std::memory_order_acquire);
  if (c.generation != now) {
    for (CheckedHandles::Slot& s : c.slot) s = CheckedHandles::Slot{};
    c.generation = now;
  }
  if (slot.handle != handle) slot = CheckedHandles::Slot{handle, o->kind};
  return const_cast<Object*>(o);
}

// The context of a type, from the thread's checked handles when it is
// there; null when the object has none of that type.
void* context_of(const void* handle, const void* type) {
  Object* o = lookup(handle, Kind::Generic, "WdfObjectGetTypedContext");
  if (o == nullptr || type == nullptr) return nullptr;
  CheckedHandles& c = t_checked;
  CheckedHandles::Slot& slot = c.slot[CheckedHandles::index(handle)];
  const bool cached =
      slot.handle == handle && c.generation == g_live_generation.load(std::memory_order_acquire);
  if (cached && slot.context_type == type) return slot.context;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  void* memory = nullptr;
  for (auto& ctx : o->contexts) {
    if (ctx.type == type) {
      memory = ctx.memory;
      break;
    }
  }
  if (cached && memory != nullptr) {
    slot.context_type = type;
    slot.context = memory;
  }
  return memory;
}

PDEVICE_OBJECT device_pdo(WDFDEVICE device) {
  DeviceObj* d = as<DeviceObj>(device, Kind::Device, "WDF device");
  return d == nullptr ? nullptr : d->pdo;
}

}  // namespace korvel::sim::wdf

using namespace korvel::sim::wdf;

extern "C" {

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
  return context_of(Handle, TypeInfo == nullptr ? nullptr : TypeInfo->UniqueType);
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
  *Object = nullptr;
  auto* o = new korvel::sim::wdf::Object(Kind::Generic);
  NTSTATUS s = attach(o, Attributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(o);
    return s;
  }
  *Object = o;
  return STATUS_SUCCESS;
}

void WdfObjectDelete(WDFOBJECT Object) {
  // Source: "WdfObjectDelete function (wdfobject.h)": IRQL <= DISPATCH_LEVEL.
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("WdfObjectDelete above DISPATCH_LEVEL");
  korvel::sim::wdf::Object* o = lookup(Object, Kind::Generic, "WdfObjectDelete");
  if (o == nullptr) return;
  // The framework deletes these itself (the driver object goes with
  // WdfDriverMiniportUnload).
  // Source: "WdfObjectDelete function (wdfobject.h)": drivers cannot delete WDFDRIVER, WDFUSBPIPE
  // or WDFUSBINTERFACE.
  if (o->kind == Kind::UsbInterface || o->kind == Kind::UsbPipe || o->kind == Kind::Driver) {
    verifier::fail("WdfObjectDelete of an object the framework owns");
    return;
  }
  destroy(o);
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context) {
  korvel::sim::wdf::Object* o = lookup(Handle, Kind::Generic, "WdfObjectAllocateContext");
  if (o == nullptr || ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  for (auto& ctx : o->contexts) {
    // Source: wdfobject.h: WdfObjectAllocateContext; STATUS_OBJECT_NAME_COLLISION for a type the
    // object already has.
    if (ctx.type == ContextAttributes->ContextTypeInfo->UniqueType) return STATUS_OBJECT_NAME_COLLISION;
  }
  size_t size = ContextAttributes->ContextTypeInfo->ContextSize;
  void* mem =
      ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), size == 0 ? 1 : size, driver_tag());
  if (mem == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(mem, 0, size == 0 ? 1 : size);
  o->contexts.push_back({ContextAttributes->ContextTypeInfo->UniqueType, mem});
  g_live_generation.fetch_add(1, std::memory_order_acq_rel);  // checked contexts look again
  if (Context != nullptr) *Context = mem;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Driver and miniport device
// ---------------------------------------------------------------------------
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver) {
  if (Driver != nullptr) *Driver = nullptr;
  // Source: "WdfDriverCreate function (wdfdriver.h)": called from DriverEntry; the Size check is
  // wdfdriver.h's WDF_DRIVER_CONFIG_INIT.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("WdfDriverCreate above PASSIVE_LEVEL");
  if (DriverObject == nullptr || DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  // Source: "WdfDriverCreate function (wdfdriver.h)": a second call fails with
  // STATUS_DRIVER_INTERNAL_ERROR.
  if (g_driver != nullptr) return STATUS_DRIVER_INTERNAL_ERROR;
  auto* d = new DriverObj();
  d->wdm = DriverObject;
  d->config = *DriverConfig;
  g_driver = d;  // so that the driver's own allocations carry its tag
  NTSTATUS s = attach(d, DriverAttributes, nullptr);
  if (!NT_SUCCESS(s)) {
    g_driver = nullptr;
    discard(d);
    return s;
  }
  if (Driver != nullptr) *Driver = reinterpret_cast<WDFDRIVER>(static_cast<korvel::sim::wdf::Object*>(d));
  return STATUS_SUCCESS;
}

void WdfDriverMiniportUnload(WDFDRIVER Driver) {
  // Source: wdfminiport.h: WdfDriverMiniportUnload, for drivers created with
  // WdfDriverInitNoDispatchOverride; the IRQL is our own choice (it runs from the driver's Unload
  // routine).
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("WdfDriverMiniportUnload above PASSIVE_LEVEL");
  DriverObj* d = as<DriverObj>(Driver, Kind::Driver, "WdfDriverMiniportUnload");
  if (d == nullptr) return;
  if (!(d->config.DriverInitFlags & WdfDriverInitNoDispatchOverride)) {
    verifier::fail("WdfDriverMiniportUnload for a driver that is not a miniport");
  }
  destroy(d);
}

WDFDRIVER WdfGetDriver(void) {
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  return g_driver == nullptr ? nullptr
                             : reinterpret_cast<WDFDRIVER>(static_cast<korvel::sim::wdf::Object*>(g_driver));
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
  DriverObj* d = as<DriverObj>(Driver, Kind::Driver, "WdfDriverWdmGetDriverObject");
  return d == nullptr ? nullptr : d->wdm;
}

NTSTATUS WdfDeviceMiniportCreate(WDFDRIVER Driver, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT AttachedDeviceObject,
                                 PDEVICE_OBJECT Pdo, WDFDEVICE* Device) {
  *Device = nullptr;
  DriverObj* d = as<DriverObj>(Driver, Kind::Driver, "WdfDeviceMiniportCreate");
  if (d == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  // Source: wdfminiport.h: WdfDeviceMiniportCreate, _IRQL_requires_max_(PASSIVE_LEVEL), for miniport
  // drivers (WdfDriverInitNoDispatchOverride); the status for others is our own choice.
  if (!(d->config.DriverInitFlags & WdfDriverInitNoDispatchOverride)) return STATUS_INVALID_DEVICE_REQUEST;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("WdfDeviceMiniportCreate above PASSIVE_LEVEL");
  auto* dev = new DeviceObj();
  dev->fdo = DeviceObject;
  dev->attached = AttachedDeviceObject;
  dev->pdo = Pdo;
  NTSTATUS s = attach(dev, Attributes, d);
  if (!NT_SUCCESS(s)) {
    discard(dev);
    return s;
  }
  *Device = reinterpret_cast<WDFDEVICE>(static_cast<korvel::sim::wdf::Object*>(dev));
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
  DeviceObj* d = as<DeviceObj>(Device, Kind::Device, "WdfDeviceWdmGetDeviceObject");
  return d == nullptr ? nullptr : d->fdo;
}

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------
NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                         size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
  *Memory = nullptr;
  if (Buffer != nullptr) *Buffer = nullptr;
  // Source: wdfmemory.h: WdfMemoryCreate; a zero BufferSize is refused (our own choice of status);
  // PoolTag 0 takes the driver's tag (WDF_DRIVER_CONFIG DriverPoolTag).
  if (BufferSize == 0) return STATUS_INVALID_PARAMETER;
  ULONG tag = PoolTag != 0 ? PoolTag : driver_tag();
  auto* m = new MemoryObj();
  m->tag = tag;
  m->size = BufferSize;
  m->buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
  if (m->buffer == nullptr) {
    discard(m);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS s = attach(m, Attributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(m);
    return s;
  }
  *Memory = reinterpret_cast<WDFMEMORY>(static_cast<korvel::sim::wdf::Object*>(m));
  if (Buffer != nullptr) *Buffer = m->buffer;
  return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
  MemoryObj* m = as<MemoryObj>(Memory, Kind::Memory, "WdfMemoryGetBuffer");
  if (m == nullptr) return nullptr;
  if (BufferSize != nullptr) *BufferSize = m->size;
  return m->buffer;
}

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
  *SpinLock = nullptr;
  auto* l = new SpinLockObj();
  NTSTATUS s = attach(l, SpinLockAttributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(l);
    return s;
  }
  *SpinLock = reinterpret_cast<WDFSPINLOCK>(static_cast<korvel::sim::wdf::Object*>(l));
  return STATUS_SUCCESS;
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
  SpinLockObj* l = as<SpinLockObj>(SpinLock, Kind::SpinLock, "WdfSpinLockAcquire");
  if (l == nullptr) return;
  // Source: "WdfSpinLockAcquire function (wdfsync.h)": IRQL <= DISPATCH_LEVEL, returns at
  // DISPATCH_LEVEL. A second acquire by the holder: our own choice to report.
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    verifier::fail("WdfSpinLockAcquire above DISPATCH_LEVEL");
    return;
  }
  if (l->owner == std::this_thread::get_id()) {
    verifier::fail("WdfSpinLockAcquire of a spin lock the thread already holds");
    return;
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  l->m.lock();
  l->owner = std::this_thread::get_id();
  l->saved = old;
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
  SpinLockObj* l = as<SpinLockObj>(SpinLock, Kind::SpinLock, "WdfSpinLockRelease");
  if (l == nullptr) return;
  // Source: "WdfSpinLockRelease function (wdfsync.h)": the holder releases, at DISPATCH_LEVEL.
  if (l->owner != std::this_thread::get_id()) {
    verifier::fail("WdfSpinLockRelease by a thread that does not hold the lock");
    return;
  }
  // The lock is released at the DISPATCH_LEVEL it was taken at: whatever
  // lowered the IRQL meanwhile (another lock released out of order) broke it.
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
    verifier::fail("WdfSpinLockRelease at IRQL " + std::to_string(int(KeGetCurrentIrql())) +
                   " (a spin lock is released at DISPATCH_LEVEL)");
  }
  KIRQL saved = l->saved;
  l->owner = std::thread::id();
  l->m.unlock();
  KeLowerIrql(saved);
}

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
  *Lock = nullptr;
  auto* l = new WaitLockObj();
  KeInitializeEvent(&l->free_event, SynchronizationEvent, TRUE);
  NTSTATUS s = attach(l, LockAttributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(l);
    return s;
  }
  *Lock = reinterpret_cast<WDFWAITLOCK>(static_cast<korvel::sim::wdf::Object*>(l));
  return STATUS_SUCCESS;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
  WaitLockObj* l = as<WaitLockObj>(Lock, Kind::WaitLock, "WdfWaitLockAcquire");
  if (l == nullptr) return STATUS_INVALID_PARAMETER;
  // Source: "WdfWaitLockAcquire function (wdfsync.h)".
  // PASSIVE_LEVEL when it may wait; below DISPATCH_LEVEL for a zero time-out.
  const KIRQL irql = KeGetCurrentIrql();
  if ((Timeout == nullptr || *Timeout != 0) ? irql != PASSIVE_LEVEL : irql >= DISPATCH_LEVEL) {
    verifier::fail(std::string("WdfWaitLockAcquire with ") + (Timeout == nullptr ? "no" : "a") +
                   " time-out at IRQL " + std::to_string(int(irql)));
  }
  LARGE_INTEGER t;
  PLARGE_INTEGER pt = nullptr;
  if (Timeout != nullptr) {
    t.QuadPart = *Timeout;
    pt = &t;
  }
  return kernel::wait_for_object(&l->free_event, pt);
}

void WdfWaitLockRelease(WDFWAITLOCK Lock) {
  WaitLockObj* l = as<WaitLockObj>(Lock, Kind::WaitLock, "WdfWaitLockRelease");
  if (l == nullptr) return;
  // Source: "WdfWaitLockRelease function (wdfsync.h)": IRQL <= DISPATCH_LEVEL; releasing a free
  // lock is our own check.
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("WdfWaitLockRelease above DISPATCH_LEVEL");
  if (KeReadStateEvent(&l->free_event) != 0) {
    verifier::fail("WdfWaitLockRelease of a wait lock that is not held");
    return;
  }
  KeSetEvent(&l->free_event, IO_NO_INCREMENT, FALSE);
}

// ---------------------------------------------------------------------------
// Collections
// ---------------------------------------------------------------------------
NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection) {
  *Collection = nullptr;
  auto* c = new CollectionObj();
  NTSTATUS s = attach(c, CollectionAttributes, driver_object());
  if (!NT_SUCCESS(s)) {
    discard(c);
    return s;
  }
  *Collection = reinterpret_cast<WDFCOLLECTION>(static_cast<korvel::sim::wdf::Object*>(c));
  return STATUS_SUCCESS;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionGetCount");
  if (c == nullptr) return 0;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  return ULONG(c->items.size());
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionAdd");
  if (c == nullptr || lookup(Object, Kind::Generic, "WdfCollectionAdd") == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  // Our own choice: a 32-byte entry per item, so that the pool accounting sees the collection grow.
  // The framework allocates a list entry per item, with the driver's tag.
  char* entry = new char[32];
  verifier::pool_note_alloc(entry, driver_tag(), 32);
  c->items.push_back({Object, entry});
  return STATUS_SUCCESS;
}

void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionRemoveItem");
  if (c == nullptr) return;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  if (Index >= c->items.size()) {
    // Our own choice: an index past the end is reported.
    verifier::fail("WdfCollectionRemoveItem with an index beyond the collection");
    return;
  }
  verifier::pool_note_free(c->items[Index].entry, 0);
  delete[] c->items[Index].entry;
  c->items.erase(c->items.begin() + Index);
}

void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionRemove");
  if (c == nullptr) return;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  for (ULONG i = 0; i < c->items.size(); ++i) {
    if (c->items[i].item == Item) {
      WdfCollectionRemoveItem(Collection, i);
      return;
    }
  }
  // Our own choice: removing an absent item is reported.
  verifier::fail("WdfCollectionRemove of an item that is not in the collection");
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionGetItem");
  if (c == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  // Our own choice: NULL for an index out of range.
  return Index < c->items.size() ? c->items[Index].item : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
  return WdfCollectionGetItem(Collection, 0);
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
  CollectionObj* c = as<CollectionObj>(Collection, Kind::Collection, "WdfCollectionGetLastItem");
  if (c == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  return c->items.empty() ? nullptr : c->items.back().item;
}

// ---- I/O targets, requests, USB pipes and URBs ----
// Requests, the I/O targets of USB pipes and the URB path live in wdf_io.cpp.

}  // extern "C"
