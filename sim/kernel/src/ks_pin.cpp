// Kernel-streaming class driver stand-in: filter and pin instances, their
// property and intersection dispatch, the pin's frame queue with its
// leading-edge and clone stream pointers, and the processing worker that
// calls the pin's process dispatch (asynchronously, as AVStream's work items
// do, only in KSSTATE_RUN). Memory of these objects belongs to the class
// driver: it is not counted as the minidriver's pool.
// Processing in KSSTATE_RUN only, whatever the pin's flags, is our own choice
// (KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY of "KSPIN_DESCRIPTOR_EX structure
// (ks.h)" for every pin).
#include <ks.h>
#include <ntddk.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "internal.h"
#include "kernel/clock.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"

using korvel::sim::Clock;
namespace verifier = korvel::sim::verifier;

namespace {

constexpr uint32_t kFilterMagic = 0x544C4946;  // "FILT"
constexpr uint32_t kPinMagic = 0x4E495053;     // "SPIN"
constexpr ULONG kIoctlKsProperty = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);

struct ObjectHeader {
  uint32_t magic;
  PKSDEVICE device;
};

struct PinObj;

// A mutex on the simulated clock, so that a thread that waits for it lets
// virtual time go on.
struct ClockMutex {
  bool held = false;
  void lock() {
    Clock::instance().wait(
        [this] {
          if (held) return false;
          held = true;
          return true;
        },
        Clock::kForever);
  }
  void unlock() {
    Clock::instance().signal([this] { held = false; });
  }
};

// Filter control mutexes the thread holds (the device mutex is not to be
// taken under one: "Mutexes in AVStream", Microsoft Learn).
thread_local int t_filter_controls = 0;

struct ControlMutex {
  ClockMutex m;
  void lock() {
    m.lock();
    ++t_filter_controls;
  }
  void unlock() {
    --t_filter_controls;
    m.unlock();
  }
};

struct FilterObj {
  ObjectHeader header;
  KSFILTER filter;
  std::vector<PinObj*> pins;
  // The filter control mutex: state and format changes of its pins, one at
  // a time. Processing does not take it (AVStream's process mutex is another).
  // Source: "Filter Control Mutex in AVStream" and "Processing Mutex in
  // AVStream" (Microsoft Learn).
  ControlMutex control;
};

struct Frame {
  KSSTREAM_HEADER* header;
  int clones = 0;       // clone stream pointers on the frame
  bool passed = false;  // the leading edge has left it
  ULONG written = 0;    // output frames: bytes the pin filled
};

struct PointerObj {
  KSSTREAM_POINTER sp;  // first: the driver's pointer is this record
  PinObj* pin = nullptr;
  Frame* frame = nullptr;
  bool leading = false;
  bool locked = false;
  std::vector<uint8_t> context;
};

struct PinObj {
  ObjectHeader header;
  KSPIN pin;
  FilterObj* filter = nullptr;
  std::vector<uint8_t> format;  // the connection format

  std::mutex m;  // frames and stream pointers
  std::list<Frame> frames;
  std::list<Frame>::iterator lead;  // frames.end(): waiting for a frame
  PointerObj leading;
  std::set<PointerObj*> clones;
  std::deque<KSSTREAM_HEADER*> completed;
  std::atomic<uint64_t> completions{0};

  // Processing: guarded by the clock's lock.
  ClockMutex processing;
  bool requested = false;
  bool closing = false;
  bool worker_ended = false;
  KSSTATE state = KSSTATE_STOP;
  std::thread worker;
};

std::mutex g_objects_m;
// Live pins and filters: the KSPIN or KSFILTER record to its object.
std::map<const void*, ObjectHeader*>& live_objects() {
  static auto* s = new std::map<const void*, ObjectHeader*>();
  return *s;
}

ObjectHeader* header_of(const void* object) {
  if (object == nullptr) return nullptr;
  std::lock_guard<std::mutex> g(g_objects_m);
  auto it = live_objects().find(object);
  return it != live_objects().end() ? it->second : nullptr;
}

PinObj* pin_of(const void* object) {
  ObjectHeader* h = header_of(object);
  return h != nullptr && h->magic == kPinMagic ? reinterpret_cast<PinObj*>(h) : nullptr;
}

FilterObj* filter_of(const void* object) {
  ObjectHeader* h = header_of(object);
  return h != nullptr && h->magic == kFilterMagic ? reinterpret_cast<FilterObj*>(h) : nullptr;
}

bool takes_data(const PinObj* p) {
  return p->pin.DataFlow == KSPIN_DATAFLOW_IN;
}

