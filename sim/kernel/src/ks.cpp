// Kernel-streaming class driver stand-in (ks.sys): driver initialisation,
// device add, the PnP and power dispatch that call the minidriver's
// KSDEVICE_DISPATCH, filter factories and the device mutex.
#include <ks.h>
#include <ntddk.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host_internal.h"
#include "internal.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"

namespace verifier = korvel::sim::verifier;
namespace kernel = korvel::sim::kernel;

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

namespace {

struct FactoryRecord {
  _KSFILTERFACTORY factory;
  std::u16string reference;
  ULONG flags;
  PKSDEVICE device;
};

struct DeviceHeader {
  KSDEVICE ks{};
  KMUTEX mutex;
  std::vector<std::unique_ptr<FactoryRecord>> factories;
};

struct KsState {
  std::mutex m;
  std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> drivers;
  std::vector<DeviceHeader*> devices;  // added and not yet removed
};

KsState& ks_state() {
  static KsState* s = new KsState();
  return *s;
}

// Our own choice: KS's functional device objects are told apart by their
// FILE_DEVICE_KS type, and their extension is the class driver's record.
DeviceHeader* header_of(PDEVICE_OBJECT fdo) {
  if (fdo == nullptr || fdo->DeviceType != FILE_DEVICE_KS) return nullptr;
  return static_cast<DeviceHeader*>(fdo->DeviceExtension);
}

const KSDEVICE_DISPATCH* dispatch_of(DeviceHeader* h) {
  return h->ks.Descriptor != nullptr ? h->ks.Descriptor->Dispatch : nullptr;
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The device add of KsInitializeDriver's AddDevice: the FDO goes on top of
// the PDO (wdm.h: IoAttachDeviceToDeviceStack, the new device's StackSize is
// the lower one's plus one), then the minidriver's Add dispatch (ks.h:
// KSDEVICE_DISPATCH); a failed Add leaves no device. DO_POWER_PAGABLE and
// the device record are our own choice.
NTSTATUS ks_add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  {
    std::lock_guard<std::mutex> g(ks_state().m);
    auto it = ks_state().drivers.find(driver);
    if (it == ks_state().drivers.end()) return STATUS_INVALID_DEVICE_REQUEST;
    descriptor = it->second;
  }
  auto* fdo = new DEVICE_OBJECT();
  auto* header = new DeviceHeader();
  fdo->Type = 3;
  fdo->Size = sizeof(DEVICE_OBJECT);
  fdo->DriverObject = driver;
  fdo->DeviceType = FILE_DEVICE_KS;
  fdo->DeviceExtension = header;
  fdo->StackSize = CHAR(pdo->StackSize + 1);
  fdo->Flags = DO_POWER_PAGABLE;
  KeInitializeMutex(&header->mutex, 0);
  header->ks.Descriptor = descriptor;
  header->ks.FunctionalDeviceObject = fdo;
  header->ks.PhysicalDeviceObject = pdo;
  header->ks.NextDeviceObject = pdo;
  header->ks.Started = FALSE;
  header->ks.SystemPowerState = PowerSystemWorking;
  header->ks.DevicePowerState = PowerDeviceD0;
  pdo->AttachedDevice = fdo;
  NTSTATUS status = STATUS_SUCCESS;
  const KSDEVICE_DISPATCH* d = dispatch_of(header);
  if (d != nullptr && d->Add != nullptr) status = d->Add(&header->ks);
  if (!NT_SUCCESS(status)) {
    pdo->AttachedDevice = nullptr;
    delete header;
    delete fdo;
    return status;
  }
  std::lock_guard<std::mutex> g(ks_state().m);
  ks_state().devices.push_back(header);
  return status;
}

void delete_device(PDEVICE_OBJECT fdo) {
  DeviceHeader* h = header_of(fdo);
  {
    std::lock_guard<std::mutex> g(ks_state().m);
    auto& d = ks_state().devices;
    for (auto it = d.begin(); it != d.end(); ++it) {
      if (*it == h) {
        d.erase(it);
        break;
      }
    }
  }
  if (h->ks.PhysicalDeviceObject != nullptr) h->ks.PhysicalDeviceObject->AttachedDevice = nullptr;
  delete h;
  delete fdo;
}

// PnP IRPs to the minidriver's KSDEVICE_DISPATCH (ks.h): Start then, when it
// succeeds, PostStart; the query IRPs return the minidriver's status, the
// others succeed. Stop and remove drop the filter factories (the
// KSCREATE_ITEM_FREEONSTOP behaviour of "KsCreateFilterFactory function
// (ks.h)", applied to every factory: our own choice). A minor function KS does
// not handle keeps the IRP's status (our own choice: no bus driver below).
NTSTATUS ks_dispatch_pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceHeader* h = header_of(fdo);
  if (h == nullptr) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  const KSDEVICE_DISPATCH* d = dispatch_of(h);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  PKSDEVICE dev = &h->ks;
  NTSTATUS status = irp->IoStatus.Status;
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = STATUS_SUCCESS;
      if (d != nullptr && d->Start != nullptr) status = d->Start(dev, irp, nullptr, nullptr);
      if (NT_SUCCESS(status)) {
        dev->Started = TRUE;
        dev->DevicePowerState = PowerDeviceD0;
        if (d != nullptr && d->PostStart != nullptr) status = d->PostStart(dev);
      }
      return complete(irp, status);
    case IRP_MN_QUERY_CAPABILITIES:
      status = STATUS_SUCCESS;
      if (d != nullptr && d->QueryCapabilities != nullptr) {
        status = d->QueryCapabilities(dev, irp, s->Parameters.DeviceCapabilities.Capabilities);
      }
      return complete(irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
      status = (d != nullptr && d->QueryStop != nullptr) ? d->QueryStop(dev, irp) : STATUS_SUCCESS;
      return complete(irp, status);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (d != nullptr && d->CancelStop != nullptr) d->CancelStop(dev, irp);
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
      if (d != nullptr && d->Stop != nullptr) d->Stop(dev, irp);
      h->factories.clear();
      dev->Started = FALSE;
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = (d != nullptr && d->QueryRemove != nullptr) ? d->QueryRemove(dev, irp) : STATUS_SUCCESS;
      return complete(irp, status);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (d != nullptr && d->CancelRemove != nullptr) d->CancelRemove(dev, irp);
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      if (d != nullptr && d->SurpriseRemoval != nullptr) d->SurpriseRemoval(dev, irp);
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      if (d != nullptr && d->Remove != nullptr) d->Remove(dev, irp);
      h->factories.clear();
      dev->Started = FALSE;
      complete(irp, STATUS_SUCCESS);
      delete_device(fdo);
      return STATUS_SUCCESS;
    default:
      return complete(irp, status);
  }
}

