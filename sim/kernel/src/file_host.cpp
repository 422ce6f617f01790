#include "kernel/file_host.h"

#include <cstring>

#include "host_internal.h"
#include "internal.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"

namespace korvel::sim::kernel {
namespace {

constexpr ULONG kBufferTag = verifier::tag("SBuf");  // system buffers of the I/O manager

// Source: wdm.h: IRP (RequestorMode UserMode for a caller's request; the
// file object in the stack location and Tail.Overlay.OriginalFileObject).
PIRP allocate(PDEVICE_OBJECT device, UCHAR major, PFILE_OBJECT file) {
  PIRP irp = IoAllocateIrp(CCHAR(device->StackSize), FALSE);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = major;
  s->FileObject = file;
  return irp;
}

}  // namespace

DeviceFile::DeviceFile(PDEVICE_OBJECT device, const std::u16string& name, const security::Caller& caller)
    : device_(device), name_(name), caller_(caller) {
  file_.Type = 5;  // IO_TYPE_FILE (wdm.h)
  file_.Size = sizeof(FILE_OBJECT);
  file_.DeviceObject = device;
  file_.FileName.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name_.c_str()));
  file_.FileName.Length = USHORT(name_.size() * sizeof(WCHAR));
  file_.FileName.MaximumLength = USHORT(file_.FileName.Length + sizeof(WCHAR));
  // Our own choice: every open shares reading and writing.
  file_.SharedRead = TRUE;
  file_.SharedWrite = TRUE;
}

// The caller waits for a pending IRP on the event the completion sets. A
// dispatch routine that neither completes nor pends the IRP is reported
// (wdm.h: DRIVER_DISPATCH returns STATUS_PENDING or the status of the IRP it
// completed; the check is our own).
NTSTATUS DeviceFile::send(PIRP irp) {
  CallerScope in_context(&caller_);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->UserEvent = &done;
  NTSTATUS status = IoCallDriver(device_, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
  } else if (!irp_completed(irp)) {
    verifier::fail("dispatch routine returned without completing or pending the IRP");
  }
  return irp->IoStatus.Status;
}

NTSTATUS DeviceFile::open(PDEVICE_OBJECT device, const std::u16string& name, security::AccessMask desired,
                          const security::Caller& caller, std::unique_ptr<DeviceFile>* out) {
  Clock::instance().attach_current_thread();
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!caller.token) {
    verifier::fail("an open without a caller's token");
    return STATUS_ACCESS_DENIED;
  }
  // The device object itself, or a name in its namespace on a device with
  // FILE_DEVICE_SECURE_OPEN, is opened only with what its descriptor grants;
  // another name in the namespace is granted what it asks.
  // Source: "Controlling Device Namespace Access" (Microsoft Learn).
  security::AccessMask granted = security::map_generic(desired);
  if (name.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0) {
    if (!security::access_check(*device_security(device), *caller.token, desired, &granted))
      return STATUS_ACCESS_DENIED;
  } else if (granted & security::kMaximumAllowed) {
    granted = (granted & ~security::kMaximumAllowed) | security::kFileAllAccess;
  }
  std::unique_ptr<DeviceFile> f(new DeviceFile(device, name, caller));
  f->granted_ = granted;
  // Source: wdm.h: FILE_OBJECT's ReadAccess, WriteAccess and DeleteAccess
  // record what the open was granted.
  f->file_.ReadAccess = (granted & (security::kFileReadData | security::kFileExecute)) != 0;
  f->file_.WriteAccess = (granted & (security::kFileWriteData | security::kFileAppendData)) != 0;
  f->file_.DeleteAccess = (granted & security::kDelete) != 0;
  PIRP irp = allocate(device, IRP_MJ_CREATE, &f->file_);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = f->send(irp);
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status)) return status;
  f->opened_ = true;
  *out = std::move(f);
  return status;
}

// Our own choice: the console user's process 1000, GENERIC_READ and
// GENERIC_WRITE.
NTSTATUS DeviceFile::open(PDEVICE_OBJECT device, const std::u16string& name,
                          std::unique_ptr<DeviceFile>* out) {
  return open(device, name, security::kGenericRead | security::kGenericWrite, security::console_caller(1000),
              out);
}