// Points a stream pointer at the start (plus `done` bytes) of a frame.
void aim(PointerObj* p, Frame* f, ULONG done) {
  p->frame = f;
  KSSTREAM_POINTER* sp = &p->sp;
  sp->StreamHeader = f != nullptr ? f->header : nullptr;
  std::memset(&sp->OffsetIn, 0, sizeof(sp->OffsetIn));
  std::memset(&sp->OffsetOut, 0, sizeof(sp->OffsetOut));
  if (f == nullptr) return;
  KSSTREAM_POINTER_OFFSET* o = takes_data(p->pin) ? &sp->OffsetIn : &sp->OffsetOut;
  ULONG count = takes_data(p->pin) ? f->header->DataUsed : f->header->FrameExtent;
  if (done > count) done = count;
  o->Data = static_cast<PUCHAR>(f->header->Data) + done;
  o->Count = count;
  o->Remaining = count - done;
  sp->Offset = o;
}

// Frames at the head of the queue that nothing refers to any more go back
// to the client, in order. Called with the pin's mutex held.
// Source: "KsStreamPointerDelete function (ks.h)" (Microsoft Learn): a frame
// nothing refers to is completed. Completing in queue order is our own choice.
bool complete_frames(PinObj* p) {
  bool any = false;
  while (!p->frames.empty()) {
    Frame& f = p->frames.front();
    if (!f.passed || f.clones != 0) break;
    if (!takes_data(p)) f.header->DataUsed = f.written;
    p->completed.push_back(f.header);
    p->frames.pop_front();
    any = true;
  }
  if (any) p->completions.fetch_add(1);
  return any;
}

void notify_completions() {
  Clock::instance().signal([] {});
}

// Source: the stream pointer and pin functions' pages ("KsStreamPointerClone
// function (ks.h)" and the others, Microsoft Learn): IRQL <= DISPATCH_LEVEL.
void check_dispatch(const char* api) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail(std::string(api) + " above DISPATCH_LEVEL");
}

// Live stream pointers: the leading edges of live pins and the clones not
// yet deleted. A pointer used after its clone was deleted (or its pin
// closed) is reported, not followed (our own check).
std::mutex g_pointers_m;
std::set<const void*>& live_pointers() {
  static auto* s = new std::set<const void*>();
  return *s;
}

void note_pointer(const PointerObj* p, bool live) {
  std::lock_guard<std::mutex> g(g_pointers_m);
  if (live) {
    live_pointers().insert(p);
  } else {
    live_pointers().erase(p);
  }
}

PointerObj* pointer_of(PKSSTREAM_POINTER sp, const char* api) {
  {
    std::lock_guard<std::mutex> g(g_pointers_m);
    if (sp != nullptr && live_pointers().count(sp) != 0) return reinterpret_cast<PointerObj*>(sp);
  }
  verifier::fail(std::string(api) + " of a stream pointer that is not live (a deleted clone?)");
  return nullptr;
}

// The leading edge leaves its frame for the next one (locked if any).
// Source: "KsStreamPointerAdvanceOffsets function (ks.h)" (Microsoft Learn):
// STATUS_DEVICE_NOT_READY when no frame can be locked after the advance.
NTSTATUS leading_next(PinObj* p) {
  PointerObj* l = &p->leading;
  if (p->lead != p->frames.end()) {
    Frame& f = *p->lead;
    KSSTREAM_POINTER_OFFSET* o = takes_data(p) ? &l->sp.OffsetIn : &l->sp.OffsetOut;
    if (!takes_data(p)) f.written = o->Count - o->Remaining;
    f.passed = true;
    ++p->lead;
  }
  if (p->lead == p->frames.end()) {
    aim(l, nullptr, 0);
    l->locked = false;
    return STATUS_DEVICE_NOT_READY;
  }
  aim(l, &*p->lead, 0);
  return STATUS_SUCCESS;
}

void request_processing(PinObj* p) {
  Clock::instance().signal([p] { p->requested = true; });
}

void worker_main(PinObj* p, void* ticket) {
  Clock::instance().adopt_current_thread(ticket);
  for (;;) {
    bool closing = false;
    Clock::instance().wait(
        [p, &closing] {
          if (p->closing) {
            closing = true;
            return true;
          }
          if (p->requested && p->state == KSSTATE_RUN) {
            p->requested = false;
            return true;
          }
          return false;
        },
        Clock::kForever);
    if (closing) {
      Clock::instance().signal([p] { p->worker_ended = true; });
      return;
    }
    p->processing.lock();
    bool run = false;
    Clock::instance().locked([p, &run] { run = p->state == KSSTATE_RUN; });
    const KSPIN_DISPATCH* d = p->pin.Descriptor->Dispatch;
    if (run && d != nullptr && d->Process != nullptr) {
      // A pin that asked for dispatch-level processing gets it.
      // Source: "KSPIN_DESCRIPTOR_EX structure (ks.h)" (Microsoft Learn):
      // KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING. Processing runs under the pin's
      // processing mutex ("Processing Mutex in AVStream").
      KIRQL old = PASSIVE_LEVEL;
      const bool raise = (p->pin.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0;
      if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
      d->Process(&p->pin);
      if (raise) KeLowerIrql(old);
    }
    p->processing.unlock();
  }
}

void stop_worker(PinObj* p) {
  Clock::instance().signal([p] { p->closing = true; });
  if (!p->worker.joinable()) return;
  // The worker runs in its turn: its end is waited for in the clock, then
  // the join finds it leaving.
  Clock::instance().wait([p] { return p->worker_ended; }, Clock::kForever);
  p->worker.join();
}

const KSPIN_DESCRIPTOR_EX* pin_descriptor(const KSFILTER* filter, ULONG id) {
  const KSFILTER_DESCRIPTOR* d = filter->Descriptor;
  if (d == nullptr || id >= d->PinDescriptorsCount) return nullptr;
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const char*>(d->PinDescriptors) +
                                                      size_t(id) * d->PinDescriptorSize);
}

