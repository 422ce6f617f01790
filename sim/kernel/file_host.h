// User-mode file handles on a device, as the I/O manager turns CreateFileW,
// DeviceIoControl and CloseHandle into IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL,
// IRP_MJ_CLEANUP and IRP_MJ_CLOSE on the device's own dispatch routines.
// Sources: "Controlling Device Namespace Access", "Defining I/O Control
// Codes" and "Methods for Accessing Data Buffers" (Microsoft Learn), named at
// each rule below and in file_host.cpp.
#ifndef KORVEL_SIM_KERNEL_FILE_HOST_H
#define KORVEL_SIM_KERNEL_FILE_HOST_H

#include <ntddk.h>

#include <memory>
#include <string>

#include "kernel/security.h"

namespace korvel::sim::kernel {

class DeviceFile {
 public:
  // An open of `device` by `caller` asking for `desired` access; `name` is
  // what follows the device's symbolic link in the caller's path (for
  // example u"\\tarrow"). As the I/O manager does ("Controlling Device
  // Namespace Access"), the device's security descriptor decides what an
  // open of the device itself is granted, and of a name in its namespace
  // only when the device has FILE_DEVICE_SECURE_OPEN; otherwise such an open
  // is granted what it asks and the check is the driver's. Refused:
  // STATUS_ACCESS_DENIED, and the driver sees nothing. Then IRP_MJ_CREATE.
  // The calling thread becomes a thread of the simulated clock.
  static NTSTATUS open(PDEVICE_OBJECT device, const std::u16string& name, security::AccessMask desired,
                       const security::Caller& caller, std::unique_ptr<DeviceFile>* out);
  // The console user's open for reading and writing.
  static NTSTATUS open(PDEVICE_OBJECT device, const std::u16string& name, std::unique_ptr<DeviceFile>* out);
  // IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
  ~DeviceFile();
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  // IRP_MJ_DEVICE_CONTROL with the buffers the code's transfer method asks
  // for, after the I/O manager's check of the code's access bits
  // (FILE_READ_ACCESS needs FILE_READ_DATA granted, FILE_WRITE_ACCESS
  // FILE_WRITE_DATA: STATUS_ACCESS_DENIED without a word to the driver,
  // "Defining I/O Control Codes"); the
  // request's stack location carries the rights granted
  // (SL_READ_ACCESS_GRANTED, SL_WRITE_ACCESS_GRANTED): METHOD_BUFFERED copies through one system buffer; the
  // direct methods pass the input in the system buffer and describe the output buffer with an MDL;
  // METHOD_NEITHER passes the caller's pointers. Waits for a pending request. Returns the final status and
  // the byte count.
  NTSTATUS ioctl(ULONG code, const void* in, ULONG in_len, void* out, ULONG out_len, ULONG_PTR* information);

  // A request of any other major function (IRP_MJ_READ, IRP_MJ_FLUSH_BUFFERS,
  // IRP_MJ_QUERY_SECURITY ...) without parameters or buffers, as a caller's
  // ReadFile, FlushFileBuffers or GetSecurityInfo on the handle sends one.
  // Returns the final status.
  NTSTATUS request(UCHAR major);

  PFILE_OBJECT file_object() { return &file_; }
  // What the open was granted.
  security::AccessMask granted() const { return granted_; }

 private:
  DeviceFile(PDEVICE_OBJECT device, const std::u16string& name, const security::Caller& caller);
  NTSTATUS send(PIRP irp);

  PDEVICE_OBJECT device_;
  std::u16string name_;
  security::Caller caller_;
  security::AccessMask granted_ = 0;
  FILE_OBJECT file_{};
  bool opened_ = false;
};

}  // namespace korvel::sim::kernel

#endif