// Source: wdm.h: IRP_MJ_CLEANUP (the handle is closed) comes before
// IRP_MJ_CLOSE (the file object goes).
DeviceFile::~DeviceFile() {
  if (!opened_) return;
  Clock::instance().attach_current_thread();
  for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
    PIRP irp = allocate(device_, major, &file_);
    if (irp == nullptr) continue;
    send(irp);
    IoFreeIrp(irp);
  }
}

NTSTATUS DeviceFile::request(UCHAR major) {
  Clock::instance().attach_current_thread();
  PIRP irp = allocate(device_, major, &file_);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = send(irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS DeviceFile::ioctl(ULONG code, const void* in, ULONG in_len, void* out, ULONG out_len,
                           ULONG_PTR* information) {
  Clock::instance().attach_current_thread();
  *information = 0;
  PIRP irp = allocate(device_, IRP_MJ_DEVICE_CONTROL, &file_);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  // The code's access bits against the handle's rights ("Defining I/O
  // Control Codes"): FILE_ANY_ACCESS is not checked here.
  const ULONG required = (code >> 14) & 3;
  if (((required & FILE_READ_ACCESS) != 0 && (granted_ & security::kFileReadData) == 0) ||
      ((required & FILE_WRITE_ACCESS) != 0 && (granted_ & security::kFileWriteData) == 0)) {
    IoFreeIrp(irp);
    return STATUS_ACCESS_DENIED;
  }
  s->Flags = UCHAR(((granted_ & security::kFileReadData) != 0 ? SL_READ_ACCESS_GRANTED : 0) |
                   ((granted_ & security::kFileWriteData) != 0 ? SL_WRITE_ACCESS_GRANTED : 0));
  s->Parameters.DeviceIoControl.IoControlCode = code;
  s->Parameters.DeviceIoControl.InputBufferLength = in_len;
  s->Parameters.DeviceIoControl.OutputBufferLength = out_len;

  // The transfer method is the code's low two bits ("Defining I/O Control
  // Codes"); the buffers each method gets: "Methods for Accessing Data
  // Buffers" (Microsoft Learn).
  ULONG method = code & 3;
  PVOID system = nullptr;
  ULONG system_len = 0;
  PMDL mdl = nullptr;
  if (method == METHOD_BUFFERED) {
    system_len = in_len > out_len ? in_len : out_len;
  } else if (method != METHOD_NEITHER) {
    system_len = in_len;
  }
  if (system_len) {
    system = ExAllocatePoolWithTag(korvel::sim::kernel::system_nonpaged_pool(), system_len, kBufferTag);
    if (system == nullptr) {
      IoFreeIrp(irp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The input is copied in; the I/O manager leaves the rest of the
    // buffer as the pool had it.
    std::memset(system, 0xCD, system_len);
    if (in_len && in) std::memcpy(system, in, in_len);
    irp->AssociatedIrp.SystemBuffer = system;
  }
  if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && out_len && out) {
    mdl = IoAllocateMdl(out, out_len, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
      if (system) ExFreePoolWithTag(system, kBufferTag);
      IoFreeIrp(irp);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The I/O manager probes and locks the caller's pages; the driver maps
    // them into system space itself ("Methods for Accessing Data Buffers").
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    irp->MdlAddress = mdl;
  }
  if (method == METHOD_NEITHER) {
    s->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
    irp->UserBuffer = out;
  }

  NTSTATUS status = send(irp);
  ULONG_PTR info = irp->IoStatus.Information;
  // The I/O manager copies a buffered request's output back on success (and
  // on warnings): as many bytes as the driver counted, which it does not
  // check against the caller's buffer. A larger count would overrun it.
  if (method == METHOD_BUFFERED && !NT_ERROR(status) && out && out_len) {
    if (info > out_len)
      verifier::fail("buffered request completed with a byte count beyond the output buffer");
    ULONG_PTR n = info < out_len ? info : out_len;
    if (n) std::memcpy(out, system, n);
  }
  // The byte count is the driver's: for the direct methods it may count
  // input consumed, beyond the output buffer's length.
  *information = NT_ERROR(status) ? 0 : info;
  if (mdl) IoFreeMdl(mdl);
  if (system) ExFreePoolWithTag(system, kBufferTag);
  IoFreeIrp(irp);
  return status;
}

}  // namespace korvel::sim::kernel