// Source: ks.h: the wildcard format GUIDs are GUID_NULL
// (KSDATAFORMAT_TYPE_WILDCARD and the others).
bool guid_matches(const GUID& a, const GUID& b) {
  static const GUID null{};
  return IsEqualGUID(a, b) || IsEqualGUID(a, null) || IsEqualGUID(b, null);
}

// The first data range of a pin that matches the client's (attribute lists
// that follow ranges with KSDATARANGE_ATTRIBUTES skipped, ks.h: KSDATARANGE).
// Taking the first match as the pin's range is our own choice.
const KSDATARANGE* matching_range(const KSPIN_DESCRIPTOR_EX* pd, const KSDATAFORMAT* format) {
  const KSPIN_DESCRIPTOR& p = pd->PinDescriptor;
  for (ULONG i = 0; i < p.DataRangesCount; ++i) {
    const KSDATARANGE* r = p.DataRanges[i];
    if (r->Flags & KSDATARANGE_ATTRIBUTES) ++i;
    if (guid_matches(r->MajorFormat, format->MajorFormat) && guid_matches(r->SubFormat, format->SubFormat) &&
        guid_matches(r->Specifier, format->Specifier)) {
      return r;
    }
  }
  return nullptr;
}

// A KSPROPERTY request through the object's automation table (ks.h:
// KSAUTOMATION_TABLE, KSPROPERTY_SET, KSPROPERTY_ITEM): the item of the set
// and id, its MinProperty and MinData, the handler of the request's type.
// The statuses for an unknown item, a short request or buffer, the size query
// with an empty buffer and the basic-support answer without a handler are our
// own choice.
NTSTATUS property(const KSAUTOMATION_TABLE* table, void* object_header, void* request, ULONG request_length,
                  void* data, ULONG data_length, ULONG* bytes) {
  *bytes = 0;
  if (request == nullptr || request_length < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
  KSPROPERTY* req = static_cast<KSPROPERTY*>(request);
  const KSPROPERTY_ITEM* item = nullptr;
  for (ULONG s = 0; table != nullptr && s < table->PropertySetsCount && item == nullptr; ++s) {
    const KSPROPERTY_SET& set = table->PropertySets[s];
    if (!IsEqualGUID(*set.Set, req->Set)) continue;
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
      const KSPROPERTY_ITEM* it = reinterpret_cast<const KSPROPERTY_ITEM*>(
          reinterpret_cast<const char*>(set.PropertyItem) + size_t(i) * table->PropertyItemSize);
      if (it->PropertyId == req->Id) {
        item = it;
        break;
      }
    }
  }
  if (item == nullptr) return STATUS_NOT_FOUND;
  if (request_length < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
  PFNKSHANDLER handler = nullptr;
  if (req->Flags & KSPROPERTY_TYPE_GET) {
    handler = item->GetPropertyHandler;
  } else if (req->Flags & KSPROPERTY_TYPE_SET) {
    handler = item->SetPropertyHandler;
  } else if (req->Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
    handler = item->SupportHandler;
    if (handler == nullptr) {
      if (data_length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
      ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                     (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
      *static_cast<ULONG*>(data) = access;
      *bytes = sizeof(ULONG);
      return STATUS_SUCCESS;
    }
  }
  if (handler == nullptr) return STATUS_NOT_FOUND;
  if (!(req->Flags & KSPROPERTY_TYPE_BASICSUPPORT) && item->MinData != 0 && data_length < item->MinData) {
    if (data_length == 0) {
      *bytes = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  FILE_OBJECT file{};
  file.FsContext = object_header;
  IO_STACK_LOCATION location{};
  location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  location.FileObject = &file;
  location.Parameters.DeviceIoControl.OutputBufferLength = data_length;
  location.Parameters.DeviceIoControl.InputBufferLength = request_length;
  location.Parameters.DeviceIoControl.IoControlCode = kIoctlKsProperty;
  location.Parameters.DeviceIoControl.Type3InputBuffer = request;
  IRP irp{};
  irp.Type = 6;
  irp.Size = sizeof(IRP);
  irp.StackCount = 1;
  irp.CurrentLocation = 1;
  irp.Tail.Overlay.CurrentStackLocation = &location;
  irp.UserBuffer = data;
  irp.AssociatedIrp.SystemBuffer = data;
  NTSTATUS status = handler(&irp, req, data);
  *bytes = ULONG(irp.IoStatus.Information);
  return status;
}

}  // namespace

namespace korvel::sim::kernel {

bool holds_filter_control() {
  return t_filter_controls != 0;
}

}  // namespace korvel::sim::kernel

namespace korvel::sim::kernel::ks {

PKSFILTER filter_create(PKSDEVICE device, size_t index, NTSTATUS* status) {
  std::vector<const KSFILTER_DESCRIPTOR*> descriptors = factory_descriptors(device);
  if (index >= descriptors.size()) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  auto* f = new FilterObj();
  f->header.magic = kFilterMagic;
  f->header.device = device;
  f->filter.Descriptor = descriptors[index];
  {
    std::lock_guard<std::mutex> g(g_objects_m);
    live_objects()[&f->filter] = &f->header;
  }
  *status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* d = f->filter.Descriptor->Dispatch;
  if (d != nullptr && d->Create != nullptr) {
    IRP irp{};
    *status = d->Create(&f->filter, &irp);
  }
  if (!NT_SUCCESS(*status)) {
    filter_close(&f->filter);
    return nullptr;
  }
  return &f->filter;
}

void filter_close(PKSFILTER filter) {
  FilterObj* f = filter_of(filter);
  if (f == nullptr) return;
  // Our own check: pins are closed before their filter.
  if (!f->pins.empty()) verifier::fail("a filter closed while it still has pins");
  const KSFILTER_DISPATCH* d = f->filter.Descriptor->Dispatch;
  if (d != nullptr && d->Close != nullptr) {
    IRP irp{};
    d->Close(&f->filter, &irp);
  }
  {
    std::lock_guard<std::mutex> g(g_objects_m);
    live_objects().erase(&f->filter);
  }
  delete f;
}

NTSTATUS filter_property(PKSFILTER filter, void* request, ULONG request_length, void* data, ULONG data_length,
                         ULONG* bytes) {
  FilterObj* f = filter_of(filter);
  if (f == nullptr) return STATUS_INVALID_HANDLE;
  return property(f->filter.Descriptor->AutomationTable, &f->header, request, request_length, data,
                  data_length, bytes);
}

NTSTATUS pin_property(PKSPIN pin, void* request, ULONG request_length, void* data, ULONG data_length,
                      ULONG* bytes) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return STATUS_INVALID_HANDLE;
  return property(p->pin.Descriptor->AutomationTable, &p->header, request, request_length, data, data_length,
                  bytes);
}

// KSPROPERTY_PIN_DATAINTERSECTION for one caller's range, as AVStream runs
// it ("KsPinDataIntersectionEx", "Data Range Intersections in AVStream"): the
// pin's ranges in order, those that match the caller's in major format,
// sub-format and specifier (a wildcard matches any), each handed to the
// pin's intersect handler until one answers other than STATUS_NO_MATCH. The
// caller's range must be at least a KSDATARANGE ("KsPinDataIntersection").
// A pin without a handler is intersected by the class driver; here (our own
// choice where the pages are silent) a range of that pin which is a bare
// KSDATARANGE with no wildcard is itself the format.
NTSTATUS pin_intersect(PKSFILTER filter, ULONG pin_id, const KSDATARANGE* range, void* data,
                       ULONG data_length, ULONG* bytes) {
  *bytes = 0;
  FilterObj* f = filter_of(filter);
  if (f == nullptr) return STATUS_INVALID_HANDLE;
  const KSPIN_DESCRIPTOR_EX* pd = pin_descriptor(&f->filter, pin_id);
  if (pd == nullptr || range == nullptr || range->FormatSize < sizeof(KSDATARANGE))
    return STATUS_INVALID_PARAMETER;
  KSP_PIN request{};
  request.PinId = pin_id;
  IRP irp{};
  const KSPIN_DESCRIPTOR& p = pd->PinDescriptor;
  static const GUID kWildcard{};
  for (ULONG i = 0; i < p.DataRangesCount; ++i) {
    KSDATARANGE* own = p.DataRanges[i];
    if (own->Flags & KSDATARANGE_ATTRIBUTES) ++i;  // its attribute list follows
    if (!guid_matches(own->MajorFormat, range->MajorFormat) ||
        !guid_matches(own->SubFormat, range->SubFormat) || !guid_matches(own->Specifier, range->Specifier)) {
      continue;
    }
    if (pd->IntersectHandler != nullptr) {
      const NTSTATUS result = pd->IntersectHandler(
          &f->filter, &irp, &request, const_cast<KSDATARANGE*>(range), own, data_length, data, bytes);
      if (result != STATUS_NO_MATCH) return result;
      continue;
    }
    if (own->FormatSize != sizeof(KSDATARANGE) || IsEqualGUID(own->MajorFormat, kWildcard) ||
        IsEqualGUID(own->SubFormat, kWildcard) || IsEqualGUID(own->Specifier, kWildcard))
      continue;
    *bytes = sizeof(KSDATAFORMAT);
    if (data_length == 0) return STATUS_BUFFER_OVERFLOW;
    if (data_length < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(data, own, sizeof(KSDATAFORMAT));
    static_cast<KSDATAFORMAT*>(data)->Flags = 0;
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

PKSPIN pin_create(PKSFILTER filter, ULONG pin_id, const KSDATAFORMAT* format, NTSTATUS* status) {
  FilterObj* f = filter_of(filter);
  const KSPIN_DESCRIPTOR_EX* pd = f != nullptr ? pin_descriptor(&f->filter, pin_id) : nullptr;
  if (pd == nullptr || format == nullptr) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  // Source: "KSPIN_DESCRIPTOR_EX structure (ks.h)" (Microsoft Learn):
  // InstancesPossible. STATUS_DEVICE_BUSY beyond it is our own choice.
  ULONG instances = 0;
  for (PinObj* other : f->pins) instances += other->pin.Id == pin_id ? 1 : 0;
  if (instances >= pd->InstancesPossible) {
    *status = STATUS_DEVICE_BUSY;
    return nullptr;
  }
  const KSDATARANGE* range = matching_range(pd, format);
  if (range == nullptr) {
    *status = STATUS_NO_MATCH;
    return nullptr;
  }
  auto* p = new PinObj();
  p->header.magic = kPinMagic;
  p->header.device = f->header.device;
  p->filter = f;
  // Our own choice: the copy of the format has room for a WAVEFORMATEX
  // specifier at least.
  p->format.assign(
      format->FormatSize < sizeof(KSDATAFORMAT) + 40 ? sizeof(KSDATAFORMAT) + 40 : format->FormatSize, 0);
  std::memcpy(p->format.data(), format, format->FormatSize);
  p->pin.Descriptor = pd;
  p->pin.Id = pin_id;
  p->pin.Communication = pd->PinDescriptor.Communication;
  p->pin.DataFlow = pd->PinDescriptor.DataFlow;
  p->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  p->pin.DeviceState = KSSTATE_STOP;
  p->pin.ClientState = KSSTATE_STOP;
  p->lead = p->frames.end();
  p->leading.pin = p;
  p->leading.leading = true;
  p->leading.sp.Pin = &p->pin;
  note_pointer(&p->leading, true);
  {
    std::lock_guard<std::mutex> g(g_objects_m);
    live_objects()[&p->pin] = &p->header;
  }
  *status = STATUS_SUCCESS;
  // As AVStream: the format is checked first (no old format: the pin's
  // create dispatch has not been made yet), then the pin is created; a
  // refused format creates nothing. Both under the filter control mutex,
  // which pin creation and destruction hold ("Filter Control Mutex in
  // AVStream"; ks.h: KSPIN_DISPATCH, SetDataFormat with no old format).
  const KSPIN_DISPATCH* d = pd->Dispatch;
  f->control.lock();
  if (d != nullptr && d->SetDataFormat != nullptr)
    *status = d->SetDataFormat(&p->pin, nullptr, nullptr, range, nullptr);
  if (NT_SUCCESS(*status) && d != nullptr && d->Create != nullptr) {
    IRP irp{};
    *status = d->Create(&p->pin, &irp);
  }
  f->control.unlock();
  if (!NT_SUCCESS(*status)) {
    note_pointer(&p->leading, false);
    std::lock_guard<std::mutex> g(g_objects_m);
    live_objects().erase(&p->pin);
    delete p;
    return nullptr;
  }
  f->pins.push_back(p);
  p->worker = std::thread(worker_main, p, Clock::instance().thread_created());
  return &p->pin;
}

NTSTATUS pin_set_format(PKSPIN pin, const KSDATAFORMAT* format) {
  PinObj* p = pin_of(pin);
  if (p == nullptr || format == nullptr) return STATUS_INVALID_PARAMETER;
  const KSDATARANGE* range = matching_range(p->pin.Descriptor, format);
  if (range == nullptr) return STATUS_NO_MATCH;
  std::vector<uint8_t> old = p->format;
  std::vector<uint8_t> next(
      format->FormatSize < sizeof(KSDATAFORMAT) + 40 ? sizeof(KSDATAFORMAT) + 40 : format->FormatSize, 0);
  std::memcpy(next.data(), format, format->FormatSize);
  p->filter->control.lock();
  p->format.swap(next);
  p->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* d = p->pin.Descriptor->Dispatch;
  if (d != nullptr && d->SetDataFormat != nullptr) {
    status = d->SetDataFormat(&p->pin, reinterpret_cast<PKSDATAFORMAT>(old.data()), nullptr, range, nullptr);
  }
  // Our own choice: a refused format leaves the old one in place.
  if (!NT_SUCCESS(status)) {
    p->format.swap(old);
    p->pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  }
  p->filter->control.unlock();
  return status;
}

NTSTATUS pin_set_state(PKSPIN pin, KSSTATE state) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return STATUS_INVALID_HANDLE;
  // KS knows four states; a client that steps past STOP or RUN is wrong.
  // Source: ks.h: KSSTATE.
  if (unsigned(state) > unsigned(KSSTATE_RUN)) {
    verifier::fail("a pin state change to a state that is not a KSSTATE");
    return STATUS_INVALID_PARAMETER;
  }
  // Under the filter control mutex only: the pin's process dispatch may run
  // meanwhile, as it may under AVStream ("Filter Control Mutex in AVStream":
  // it synchronizes state transitions).
  p->filter->control.lock();
  const KSSTATE from = p->pin.DeviceState;
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* d = p->pin.Descriptor->Dispatch;
  if (state != from && d != nullptr && d->SetDeviceState != nullptr)
    status = d->SetDeviceState(&p->pin, state, from);
  if (NT_SUCCESS(status)) {
    p->pin.DeviceState = state;
    p->pin.ClientState = state;
    bool completed = false;
    if (state == KSSTATE_STOP) {
      // The queue is flushed: every frame goes back to the client. The flush
      // waits for a process call under way (it holds the leading edge).
      // Our own choice, as are the clones reported left at STOP.
      p->processing.lock();
      std::lock_guard<std::mutex> g(p->m);
      if (!p->clones.empty()) verifier::fail("clone stream pointers left on a pin that stops");
      for (Frame& f : p->frames) f.passed = true;
      p->lead = p->frames.end();
      aim(&p->leading, nullptr, 0);
      p->leading.locked = false;
      completed = complete_frames(p);
      p->processing.unlock();
    }
    Clock::instance().signal([p, state] {
      p->state = state;
      if (state == KSSTATE_RUN) p->requested = true;
    });
    if (completed) notify_completions();
  }
  p->filter->control.unlock();
  return status;
}

// Our own choice: a closing pin steps down to STOP through each state.
void pin_close(PKSPIN pin) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return;
  while (p->pin.DeviceState != KSSTATE_STOP) {
    KSSTATE next = KSSTATE(int(p->pin.DeviceState) - 1);
    if (!NT_SUCCESS(pin_set_state(pin, next))) p->pin.DeviceState = next;
  }
  stop_worker(p);
  const KSPIN_DISPATCH* d = p->pin.Descriptor->Dispatch;
  p->filter->control.lock();
  if (d != nullptr && d->Close != nullptr) {
    IRP irp{};
    d->Close(&p->pin, &irp);
  }
  p->filter->control.unlock();
  auto& pins = p->filter->pins;
  for (auto it = pins.begin(); it != pins.end(); ++it) {
    if (*it == p) {
      pins.erase(it);
      break;
    }
  }
  note_pointer(&p->leading, false);
  {
    std::lock_guard<std::mutex> g(g_objects_m);
    for (PointerObj* c : p->clones) note_pointer(c, false);
    live_objects().erase(&p->pin);
  }
  delete p;
}

void pin_submit(PKSPIN pin, KSSTREAM_HEADER* header) {
  PinObj* p = pin_of(pin);
  if (p == nullptr || header == nullptr) return;
  bool was_empty = false;
  {
    std::lock_guard<std::mutex> g(p->m);
    p->frames.push_back(Frame{header});
    if (p->lead == p->frames.end()) {
      was_empty = true;
      p->lead = std::prev(p->frames.end());
      aim(&p->leading, &*p->lead, 0);
    }
  }
  // As AVStream: a frame that arrives into a queue with nothing left to
  // process initiates processing; one that arrives behind frames still
  // waiting does not (a pin that returned STATUS_PENDING asks again itself).
  // Source: "KSPIN_DESCRIPTOR_EX structure (ks.h)" (Microsoft Learn):
  // KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING.
  if (was_empty && !(p->pin.Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING)) request_processing(p);
}

KSSTREAM_HEADER* pin_take_completed(PKSPIN pin) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> g(p->m);
  if (p->completed.empty()) return nullptr;
  KSSTREAM_HEADER* h = p->completed.front();
  p->completed.pop_front();
  return h;
}

uint64_t pin_completions(PKSPIN pin) {
  PinObj* p = pin_of(pin);
  return p == nullptr ? 0 : p->completions.load();
}

size_t pin_queued(PKSPIN pin) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return 0;
  std::lock_guard<std::mutex> g(p->m);
  return p->frames.size();
}

size_t pin_clones(PKSPIN pin) {
  PinObj* p = pin_of(pin);
  if (p == nullptr) return 0;
  std::lock_guard<std::mutex> g(p->m);
  return p->clones.size();
}

}  // namespace korvel::sim::kernel::ks

extern "C" {

// Source: ks.h: KsGetDevice, KsPinGetParentFilter, KsGetFilterFromIrp,
// KsGetPinFromIrp. Which object an IRP's file object stands for is our own
// record (its FsContext).
PKSDEVICE KsGetDevice(PVOID Object) {
  ObjectHeader* h = header_of(Object);
  return h != nullptr ? h->device : nullptr;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
  PinObj* p = pin_of(Pin);
  return p != nullptr ? &p->filter->filter : nullptr;
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  if (Irp == nullptr || Irp->Tail.Overlay.CurrentStackLocation == nullptr) return nullptr;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file == nullptr || file->FsContext == nullptr) return nullptr;
  ObjectHeader* h = static_cast<ObjectHeader*>(file->FsContext);
  if (h->magic == kFilterMagic) return &reinterpret_cast<FilterObj*>(h)->filter;
  if (h->magic == kPinMagic) return &reinterpret_cast<PinObj*>(h)->filter->filter;
  return nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  if (Irp == nullptr || Irp->Tail.Overlay.CurrentStackLocation == nullptr) return nullptr;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file == nullptr || file->FsContext == nullptr) return nullptr;
  ObjectHeader* h = static_cast<ObjectHeader*>(file->FsContext);
  return h->magic == kPinMagic ? &reinterpret_cast<PinObj*>(h)->pin : nullptr;
}

// Source: ks.h: KsPinGetNextSiblingPin (the next pin of the same pin id).
PKSPIN KsPinGetNextSiblingPin(PKSPIN Pin) {
  PinObj* p = pin_of(Pin);
  if (p == nullptr) return nullptr;
  auto& pins = p->filter->pins;
  bool after = false;
  for (PinObj* other : pins) {
    if (after && other->pin.Id == p->pin.Id) return &other->pin;
    if (other == p) after = true;
  }
  return nullptr;
}

// Source: ks.h: KsPinAttemptProcessing. Processing is always asynchronous
// here (our own choice).
void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  check_dispatch("KsPinAttemptProcessing");
  PinObj* p = pin_of(Pin);
  if (p == nullptr) {
    verifier::fail("KsPinAttemptProcessing of a pin that is not a live pin");
    return;
  }
  request_processing(p);
}

