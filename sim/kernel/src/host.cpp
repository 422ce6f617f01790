// Loader, PnP manager and bus-driver parts of the stand-in.
#include "kernel/host.h"

#include <cstring>
#include <mutex>

#include "host_internal.h"
#include "internal.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "usb/device.h"

namespace korvel::sim::kernel {

namespace {
std::mutex g_load_mutex;
bool g_loaded = false;
}  // namespace

usb::Device* usb_device_of_pdo(PDEVICE_OBJECT pdo) {
  if (pdo == nullptr || pdo->DeviceType != kBusDeviceType || pdo->DeviceExtension == nullptr) return nullptr;
  return static_cast<PdoExtension*>(pdo->DeviceExtension)->device;
}

const usb::InterfaceCollection* usb_function_of_pdo(PDEVICE_OBJECT pdo) {
  if (usb_device_of_pdo(pdo) == nullptr) return nullptr;
  const auto* e = static_cast<PdoExtension*>(pdo->DeviceExtension);
  return e->function ? &e->collection : nullptr;
}

NTSTATUS Driver::load(PDRIVER_INITIALIZE entry, const std::u16string& service_name,
                      std::unique_ptr<Driver>* out) {
  Clock::instance().attach_current_thread();
  {
    std::lock_guard<std::mutex> g(g_load_mutex);
    if (g_loaded) {
      // Our own choice: one driver image at a time.
      verifier::fail("a second driver loaded while one is loaded");
      return STATUS_OBJECT_NAME_COLLISION;
    }
    g_loaded = true;
  }
  std::unique_ptr<Driver> d(new Driver());
  d->name_ = service_name;
  // Source: wdm.h: DRIVER_OBJECT, Type IO_TYPE_DRIVER (4). Unset major functions complete with
  // STATUS_INVALID_DEVICE_REQUEST: our own choice.
  d->object_.Type = 4;
  d->object_.Size = sizeof(DRIVER_OBJECT);
  d->object_.DriverExtension = &d->extension_;
  d->extension_.DriverObject = &d->object_;
  d->object_.DriverInit = entry;
  for (PDRIVER_DISPATCH& dispatch : d->object_.MajorFunction) dispatch = invalid_device_request;
  // A freshly loaded image: its default non-paged pool is executable until
  // its DriverEntry opts in to no-execute pool.
  ExDefaultNonPagedPoolType = NonPagedPoolExecute;
  ExDefaultMdlProtection = 0;
  static std::u16string registry;
  // Source: wdm.h: DRIVER_INITIALIZE, whose RegistryPath is the driver's key under ...\Services.
  registry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_name;
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, registry.c_str());
  NTSTATUS status = entry(&d->object_, &path);
  if (!NT_SUCCESS(status)) {
    free_driver_extensions(&d->object_);
    std::lock_guard<std::mutex> g(g_load_mutex);
    g_loaded = false;
    return status;
  }
  *out = std::move(d);
  return status;
}

Driver::~Driver() {
  if (object_.DriverUnload != nullptr) object_.DriverUnload(&object_);
  free_driver_extensions(&object_);
  for (ULONG tag : tags_) {
    verifier::TagUsage u = verifier::pool_usage(tag);
    // Our own choice, after Driver Verifier's pool tracking: allocations of the driver's tags left
    // at unload fail.
    if (u.outstanding != 0) {
      verifier::fail("driver unloaded with " + std::to_string(u.outstanding) +
                     " pool allocation(s) of tag \"" + verifier::tag_name(tag) + "\" still allocated");
    }
  }
  std::lock_guard<std::mutex> g(g_load_mutex);
  g_loaded = false;
}

DeviceNode::DeviceNode(Driver& driver, std::shared_ptr<usb::Device> device, DeviceProperties properties)
    : DeviceNode(driver, device,
                 device ? usb::audio_function(device->configuration_descriptor())
                              .value_or(usb::InterfaceCollection{})
                              .first_interface
                        : 0,
                 std::move(properties)) {}

