// Internals shared between the I/O manager, kernel-streaming, framework and
// host parts of the stand-in.
#ifndef KORVEL_SIM_KERNEL_HOST_INTERNAL_H
#define KORVEL_SIM_KERNEL_HOST_INTERNAL_H

#include <ks.h>
#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/host.h"
#include "kernel/security.h"
#include "usb/composite.h"

namespace korvel::sim::usb {
class Device;
}

namespace korvel::sim::kernel {

// Source: wdm.h: FILE_DEVICE_BUS_EXTENDER (0x2A); that the bus driver's PDOs have it is our own choice.
constexpr ULONG kBusDeviceType = 0x0000002A;  // FILE_DEVICE_BUS_EXTENDER

void free_driver_extensions(PDRIVER_OBJECT driver);
bool irp_completed(PIRP irp);
// Our own choice, after the I/O manager's default that Microsoft does not document.
// What the I/O manager puts in every entry of a new driver object's dispatch
// table (IopInvalidDeviceRequest): the request completes with
// STATUS_INVALID_DEVICE_REQUEST. Drivers replace the entries they serve.
NTSTATUS invalid_device_request(PDEVICE_OBJECT device, PIRP irp);

// Our own choice: the caller's identity rides with the thread that dispatches its request.
// The caller a thread dispatches requests for, while a scope lasts (the I/O
// manager's requests run in their caller's thread).
class CallerScope {
 public:
  explicit CallerScope(const security::Caller* caller);
  ~CallerScope();
  CallerScope(const CallerScope&) = delete;
  CallerScope& operator=(const CallerScope&) = delete;

 private:
  const security::Caller* previous_;
};
const security::Caller* current_caller();

// Our own choice: the default a device object without a descriptor of its own gets.
// A device object's security descriptor (set_device_security's, see host.h);
// without one, IoCreateDevice's default.
std::shared_ptr<const security::SecurityDescriptor> device_security(PDEVICE_OBJECT device);

// The simulated USB device behind a physical device object of the bus
// driver (or of the generic parent driver), or null when `pdo` is not one.
usb::Device* usb_device_of_pdo(PDEVICE_OBJECT pdo);
// The function of a composite device the physical device object stands
// for (the generic parent driver's child); null for a whole device.
const usb::InterfaceCollection* usb_function_of_pdo(PDEVICE_OBJECT pdo);

// Kernel-streaming class state of a functional device object.
PKSDEVICE ks_device_of_fdo(PDEVICE_OBJECT fdo);
std::vector<FilterFactoryInfo> ks_filter_factories(PDEVICE_OBJECT fdo);

}  // namespace korvel::sim::kernel

#endif