// The mutex AVStream holds around the pin's process dispatch
// ("KsPinAcquireProcessingMutex": PASSIVE_LEVEL).
void KsPinAcquireProcessingMutex(PKSPIN Pin) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("KsPinAcquireProcessingMutex above PASSIVE_LEVEL");
  PinObj* p = pin_of(Pin);
  if (p == nullptr) {
    verifier::fail("KsPinAcquireProcessingMutex of a pin that is not a live pin");
    return;
  }
  p->processing.lock();
}

void KsPinReleaseProcessingMutex(PKSPIN Pin) {
  PinObj* p = pin_of(Pin);
  if (p == nullptr) {
    verifier::fail("KsPinReleaseProcessingMutex of a pin that is not a live pin");
    return;
  }
  p->processing.unlock();
}

// "KsPinGetAvailableByteCount": the bytes of input data (an input pin) or of
// output buffer (an output pin) from the leading edge to the end of the
// queue; the other count is 0 for a pin that does not transform in place.
NTSTATUS KsPinGetAvailableByteCount(PKSPIN Pin, PLONG InputDataBytes, PLONG OutputBufferBytes) {
  check_dispatch("KsPinGetAvailableByteCount");
  PinObj* p = pin_of(Pin);
  if (p == nullptr) return STATUS_INVALID_PARAMETER;
  uint64_t bytes = 0;
  {
    std::lock_guard<std::mutex> g(p->m);
    for (auto it = p->lead; it != p->frames.end(); ++it) {
      if (p->leading.frame == &*it) {
        bytes += takes_data(p) ? p->leading.sp.OffsetIn.Remaining : p->leading.sp.OffsetOut.Remaining;
      } else {
        bytes += takes_data(p) ? it->header->DataUsed : it->header->FrameExtent;
      }
    }
  }
  const LONG count = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : LONG(bytes);
  if (InputDataBytes != nullptr) *InputDataBytes = takes_data(p) ? count : 0;
  if (OutputBufferBytes != nullptr) *OutputBufferBytes = takes_data(p) ? 0 : count;
  return STATUS_SUCCESS;
}