DeviceNode::DeviceNode(Driver& driver, std::shared_ptr<usb::Device> device, uint8_t first_interface,
                       DeviceProperties properties)
    : driver_(driver), device_(std::move(device)), properties_(std::move(properties)) {
  extension_.device = device_.get();
  if (device_ && usb::is_composite(device_->configuration_descriptor())) {
    for (const usb::InterfaceCollection& f :
         usb::interface_collections(device_->configuration_descriptor())) {
      if (f.first_interface != first_interface) continue;
      extension_.function = true;
      extension_.collection = f;
    }
  }
  bus_driver_.Type = 4;
  bus_driver_.Size = sizeof(DRIVER_OBJECT);
  // Source: wdm.h: DEVICE_OBJECT, Type IO_TYPE_DEVICE (3); the PDO's StackSize of 1 is our own
  // choice.
  pdo_.Type = 3;
  pdo_.Size = sizeof(DEVICE_OBJECT);
  pdo_.DriverObject = &bus_driver_;
  pdo_.DeviceType = kBusDeviceType;
  pdo_.DeviceExtension = &extension_;
  pdo_.StackSize = 1;
}

DeviceNode::~DeviceNode() {
  if (fdo_ != nullptr) remove();
}

void DeviceNode::configure_as_parent() {
  // The generic parent driver selects the device's configuration when it
  // starts, before its children's drivers load ("Configuring Usbccgp.sys to
  // select a non-default USB configuration": the first one by default).
  if (!extension_.function || !device_ || device_->configuration() != 0) return;
  const std::vector<uint8_t>& c = device_->configuration_descriptor();
  if (c.size() >= 9) device_->set_configuration(c[5]);
}