// Device power IRPs to the minidriver's QueryPower and SetPower (ks.h:
// KSDEVICE_DISPATCH). System power IRPs succeed and other minor functions are
// not supported (our own choice: no power policy is modelled).
NTSTATUS ks_dispatch_power(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceHeader* h = header_of(fdo);
  if (h == nullptr) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  const KSDEVICE_DISPATCH* d = dispatch_of(h);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  PKSDEVICE dev = &h->ks;
  if (s->Parameters.Power.Type != DevicePowerState) return complete(irp, STATUS_SUCCESS);
  DEVICE_POWER_STATE to = s->Parameters.Power.State.DeviceState;
  DEVICE_POWER_STATE from = dev->DevicePowerState;
  if (s->MinorFunction == IRP_MN_QUERY_POWER) {
    NTSTATUS status = STATUS_SUCCESS;
    if (d != nullptr && d->QueryPower != nullptr) {
      status = d->QueryPower(dev, irp, to, from, PowerSystemWorking, PowerSystemWorking, PowerActionNone);
    }
    return complete(irp, status);
  }
  if (s->MinorFunction == IRP_MN_SET_POWER) {
    if (d != nullptr && d->SetPower != nullptr) d->SetPower(dev, irp, to, from);
    dev->DevicePowerState = to;
    return complete(irp, STATUS_SUCCESS);
  }
  return complete(irp, STATUS_NOT_SUPPORTED);
}

// A handle whose name is "\" and a filter factory's reference string is a
// filter handle ("KsCreateFilterFactory function (ks.h)": RefString names the
// factory's filters). Filters and pins are not instantiated through handles here
// (clients in the process use the KS host interface), so requests on such a
// handle other than its close are refused.
//
// Every KS file object's FsContext points to a structure whose first element
// is the object header KS dispatches through ("KsSetMajorFunctionHandler",
// "KsAllocateObjectHeader"). KS reads it for each major function it handles;
// a file object without one would make it read through whatever FsContext
// holds (a bugcheck on Windows), which the verifier reports.
struct HandleContext {
  const void* header;  // the object header: here, the handle's own record
};

std::mutex g_handles_m;
std::set<const HandleContext*>& handle_contexts() {
  static auto* s = new std::set<const HandleContext*>;
  return *s;
}

