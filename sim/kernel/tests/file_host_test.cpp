// The I/O manager's buffered device-control path: the input is copied into
// one system buffer that also carries the output back, and the rest of that
// buffer is not initialised for the driver.
#include "kernel/file_host.h"

#include <gtest/gtest.h>
#include <ks.h>
#include <ntddk.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/host.h"
#include "kernel/ks_host.h"
#include "kernel/verifier.h"

namespace {

constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS Complete(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Writes nothing and counts the whole output buffer as written, as a
// careless driver does.
NTSTATUS CountsAll(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST(BufferedIo, BytesBeyondTheInputAreNotZeroedForTheDriver) {
  DRIVER_OBJECT driver = {};
  driver.MajorFunction[IRP_MJ_CREATE] = Complete;
  driver.MajorFunction[IRP_MJ_CLEANUP] = Complete;
  driver.MajorFunction[IRP_MJ_CLOSE] = Complete;
  driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = CountsAll;
  DEVICE_OBJECT device = {};
  device.DriverObject = &driver;
  device.StackSize = 1;
  std::unique_ptr<korvel::sim::kernel::DeviceFile> file;
  ASSERT_EQ(korvel::sim::kernel::DeviceFile::open(&device, u"", &file), STATUS_SUCCESS);
  const UCHAR in[4] = {1, 2, 3, 4};
  std::vector<UCHAR> out(16, 0);
  ULONG_PTR information = 0;
  ASSERT_EQ(file->ioctl(kEcho, in, sizeof(in), out.data(), ULONG(out.size()), &information), STATUS_SUCCESS);
  ASSERT_EQ(information, out.size());
  EXPECT_EQ(std::memcmp(out.data(), in, sizeof(in)), 0) << "input and output share the buffer";
  size_t zero = 0;
  for (size_t i = sizeof(in); i < out.size(); ++i) zero += out[i] == 0 ? 1 : 0;
  EXPECT_EQ(zero, 0u) << "what the driver did not write is not handed back as zeros";
  file.reset();
}

TEST(KsDispatch, AFileObjectWithoutAnObjectHeaderReachingKsIsReported) {
  // A driver that created a file object of its own (FsContext NULL) and left
  // its other requests to KS: every one KS serves through the object header
  // is a read through NULL on Windows, a verifier failure here.
  static std::vector<std::string> failures;
  failures.clear();
  auto previous =
      korvel::sim::verifier::set_failure_handler([](const std::string& m) { failures.push_back(m); });
  DRIVER_OBJECT driver = {};
  DRIVER_EXTENSION extension = {};
  driver.DriverExtension = &extension;
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(u"\\Registry\\quenby-test"));
  ASSERT_EQ(KsInitializeDriver(&driver, &path, nullptr), STATUS_SUCCESS);
  driver.MajorFunction[IRP_MJ_CREATE] = Complete;
  DEVICE_OBJECT device = {};
  device.DriverObject = &driver;
  device.StackSize = 1;
  std::unique_ptr<korvel::sim::kernel::DeviceFile> file;
  ASSERT_EQ(korvel::sim::kernel::DeviceFile::open(&device, u"\\own", &file), STATUS_SUCCESS);
  size_t sent = 0;
  for (UCHAR major : korvel::sim::kernel::kKsObjectMajors) {
    if (major == IRP_MJ_CLOSE) continue;
    file->request(major);
    ++sent;
    EXPECT_EQ(failures.size(), sent) << int(major);
  }
  file.reset();  // the close reaches KS too
  EXPECT_EQ(failures.size(), sent + 1);
  ASSERT_FALSE(failures.empty());
  EXPECT_NE(failures[0].find("without a KS object header"), std::string::npos) << failures[0];
  driver.DriverUnload(&driver);
  korvel::sim::verifier::set_failure_handler(previous);
}

TEST(DeviceOpen, TheNamespaceIsCheckedOnlyWithSecureOpen) {
  // "Controlling Device Namespace Access": the descriptor decides an open of
  // the device itself; an open of a name in its namespace only when the
  // device has FILE_DEVICE_SECURE_OPEN, else the driver is on its own.
  namespace sec = korvel::sim::security;
  auto sd = std::make_shared<sec::SecurityDescriptor>();
  std::string error;
  ASSERT_TRUE(sec::parse_sddl("D:P(A;;GA;;;SY)", sd.get(), &error));
  DRIVER_OBJECT driver = {};
  for (auto& d : driver.MajorFunction) d = Complete;
  DEVICE_OBJECT device = {};
  device.DriverObject = &driver;
  device.StackSize = 1;
  korvel::sim::kernel::set_device_security(&device, sd);
  const struct {
    ULONG characteristics;
    const char16_t* name;
    NTSTATUS status;
  } cases[] = {
      {0, u"", STATUS_ACCESS_DENIED},
      {0, u"\\private", STATUS_SUCCESS},
      {FILE_DEVICE_SECURE_OPEN, u"", STATUS_ACCESS_DENIED},
      {FILE_DEVICE_SECURE_OPEN, u"\\private", STATUS_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    device.Characteristics = c.characteristics;
    std::unique_ptr<korvel::sim::kernel::DeviceFile> file;
    EXPECT_EQ(c.status, korvel::sim::kernel::DeviceFile::open(&device, c.name, sec::kGenericRead,
                                                              sec::console_caller(1), &file))
        << c.characteristics << " " << (c.name[0] ? "namespace" : "device");
  }
  korvel::sim::kernel::set_device_security(&device, nullptr);
}

}  // namespace