NTSTATUS DeviceNode::add() {
  Clock::instance().attach_current_thread();
  if (fdo_ != nullptr) return STATUS_INVALID_DEVICE_STATE;
  configure_as_parent();
  PDRIVER_OBJECT d = driver_.object();
  if (d->DriverExtension == nullptr || d->DriverExtension->AddDevice == nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = d->DriverExtension->AddDevice(d, &pdo_);
  if (NT_SUCCESS(status)) {
    fdo_ = pdo_.AttachedDevice;
    if (fdo_ == nullptr) {
      verifier::fail("AddDevice succeeded without attaching a device object");
      return STATUS_UNSUCCESSFUL;
    }
    std::shared_ptr<security::SecurityDescriptor> sd;
    if (!properties_.security.empty()) {
      sd = std::make_shared<security::SecurityDescriptor>();
      std::string error;
      if (!security::parse_sddl(properties_.security, sd.get(), &error)) {
        verifier::fail("the device's Security value does not parse: " + error);
        sd.reset();
      }
    }
    for (PDEVICE_OBJECT d : {&pdo_, fdo_}) {
      d->Characteristics |= properties_.characteristics;
      if (sd) set_device_security(d, sd);
    }
  }
  return status;
}

NTSTATUS DeviceNode::send(UCHAR major, UCHAR minor, IO_STACK_LOCATION* parameters) {
  Clock::instance().attach_current_thread();
  if (fdo_ == nullptr) return STATUS_NO_SUCH_DEVICE;
  PIRP irp = IoAllocateIrp(CCHAR(fdo_->StackSize), FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (parameters != nullptr) *next = *parameters;
  next->MajorFunction = major;
  next->MinorFunction = minor;
  NTSTATUS status = IoCallDriver(fdo_, irp);
  // Source: "IoMarkIrpPending function (wdm.h)": a dispatch routine completes the IRP, passes it
  // on, or marks it pending and returns STATUS_PENDING.
  if (status != STATUS_PENDING && !irp_completed(irp)) {
    verifier::fail("dispatch routine returned without completing or pending the IRP");
  }
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS DeviceNode::start() {
  return send(IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
}

NTSTATUS DeviceNode::query_power(DEVICE_POWER_STATE state) {
  IO_STACK_LOCATION s{};
  s.Parameters.Power.Type = DevicePowerState;
  s.Parameters.Power.State.DeviceState = state;
  return send(IRP_MJ_POWER, IRP_MN_QUERY_POWER, &s);
}

NTSTATUS DeviceNode::set_power(DEVICE_POWER_STATE state) {
  IO_STACK_LOCATION s{};
  s.Parameters.Power.Type = DevicePowerState;
  s.Parameters.Power.State.DeviceState = state;
  // Our own choice: when the bus model resumes and suspends the port around the driver's power
  // IRPs.
  // The bus resumes the device's port before the driver powers up, and
  // suspends it once the driver has powered down: transfers a driver still
  // has queued then end, and new ones fail, until the next power-up.
  if (state == PowerDeviceD0 && device_) device_->resume();
  NTSTATUS status = send(IRP_MJ_POWER, IRP_MN_SET_POWER, &s);
  if (state > PowerDeviceD0 && state <= PowerDeviceD3 && device_) device_->suspend();
  return status;
}

NTSTATUS DeviceNode::system_sleep(uint64_t ms) {
  // As the power manager sleeps the stack ("System Power States"): the
  // device's D3 query and set (from the class driver's system IRP), the bus
  // suspends the port, the controller stops (usb::Device::lose_schedule);
  // on the wake the port resumes and the device returns to D0.
  NTSTATUS status = query_power(PowerDeviceD3);
  if (!NT_SUCCESS(status)) return status;
  status = set_power(PowerDeviceD3);
  if (!NT_SUCCESS(status)) return status;
  if (device_) device_->lose_schedule();
  Clock::instance().sleep_for(ms * 1000000);
  return set_power(PowerDeviceD0);
}

NTSTATUS DeviceNode::stop() {
  // Source: "IRP_MN_STOP_DEVICE" (Microsoft Learn): sent only after an IRP_MN_QUERY_STOP_DEVICE
  // that succeeded.
  NTSTATUS status = send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return send(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, nullptr);
}

NTSTATUS DeviceNode::query_capabilities(DEVICE_CAPABILITIES* caps) {
  // Source: "DEVICE_CAPABILITIES structure (wdm.h)" for the fields; their values are our own
  // choice; bmAttributes bit 5 is remote wakeup (USB 2.0, 9.6.3).
  // The bus driver's answer (our model of the USB hub driver's): a removable
  // device, D0 in S0 and D3 elsewhere; one whose configuration says it can
  // wake the host (bmAttributes bit 5) wakes from D2, and is kept in D2 in
  // the sleep states S1 to S3 from which it may wake the system.
  USHORT size = caps->Size;
  USHORT version = caps->Version;
  std::memset(caps, 0, sizeof(*caps));
  caps->Size = size;
  caps->Version = version;
  caps->Removable = 1;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
  caps->DeviceWake = PowerDeviceUnspecified;
  caps->SystemWake = PowerSystemUnspecified;
  const bool wakes = device_ && device_->configuration_descriptor().size() > 7 &&
                     (device_->configuration_descriptor()[7] & 0x20) != 0;
  if (wakes) {
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) caps->DeviceState[s] = PowerDeviceD2;
    caps->DeviceWake = PowerDeviceD2;
    caps->SystemWake = PowerSystemSleeping3;
    caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = 1;
  }
  IO_STACK_LOCATION s{};
  s.Parameters.DeviceCapabilities.Capabilities = caps;
  return send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &s);
}

NTSTATUS DeviceNode::surprise_remove() {
  return send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr);
}

NTSTATUS DeviceNode::remove() {
  if (fdo_ == nullptr) return STATUS_NO_SUCH_DEVICE;
  set_device_security(fdo_, nullptr);
  set_device_security(&pdo_, nullptr);
  NTSTATUS status = send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  fdo_ = nullptr;
  return status;
}

PKSDEVICE DeviceNode::ks_device() const {
  return ks_device_of_fdo(fdo_);
}

DEVICE_POWER_STATE DeviceNode::power_state() const {
  PKSDEVICE d = ks_device();
  return d == nullptr ? PowerDeviceUnspecified : d->DevicePowerState;
}

std::vector<FilterFactoryInfo> DeviceNode::filter_factories() const {
  return ks_filter_factories(fdo_);
}

}  // namespace korvel::sim::kernel
