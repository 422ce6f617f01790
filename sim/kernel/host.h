// The host side of the kernel stand-in: what the PnP manager, the loader and
// the bus driver do for a driver on Windows. The device host and the tests
// load a driver, create a device node for a simulated USB device and send the
// PnP and power requests through the driver's own dispatch routines.
#ifndef KORVEL_SIM_KERNEL_HOST_H
#define KORVEL_SIM_KERNEL_HOST_H

#include <ks.h>
#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/security.h"
#include "usb/composite.h"

namespace korvel::sim::usb {
class Device;
}

namespace korvel::sim::kernel {

// The security descriptor of a device object, as the PnP manager sets it
// from the device's registry key (null: the device object's own again).
// Source: "Setting Device Object Registry Properties During Installation".
void set_device_security(PDEVICE_OBJECT device, std::shared_ptr<const security::SecurityDescriptor> sd);

// Our own choice: the version reported by default.
// What RtlGetVersion reports (default 10.0.19045).
void set_os_version(ULONG major, ULONG minor, ULONG build);

// Our own choice: one driver per process.
// A loaded driver. One at a time per process.
class Driver {
 public:
  // Creates the driver object and runs the entry point. On failure *out stays empty.
  static NTSTATUS load(PDRIVER_INITIALIZE entry, const std::u16string& service_name,
                       std::unique_ptr<Driver>* out);
  // Runs the driver's unload routine, frees what the I/O manager allocated for
  // the driver object, and reports (verifier) every pool block of
  // `driver_tags` still allocated.
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  PDRIVER_OBJECT object() { return &object_; }
  // Tags whose allocations must all be freed when the driver unloads.
  void set_driver_tags(std::vector<ULONG> tags) { tags_ = std::move(tags); }

 private:
  Driver() = default;
  DRIVER_OBJECT object_{};
  DRIVER_EXTENSION extension_{};
  std::u16string name_;
  std::vector<ULONG> tags_;
};

struct FilterFactoryInfo {
  const KSFILTER_DESCRIPTOR* descriptor;
  std::u16string reference_string;
  ULONG create_item_flags;
};

// Device-object properties of a device's registry key, as an INF's .HW
// section's AddReg sets them ("Setting Device Object Registry Properties
// During Installation"): DeviceCharacteristics (FILE_DEVICE_SECURE_OPEN
// ...) and Security (SDDL). Empty security: the device objects keep their
// own.
struct DeviceProperties {
  ULONG characteristics = 0;
  std::string security;
};

// What a physical device object of the stand-in stands for: a USB device,
// or one function of it.
struct PdoExtension {
  usb::Device* device = nullptr;
  bool function = false;
  usb::InterfaceCollection collection;
};

// Source: "USB Generic Parent Driver (Usbccgp.sys)": each interface collection of a composite
// device is a device of its own, and the parent is the power policy owner of the whole device.
// One device node: the physical device object for a USB device and the
// device stack the function driver builds on it. A composite device is
// presented as Windows' generic parent driver presents it: the node is the
// child of its audio function (usb::audio_function()), whose driver sees
// that function only; the parent has configured the device by then.
class DeviceNode {
 public:
  DeviceNode(Driver& driver, std::shared_ptr<usb::Device> device, DeviceProperties properties = {});
  // The function of the composite device that starts at interface
  // `first_interface` (its MI_xx), or the whole device when it has none.
  DeviceNode(Driver& driver, std::shared_ptr<usb::Device> device, uint8_t first_interface,
             DeviceProperties properties = {});
  ~DeviceNode();
  DeviceNode(const DeviceNode&) = delete;
  DeviceNode& operator=(const DeviceNode&) = delete;

  // Our own choice: an SDDL string that does not parse fails the test.
  // AddDevice of the driver; then the PnP manager applies the device's
  // properties to every device object of the stack (a security descriptor
  // that does not parse is a verifier failure: Windows refuses to install it).
  NTSTATUS add();
  // IRP_MN_START_DEVICE.
  NTSTATUS start();
  // Source: "IRP_MN_STOP_DEVICE" (Microsoft Learn): a stop frees the resources for a rebalance; the
  // device restarts.
  // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (a resource rebalance);
  // start() follows.
  NTSTATUS stop();
  // IRP_MN_QUERY_POWER and IRP_MN_SET_POWER for a device power state.
  NTSTATUS query_power(DEVICE_POWER_STATE state);
  NTSTATUS set_power(DEVICE_POWER_STATE state);
  // A system sleep of `ms` milliseconds: the device queried and set to D3,
  // the host controller's schedule lost, the time asleep, then D0 again.
  NTSTATUS system_sleep(uint64_t ms);
  // Source: "DEVICE_CAPABILITIES structure (wdm.h)"; the bus driver's values are our own choice
  // (host.cpp).
  // IRP_MN_QUERY_CAPABILITIES; the bus driver fills the defaults first.
  NTSTATUS query_capabilities(DEVICE_CAPABILITIES* caps);
  // IRP_MN_SURPRISE_REMOVAL, then (remove) IRP_MN_REMOVE_DEVICE.
  NTSTATUS surprise_remove();
  NTSTATUS remove();

  bool added() const { return fdo_ != nullptr; }
  PKSDEVICE ks_device() const;
  PDEVICE_OBJECT pdo() { return &pdo_; }
  PDEVICE_OBJECT fdo() const { return fdo_; }
  DEVICE_POWER_STATE power_state() const;
  std::vector<FilterFactoryInfo> filter_factories() const;

 private:
  NTSTATUS send(UCHAR major, UCHAR minor, IO_STACK_LOCATION* parameters);

  void configure_as_parent();

  Driver& driver_;
  std::shared_ptr<usb::Device> device_;
  PdoExtension extension_;
  DeviceProperties properties_;
  DEVICE_OBJECT pdo_{};
  DRIVER_OBJECT bus_driver_{};
  PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace korvel::sim::kernel

#endif