const char* major_name(UCHAR major) {
  switch (major) {
    case IRP_MJ_CLOSE:
      return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
      return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
      return "IRP_MJ_WRITE";
    case IRP_MJ_FLUSH_BUFFERS:
      return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_DEVICE_CONTROL:
      return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_QUERY_SECURITY:
      return "IRP_MJ_QUERY_SECURITY";
    case IRP_MJ_SET_SECURITY:
      return "IRP_MJ_SET_SECURITY";
    default:
      return "a major function";
  }
}

NTSTATUS ks_dispatch_create(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceHeader* h = header_of(fdo);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (h == nullptr || file == nullptr || file->FileName.Buffer == nullptr)
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  std::u16string name(reinterpret_cast<const char16_t*>(file->FileName.Buffer), file->FileName.Length / 2);
  for (const auto& f : h->factories) {
    if (name.size() == f->reference.size() + 1 && name[0] == u'\\' &&
        name.compare(1, std::u16string::npos, f->reference) == 0) {
      auto* context = new HandleContext;
      context->header = context;
      {
        std::lock_guard<std::mutex> g(g_handles_m);
        handle_contexts().insert(context);
      }
      file->FsContext = context;
      return complete(irp, STATUS_SUCCESS);
    }
  }
  return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
}

// The object dispatch of KS's file objects (KsDispatchIrp).
NTSTATUS ks_dispatch_object(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = s->FileObject;
  const HandleContext* context =
      file != nullptr ? static_cast<const HandleContext*>(file->FsContext) : nullptr;
  {
    std::lock_guard<std::mutex> g(g_handles_m);
    if (context == nullptr || handle_contexts().count(context) == 0) {
      verifier::fail(std::string("KS dispatched ") + major_name(s->MajorFunction) +
                     " for a file object without a KS object header (FsContext " +
                     (context == nullptr ? "NULL" : "not KS's") + ")");
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (s->MajorFunction == IRP_MJ_CLOSE) {
      handle_contexts().erase(context);
      delete context;
      file->FsContext = nullptr;
    }
  }
  switch (s->MajorFunction) {
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
      return complete(irp, STATUS_SUCCESS);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// System control (WMI) of a device KS does not register with WMI: passed
// down unchanged, as KsDefaultForwardIrp does; here the bus has none either.
NTSTATUS ks_dispatch_system_control(PDEVICE_OBJECT fdo, PIRP irp) {
  return complete(irp, irp->IoStatus.Status);
}

void ks_unload(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> g(ks_state().m);
  ks_state().drivers.erase(driver);
}

}  // namespace

namespace korvel::sim::kernel {

PKSDEVICE ks_device_of_fdo(PDEVICE_OBJECT fdo) {
  DeviceHeader* h = header_of(fdo);
  return h == nullptr ? nullptr : &h->ks;
}

std::vector<FilterFactoryInfo> ks_filter_factories(PDEVICE_OBJECT fdo) {
  std::vector<FilterFactoryInfo> out;
  DeviceHeader* h = header_of(fdo);
  if (h == nullptr) return out;
  for (const auto& f : h->factories) out.push_back({f->factory.FilterDescriptor, f->reference, f->flags});
  return out;
}

namespace ks {

std::vector<PKSDEVICE> devices() {
  std::lock_guard<std::mutex> g(ks_state().m);
  std::vector<PKSDEVICE> out;
  for (DeviceHeader* h : ks_state().devices) out.push_back(&h->ks);
  return out;
}

std::vector<const KSFILTER_DESCRIPTOR*> factory_descriptors(PKSDEVICE device) {
  std::vector<const KSFILTER_DESCRIPTOR*> out;
  if (device == nullptr) return out;
  DeviceHeader* h = header_of(device->FunctionalDeviceObject);
  if (h == nullptr) return out;
  for (const auto& f : h->factories) out.push_back(f->factory.FilterDescriptor);
  return out;
}

}  // namespace ks

}  // namespace korvel::sim::kernel

extern "C" {

// Source: ks.h: KsInitializeDriver and KSDEVICE_DESCRIPTOR (Version is
// KSDEVICE_DESCRIPTOR_VERSION; 0 for a descriptor of before versions, our own
// reading). A driver object without an extension is refused (our own check).
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
  if (DriverObject == nullptr || DriverObject->DriverExtension == nullptr) return STATUS_INVALID_PARAMETER;
  if (Descriptor != nullptr && Descriptor->Version != KSDEVICE_DESCRIPTOR_VERSION &&
      Descriptor->Version != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> g(ks_state().m);
    ks_state().drivers[DriverObject] = Descriptor;
  }
  // The major functions KS handles for a minidriver: PnP, power and system
  // control of the device, create by name, and for the file objects it
  // creates the object dispatch of KsSetMajorFunctionHandler's list ("KsSetMajorFunctionHandler",
  // "KsInitializeDriver"). IRP_MJ_CLEANUP is not among them.
  DriverObject->MajorFunction[IRP_MJ_PNP] = ks_dispatch_pnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = ks_dispatch_power;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ks_dispatch_system_control;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = ks_dispatch_create;
  for (UCHAR major : korvel::sim::kernel::kKsObjectMajors)
    DriverObject->MajorFunction[major] = ks_dispatch_object;
  DriverObject->DriverExtension->AddDevice = ks_add_device;
  DriverObject->DriverUnload = ks_unload;
  return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                               PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                               ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                               PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory) {
  if (FilterFactory != nullptr) *FilterFactory = nullptr;
  // Source: "KsCreateFilterFactory function (ks.h)" (Microsoft Learn):
  // PASSIVE_LEVEL.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("KsCreateFilterFactory above PASSIVE_LEVEL");
  DeviceHeader* h = header_of(DeviceObject);
  if (h == nullptr || Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  // The object hierarchy changes under the device mutex only ("Mutexes in
  // AVStream": the device mutex synchronizes the hierarchy from device to
  // filter).
  if (KeReadStateMutex(&h->mutex) > 0 || h->mutex.OwnerThread != KeGetCurrentThread()) {
    verifier::fail("KsCreateFilterFactory without the device mutex (KsAcquireDevice)");
  }
  // Source: ks.h: KSFILTER_DESCRIPTOR (Version KSFILTER_DESCRIPTOR_VERSION,
  // PinDescriptorSize at least a KSPIN_DESCRIPTOR_EX).
  if (Descriptor->Version != KSFILTER_DESCRIPTOR_VERSION) return STATUS_INVALID_PARAMETER;
  if (Descriptor->PinDescriptorsCount != 0 && (Descriptor->PinDescriptors == nullptr ||
                                               Descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))) {
    return STATUS_INVALID_PARAMETER;
  }
  auto rec = std::make_unique<FactoryRecord>();
  rec->factory.FilterDescriptor = Descriptor;
  rec->flags = CreateItemFlags;
  rec->device = &h->ks;
  if (RefString != nullptr) {
    for (PWSTR p = RefString; *p != 0; ++p) rec->reference.push_back(char16_t(*p));
  }
  if (FilterFactory != nullptr) *FilterFactory = &rec->factory;
  h->factories.push_back(std::move(rec));
  return STATUS_SUCCESS;
}

// Source: "KsAcquireDevice function (ks.h)" (Microsoft Learn): PASSIVE_LEVEL,
// the device mutex.
void KsAcquireDevice(PKSDEVICE Device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("KsAcquireDevice above PASSIVE_LEVEL");
  DeviceHeader* h = header_of(Device->FunctionalDeviceObject);
  // The device mutex is not recursive (a second acquire deadlocks), and
  // is taken before a filter control mutex, never under one.
  // Source: "Mutexes in AVStream" and "Filter Control Mutex in AVStream"
  // (Microsoft Learn): the mutexes are not obtained recursively, the hierarchy
  // is locked from the device downward.
  if (KeReadStateMutex(&h->mutex) <= 0 && h->mutex.OwnerThread == KeGetCurrentThread()) {
    verifier::fail("KsAcquireDevice by the thread that holds the device mutex");
  }
  if (kernel::holds_filter_control()) verifier::fail("KsAcquireDevice under a filter control mutex");
  KeWaitForSingleObject(&h->mutex, Executive, KernelMode, FALSE, nullptr);
}

// Source: ks.h: KsReleaseDevice (PASSIVE_LEVEL, as KsAcquireDevice).
void KsReleaseDevice(PKSDEVICE Device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("KsReleaseDevice above PASSIVE_LEVEL");
  DeviceHeader* h = header_of(Device->FunctionalDeviceObject);
  KeReleaseMutex(&h->mutex, FALSE);
}

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  return kernel::ks_device_of_fdo(FunctionalDeviceObject);
}

PKSDEVICE KsFilterFactoryGetParentDevice(PKSFILTERFACTORY FilterFactory) {
  return reinterpret_cast<FactoryRecord*>(FilterFactory)->device;
}

}  // extern "C"