// Source: ks.h: KsPinGetLeadingEdgeStreamPointer (NULL when the queue has no
// frame at the leading edge).
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  check_dispatch("KsPinGetLeadingEdgeStreamPointer");
  PinObj* p = pin_of(Pin);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> g(p->m);
  if (p->lead == p->frames.end()) return nullptr;
  if (p->leading.frame != &*p->lead) aim(&p->leading, &*p->lead, 0);
  p->leading.locked = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &p->leading.sp;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback,
                              ULONG ContextSize, PKSSTREAM_POINTER* CloneStreamPointer) {
  check_dispatch("KsStreamPointerClone");
  auto* source = pointer_of(StreamPointer, "KsStreamPointerClone");
  if (source == nullptr) return STATUS_INVALID_PARAMETER;
  PinObj* p = source->pin;
  std::lock_guard<std::mutex> g(p->m);
  if (source->frame == nullptr) return STATUS_DEVICE_NOT_READY;
  auto* c = new PointerObj();
  c->sp = source->sp;
  c->pin = p;
  c->frame = source->frame;
  // A clone starts on its source's frame, in its lock state, and holds a
  // reference on the frame ("KsStreamPointerClone function (ks.h)").
  c->locked = source->locked;
  c->context.assign(ContextSize, 0);
  c->sp.Context = ContextSize != 0 ? c->context.data() : nullptr;
  c->sp.Offset = takes_data(p) ? &c->sp.OffsetIn : &c->sp.OffsetOut;
  ++c->frame->clones;
  p->clones.insert(c);
  note_pointer(c, true);
  *CloneStreamPointer = &c->sp;
  return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
  check_dispatch("KsStreamPointerAdvance");
  auto* s = pointer_of(StreamPointer, "KsStreamPointerAdvance");
  if (s == nullptr) return STATUS_INVALID_PARAMETER;
  PinObj* p = s->pin;
  // Our own choice: clones stay on their frame (the driver here does not
  // advance one).
  if (!s->leading) return STATUS_DEVICE_NOT_READY;
  bool completed;
  NTSTATUS status;
  {
    std::lock_guard<std::mutex> g(p->m);
    status = leading_next(p);
    completed = complete_frames(p);
  }
  if (completed) notify_completions();
  return status;
}

