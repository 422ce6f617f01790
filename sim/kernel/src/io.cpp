// I/O manager stand-in: IRPs (with the completed-twice check), MDLs,
// driver-object extensions, version and string helpers.
#include <ntddk.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "host_internal.h"
#include "internal.h"
#include "kernel/verifier.h"

namespace verifier = korvel::sim::verifier;
using korvel::sim::verifier::tag;

namespace {

constexpr ULONG kIrpTag = tag("Irp ");
constexpr ULONG kMdlTag = tag("Mdl ");
constexpr ULONG kExtensionTag = tag("IoDe");

struct IoState {
  std::mutex m;
  std::set<PIRP> completed;
  std::map<std::pair<PDRIVER_OBJECT, PVOID>, PVOID> extensions;
  // Security descriptors the PnP manager applied to device objects.
  std::map<PDEVICE_OBJECT, std::shared_ptr<const korvel::sim::security::SecurityDescriptor>> security;
  RTL_OSVERSIONINFOW version{};
  // Whether `version` has no-execute pool; read without the lock, as the
  // pool allocations made under it ask.
  std::atomic<bool> nx_pool{true};
};

IoState& io() {
  static IoState* s = [] {
    IoState* st = new IoState();
    st->version.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    st->version.dwMajorVersion = 10;
    st->version.dwMinorVersion = 0;
    st->version.dwBuildNumber = 19045;  // Windows 10 22H2 (our own choice of default)
    st->version.dwPlatformId = 2;
    return st;
  }();
  return *s;
}

}  // namespace

namespace korvel::sim::kernel {

void set_os_version(ULONG major, ULONG minor, ULONG build) {
  std::lock_guard<std::mutex> g(io().m);
  io().version.dwMajorVersion = major;
  io().version.dwMinorVersion = minor;
  io().version.dwBuildNumber = build;
  // Source: wdm.h: POOL_TYPE (NonPagedPoolNx from Windows 8, version 6.2).
  io().nx_pool.store(major > 6 || (major == 6 && minor >= 2), std::memory_order_relaxed);
}

bool os_has_nx_pool() {
  return io().nx_pool.load(std::memory_order_relaxed);
}

POOL_TYPE system_nonpaged_pool() {
  return os_has_nx_pool() ? NonPagedPoolNx : NonPagedPoolExecute;
}

void free_driver_extensions(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> g(io().m);
  for (auto it = io().extensions.begin(); it != io().extensions.end();) {
    if (it->first.first == driver) {
      ExFreePoolWithTag(it->second, kExtensionTag);
      it = io().extensions.erase(it);
    } else {
      ++it;
    }
  }
}

// Our own choice: what a major function the driver has no routine for gets.
NTSTATUS invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

namespace {
thread_local const security::Caller* t_caller = nullptr;
}  // namespace

CallerScope::CallerScope(const security::Caller* caller) : previous_(t_caller) {
  t_caller = caller;
}
CallerScope::~CallerScope() {
  t_caller = previous_;
}
const security::Caller* current_caller() {
  return t_caller;
}

void set_device_security(PDEVICE_OBJECT device, std::shared_ptr<const security::SecurityDescriptor> sd) {
  std::lock_guard<std::mutex> g(io().m);
  if (sd) {
    io().security[device] = std::move(sd);
  } else {
    io().security.erase(device);
  }
}

std::shared_ptr<const security::SecurityDescriptor> device_security(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> g(io().m);
  auto it = io().security.find(device);
  if (it != io().security.end()) return it->second;
  // A device object created without a descriptor of its own has the one
  // IoCreateDevice gives ("SDDL for Device Objects":
  // SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_RWX_RES_RWX).
  static const auto fallback = [] {
    auto d = std::make_shared<security::SecurityDescriptor>();
    std::string error;
    security::parse_sddl("D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)", d.get(), &error);
    return std::shared_ptr<const security::SecurityDescriptor>(d);
  }();
  return fallback;
}

bool irp_completed(PIRP irp) {
  std::lock_guard<std::mutex> g(io().m);
  return io().completed.count(irp) != 0;
}

}  // namespace korvel::sim::kernel