NTSTATUS KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER StreamPointer, ULONG InUsed, ULONG OutUsed,
                                       BOOLEAN Eject) {
  check_dispatch("KsStreamPointerAdvanceOffsets");
  auto* s = pointer_of(StreamPointer, "KsStreamPointerAdvanceOffsets");
  if (s == nullptr) return STATUS_INVALID_PARAMETER;
  PinObj* p = s->pin;
  bool completed = false;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> g(p->m);
    // The offsets of an unlocked pointer name no data the caller may use.
    // Source: "KsStreamPointerAdvanceOffsets function (ks.h)" (Microsoft
    // Learn): the pointer is locked; an advance stays within Remaining; at 0
    // remaining (or Eject) the pointer moves to the next frame.
    if (!s->locked || s->frame == nullptr) {
      verifier::fail("KsStreamPointerAdvanceOffsets of a stream pointer that is not locked");
      return STATUS_DEVICE_NOT_READY;
    }
    KSSTREAM_POINTER_OFFSET* o = takes_data(p) ? &s->sp.OffsetIn : &s->sp.OffsetOut;
    ULONG used = takes_data(p) ? InUsed : OutUsed;
    if (used > o->Remaining) {
      verifier::fail("KsStreamPointerAdvanceOffsets beyond the end of the frame");
      used = o->Remaining;
    }
    o->Data += used;
    o->Remaining -= used;
    if (s->frame != nullptr && !takes_data(p)) {
      ULONG written = o->Count - o->Remaining;
      if (written > s->frame->written) s->frame->written = written;
    }
    if (s->leading && (o->Remaining == 0 || Eject)) {
      status = leading_next(p);
      completed = complete_frames(p);
    }
  }
  if (completed) notify_completions();
  return status;
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  check_dispatch("KsStreamPointerUnlock");
  auto* s = pointer_of(StreamPointer, "KsStreamPointerUnlock");
  if (s == nullptr) return;
  PinObj* p = s->pin;
  bool completed = false;
  {
    std::lock_guard<std::mutex> g(p->m);
    if (!s->locked) {
      verifier::fail("KsStreamPointerUnlock of a stream pointer that is not locked");
      return;
    }
    s->locked = false;
    // Eject: the leading edge moves on to the next frame, unlocked.
    // Source: ks.h: KsStreamPointerUnlock.
    if (Eject && s->leading) {
      leading_next(p);
      s->locked = false;
      completed = complete_frames(p);
    }
  }
  if (completed) notify_completions();
}

void KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  check_dispatch("KsStreamPointerDelete");
  auto* s = pointer_of(StreamPointer, "KsStreamPointerDelete");
  if (s == nullptr) return;
  PinObj* p = s->pin;
  // Source: "KsStreamPointerDelete function (ks.h)" (Microsoft Learn): only a
  // clone is deleted, never the leading edge.
  if (s->leading) {
    verifier::fail("KsStreamPointerDelete of the leading edge");
    return;
  }
  bool completed;
  {
    std::lock_guard<std::mutex> g(p->m);
    if (s->frame != nullptr) --s->frame->clones;
    p->clones.erase(s);
    completed = complete_frames(p);
  }
  note_pointer(s, false);
  delete s;
  if (completed) notify_completions();
}

}  // extern "C"