extern "C" {

// Source: "IoAllocateIrp function (wdm.h)" (Microsoft Learn): non-paged, NULL on
// failure, members initialised. The initial STATUS_NOT_SUPPORTED is our own
// choice.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (StackSize < 1) return nullptr;
  SIZE_T size = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * SIZE_T(StackSize);
  PIRP irp =
      static_cast<PIRP>(ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), size, kIrpTag));
  if (irp == nullptr) return nullptr;
  std::memset(irp, 0, size);
  irp->Size = USHORT(size);
  irp->StackCount = StackSize;
  irp->CurrentLocation = CHAR(StackSize + 1);
  PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + StackSize;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return irp;
}

void IoFreeIrp(PIRP Irp) {
  {
    std::lock_guard<std::mutex> g(io().m);
    io().completed.erase(Irp);
  }
  ExFreePoolWithTag(Irp, kIrpTag);
}

// Source: "IofCallDriver function (wdm.h)" (Microsoft Learn): the next stack
// location gets the device object, the driver's dispatch routine is called.
// A major function without a routine completes as invalid (our own choice).
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    verifier::fail("IoCallDriver without a free stack location");
    return STATUS_INVALID_PARAMETER;
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION s = Irp->Tail.Overlay.CurrentStackLocation;
  s->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[s->MajorFunction];
  if (dispatch == nullptr) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(DeviceObject, Irp);
}

// Source: "IofCompleteRequest function (wdm.h)" (Microsoft Learn): DISPATCH_LEVEL
// at most, completion routines run from the lowest driver up. Completed
// twice and completed with STATUS_PENDING: the DoubleCompletion and
// CompleteRequestStatusCheck rules that page lists.
void IofCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost) {
  {
    std::lock_guard<std::mutex> g(io().m);
    if (!io().completed.insert(Irp).second) {
      verifier::fail("IRP completed twice");
      return;
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) verifier::fail("IRP completed with STATUS_PENDING");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("IoCompleteRequest above DISPATCH_LEVEL");
  // Completion routines of the stack locations above run from the lowest up.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION s = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    if (s->CompletionRoutine != nullptr) {
      PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                 ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                 : nullptr;
      NTSTATUS r = s->CompletionRoutine(upper, Irp, s->Context);
      if (r == STATUS_MORE_PROCESSING_REQUIRED) {
        // The routine keeps the IRP and completes it again later.
        std::lock_guard<std::mutex> g(io().m);
        io().completed.erase(Irp);
        return;
      }
    }
  }
  // Fully completed: a synchronous caller waiting in the I/O manager wakes.
  if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, PriorityBoost, FALSE);
}

// Source: "IoAllocateMdl function (wdm.h)" (Microsoft Learn): DISPATCH_LEVEL at
// most, NULL when it cannot allocate; SecondaryBuffer FALSE sets
// Irp->MdlAddress. Refusing a zero length is our own choice.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("IoAllocateMdl above DISPATCH_LEVEL");
  if (Length == 0) return nullptr;
  PMDL mdl = static_cast<PMDL>(
      ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), sizeof(MDL), kMdlTag));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, sizeof(MDL));
  mdl->Size = CSHORT(sizeof(MDL));
  mdl->StartVa = VirtualAddress;
  mdl->ByteOffset = 0;
  mdl->ByteCount = Length;
  if (Irp != nullptr && !SecondaryBuffer) Irp->MdlAddress = mdl;
  return mdl;
}

// Source: wdm.h: IoFreeMdl (DISPATCH_LEVEL at most). NULL is reported (our own
// check).
void IoFreeMdl(PMDL Mdl) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("IoFreeMdl above DISPATCH_LEVEL");
  if (Mdl == nullptr) {
    verifier::fail("IoFreeMdl of NULL");
    return;
  }
  ExFreePoolWithTag(Mdl, kMdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) verifier::fail("MmBuildMdlForNonPagedPool above DISPATCH_LEVEL");
  // The buffer the MDL describes is to lie, whole, in non-paged pool.
  // Source: "MmBuildMdlForNonPagedPool function (wdm.h)" (Microsoft Learn).
  const PVOID start = static_cast<PCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
  if (verifier::pool_range(start, MemoryDescriptorList->ByteCount) != verifier::PoolRange::NonPaged) {
    verifier::fail("MmBuildMdlForNonPagedPool of an MDL whose " +
                   std::to_string(MemoryDescriptorList->ByteCount) +
                   " bytes are not all in one non-paged pool allocation");
  }
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa =
      static_cast<PCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
  // MdlMappingNoExecute may be ORed into the priority from Windows 8 on
  // ("MM_PAGE_PRIORITY"); Windows 7 is taken not to know it and to refuse the
  // mapping (the harsher reading). From Windows 8 on a data buffer mapped
  // executable is reported (our own choice: no driver here maps code).
  const bool noExecute = (Priority & MdlMappingNoExecute) != 0;
  if (noExecute && !korvel::sim::kernel::os_has_nx_pool()) return nullptr;
  if (!noExecute && korvel::sim::kernel::os_has_nx_pool())
    verifier::fail("an MDL mapped executable on Windows 8 or later (without MdlMappingNoExecute)");
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa =
      static_cast<PCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
  return MemoryDescriptorList->MappedSystemVa;
}

// Source: "IoAllocateDriverObjectExtension function (wdm.h)" (Microsoft Learn):
// resident memory; a second one for the same identification is
// STATUS_OBJECT_NAME_COLLISION. Zeroing it is our own choice.
NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
  *DriverObjectExtension = nullptr;
  std::lock_guard<std::mutex> g(io().m);
  auto key = std::make_pair(DriverObject, ClientIdentificationAddress);
  if (io().extensions.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  PVOID p = ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), DriverObjectExtensionSize,
                                  kExtensionTag);
  if (p == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(p, 0, DriverObjectExtensionSize);
  io().extensions[key] = p;
  *DriverObjectExtension = p;
  return STATUS_SUCCESS;
}

// "IoValidateDeviceIoControlAccess" (WdmlibIoValidateDeviceIoControlAccess):
// a device-control or file-system-control request from user mode carries
// the rights its handle holds; one without every right asked is refused.
// Kernel-mode requests always pass.
NTSTATUS IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess) {
  if (Irp == nullptr || (RequiredAccess & ~ULONG(FILE_READ_ACCESS | FILE_WRITE_ACCESS)) != 0)
    return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
  if (s->MajorFunction != IRP_MJ_DEVICE_CONTROL && s->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL)
    return STATUS_INVALID_PARAMETER;
  if (Irp->RequestorMode == KernelMode) return STATUS_SUCCESS;
  if ((RequiredAccess & FILE_READ_ACCESS) != 0 && (s->Flags & SL_READ_ACCESS_GRANTED) == 0)
    return STATUS_ACCESS_DENIED;
  if ((RequiredAccess & FILE_WRITE_ACCESS) != 0 && (s->Flags & SL_WRITE_ACCESS_GRANTED) == 0)
    return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

// The process of the calling thread: the requestor of the request the
// thread is dispatching for a user-mode caller (a device-control request
// runs in its caller's thread), else the System process.
// Source: wdm.h: PsGetCurrentProcessId. The System process's id (4) is our
// own choice.
HANDLE PsGetCurrentProcessId(void) {
  const korvel::sim::security::Caller* c = korvel::sim::kernel::current_caller();
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(c != nullptr ? c->process_id : 4));
}

// Source: "IoGetRequestorSessionId function (ntifs.h)" (Microsoft Learn): the
// session of the process that sent the request, else STATUS_UNSUCCESSFUL with
// the session set to -1.
NTSTATUS IoGetRequestorSessionId(PIRP Irp, PULONG pSessionId) {
  const korvel::sim::security::Caller* c = korvel::sim::kernel::current_caller();
  if (pSessionId == nullptr) return STATUS_UNSUCCESSFUL;
  if (Irp == nullptr || c == nullptr || c->token == nullptr) {
    *pSessionId = ULONG(-1);
    return STATUS_UNSUCCESSFUL;
  }
  *pSessionId = c->token->session;
  return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
  std::lock_guard<std::mutex> g(io().m);
  auto it = io().extensions.find(std::make_pair(DriverObject, ClientIdentificationAddress));
  return it == io().extensions.end() ? nullptr : it->second;
}

// Source: "RtlGetVersion function (wdm.h)" (Microsoft Learn): PASSIVE_LEVEL;
// the caller sets dwOSVersionInfoSize. Refusing a smaller size is our own
// choice.
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail("RtlGetVersion above PASSIVE_LEVEL");
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> g(io().m);
  *lpVersionInformation = io().version;
  return STATUS_SUCCESS;
}

// Source: wdm.h: RtlInitUnicodeString (byte lengths without and with the
// terminator; a NULL source gives an empty string).
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  USHORT n = 0;
  if (SourceString != nullptr) {
    while (SourceString[n] != 0) ++n;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = USHORT(n * sizeof(WCHAR));
  DestinationString->MaximumLength = SourceString != nullptr ? USHORT((n + 1) * sizeof(WCHAR)) : 0;
}

}  // extern "C"
