// Framework stand-in: the USB target (device, interfaces, pipes) on the
// simulated bus.
#include <wdf.h>

#include <algorithm>
#include <cstring>

#include "host_internal.h"
#include "internal.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "usb/device.h"
#include "wdf_internal.h"
#include "wdf_usb_internal.h"

namespace verifier = korvel::sim::verifier;
namespace kernel = korvel::sim::kernel;
namespace usb = korvel::sim::usb;

namespace korvel::sim::wdf {
PDEVICE_OBJECT device_pdo(WDFDEVICE device);
}

namespace {

using namespace korvel::sim::wdf;

// Our own choice: the NTSTATUS of each bus outcome (a stall fails the request).
NTSTATUS status_of(usb::Result r) {
  switch (r) {
    case usb::Result::Ok:
      return STATUS_SUCCESS;
    case usb::Result::Stall:
      return STATUS_UNSUCCESSFUL;
    case usb::Result::NoDevice:
      return STATUS_NO_SUCH_DEVICE;
    case usb::Result::Timeout:
      return STATUS_IO_TIMEOUT;
  }
  return STATUS_UNSUCCESSFUL;
}

void check_passive(const char* api) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) verifier::fail(std::string(api) + " above PASSIVE_LEVEL");
}

// Source: USB 2.0, 9.6.3 to 9.6.6 (descriptor layouts: bLength, wTotalLength,
// bNumInterfaces); which status each defect gets is our own choice.
// The framework's own check of the configuration descriptor before it builds
// its interface objects: a chain of descriptors that stays inside the stated
// total length, standard interface and endpoint descriptors of full size, and
// as many interfaces as the configuration announces.
NTSTATUS parse_interfaces(UsbDeviceObj* d) {
  const std::vector<UCHAR>& c = d->config;
  if (c.size() < 9 || c[0] < 9 || c[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return STATUS_INVALID_PARAMETER;
  size_t total = size_t(c[2]) | size_t(c[3]) << 8;
  if (total > c.size()) return STATUS_DEVICE_DATA_ERROR;
  std::vector<UCHAR> numbers;
  std::vector<std::vector<size_t>> settings;
  size_t i = 0;
  while (i < total) {
    if (i + 2 > total) return STATUS_INVALID_PARAMETER;
    UCHAR len = c[i];
    UCHAR type = c[i + 1];
    if (len < 2 || i + len > total) return STATUS_INVALID_PARAMETER;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (len < sizeof(USB_INTERFACE_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;
      UCHAR n = c[i + 2];
      auto it = std::find(numbers.begin(), numbers.end(), n);
      if (it == numbers.end()) {
        numbers.push_back(n);
        settings.push_back({i});
      } else {
        settings[size_t(it - numbers.begin())].push_back(i);
      }
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (len < sizeof(USB_ENDPOINT_DESCRIPTOR)) return STATUS_INVALID_PARAMETER;
    }
    i += len;
  }
  if (numbers.empty() || numbers.size() != c[4]) return STATUS_INVALID_PARAMETER;
  d->config.resize(total);
  for (size_t k = 0; k < numbers.size(); ++k) {
    auto* itf = new UsbInterfaceObj();
    itf->number = numbers[k];
    itf->settings = settings[k];
    NTSTATUS s = attach(itf, nullptr, d);
    if (!NT_SUCCESS(s)) {
      discard(itf);
      return s;
    }
    d->interfaces.push_back(itf);
  }
  return STATUS_SUCCESS;
}

NTSTATUS create_usb_device(WDFDEVICE Device, ULONG contract, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFUSBDEVICE* UsbDevice) {
  *UsbDevice = nullptr;
  // Source: wdfusb.h: WdfUsbTargetDeviceCreate, PASSIVE_LEVEL (as "WdfUsbTargetDeviceSelectConfig
  // function (wdfusb.h)").
  check_passive("WdfUsbTargetDeviceCreate");
  Object* parent = lookup(Device, Kind::Device, "WdfUsbTargetDeviceCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  usb::Device* dev = kernel::usb_device_of_pdo(korvel::sim::wdf::device_pdo(Device));
  if (dev == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (!dev->connected()) return STATUS_NO_SUCH_DEVICE;
  // Source: USB 2.0, 9.4.3 (GET_DESCRIPTOR) and 9.6.3 (wTotalLength).
  // GET_DESCRIPTOR(CONFIGURATION): the header first, then the whole.
  UCHAR header[9];
  USHORT got = 0;
  usb::Result r = dev->control_transfer({0x80, 0x06, 0x0200, 0, 9}, header, &got);
  if (r != usb::Result::Ok) return status_of(r);
  if (got < 9) return STATUS_DEVICE_DATA_ERROR;
  USHORT total = USHORT(header[2] | header[3] << 8);
  if (total < 9) return STATUS_DEVICE_DATA_ERROR;
  auto* d = new UsbDeviceObj();
  d->device = dev;
  d->contract = contract;
  d->function = kernel::usb_function_of_pdo(korvel::sim::wdf::device_pdo(Device));
  d->config.resize(total);
  r = dev->control_transfer({0x80, 0x06, 0x0200, 0, total}, d->config.data(), &got);
  if (r != usb::Result::Ok || got < total) {
    discard(d);
    return r != usb::Result::Ok ? status_of(r) : STATUS_DEVICE_DATA_ERROR;
  }
  // The driver of one function of a composite device is handed that
  // function's partial configuration descriptor ("How to select a
  // configuration for a USB device").
  if (d->function != nullptr) d->config = usb::function_configuration(d->config, *d->function);
  NTSTATUS s = attach(d, Attributes, parent);
  if (!NT_SUCCESS(s)) {
    discard(d);
    return s;
  }
  s = parse_interfaces(d);
  if (!NT_SUCCESS(s)) {
    destroy(d);
    return s;
  }
  *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(static_cast<Object*>(d));
  return STATUS_SUCCESS;
}

// Replaces the interface's pipes by those of its configured setting.
void build_pipes(UsbDeviceObj* d, UsbInterfaceObj* itf) {
  for (UsbPipeObj* p : itf->pipes) destroy(p);
  itf->pipes.clear();
  const std::vector<UCHAR>& c = d->config;
  size_t i = itf->settings[itf->configured_index];
  i += c[i];
  while (i + 2 <= c.size()) {
    UCHAR len = c[i];
    if (len < 2 || i + len > c.size() || c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (c[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      auto* p = new UsbPipeObj();
      p->owner = itf;
      WDF_USB_PIPE_INFORMATION_INIT(&p->info);
      USHORT w = USHORT(c[i + 4] | c[i + 5] << 8);
      // Source: USB 2.0, 9.6.6: wMaxPacketSize bits 10..0 and the additional
      // transactions in bits 12..11.
      p->info.MaximumPacketSize = ULONG(w & 0x7FF) * (1 + ((w >> 11) & 3));
      p->info.EndpointAddress = c[i + 2];
      p->info.Interval = c[i + 6];
      p->info.SettingIndex = itf->configured_index;
      switch (c[i + 3] & 3) {
        case 0:
          p->info.PipeType = WdfUsbPipeTypeControl;
          break;
        case 1:
          p->info.PipeType = WdfUsbPipeTypeIsochronous;
          break;
        case 2:
          p->info.PipeType = WdfUsbPipeTypeBulk;
          break;
        default:
          p->info.PipeType = WdfUsbPipeTypeInterrupt;
          break;
      }
      // Our own choice: the MaximumTransferSize reported for every pipe.
      p->info.MaximumTransferSize = 0x400000;
      if (NT_SUCCESS(attach(p, nullptr, itf))) {
        itf->pipes.push_back(p);
      } else {
        discard(p);
      }
    }
    i += len;
  }
}

}  // namespace

extern "C" {

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  WDFUSBDEVICE* UsbDevice) {
  return create_usb_device(Device, 0, Attributes, UsbDevice);
}

NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE Device, PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
  // Source: "WDF_USB_DEVICE_CREATE_CONFIG structure (wdfusb.h)": Size, USBDClientContractVersion.
  if (Config == nullptr || Config->Size != sizeof(WDF_USB_DEVICE_CREATE_CONFIG)) {
    *UsbDevice = nullptr;
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  return create_usb_device(Device, Config->USBDClientContractVersion, Attributes, UsbDevice);
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                               PWDF_USB_DEVICE_INFORMATION Information) {
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
  if (d == nullptr || Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  // Our own choice: the USBDI and USB versions reported, a USB 2.0 stack.
  Information->UsbdVersionInformation.USBDI_Version = 0x600;
  Information->UsbdVersionInformation.Supported_USB_Version = 0x200;
  Information->HcdPortCapabilities = 0;
  Information->Traits = d->device->speed() == usb::Speed::High ? WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED : 0;
  return STATUS_SUCCESS;
}

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                           PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
  if (d == nullptr) return;
  std::vector<uint8_t> dd = d->device->device_descriptor();
  std::memcpy(UsbDeviceDescriptor, dd.data(), sizeof(USB_DEVICE_DESCRIPTOR));
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength) {
  check_passive("WdfUsbTargetDeviceRetrieveConfigDescriptor");
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
  if (d == nullptr || ConfigDescriptorLength == nullptr) return STATUS_INVALID_PARAMETER;
  USHORT size = USHORT(d->config.size());
  // Source: wdfusb.h: WdfUsbTargetDeviceRetrieveConfigDescriptor, STATUS_BUFFER_TOO_SMALL with the
  // size needed.
  if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < size) {
    *ConfigDescriptorLength = size;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(ConfigDescriptor, d->config.data(), size);
  *ConfigDescriptorLength = size;
  return STATUS_SUCCESS;
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice) {
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
  return d == nullptr ? 0 : UCHAR(d->interfaces.size());
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex) {
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceGetInterface");
  if (d == nullptr || InterfaceIndex >= d->interfaces.size()) return nullptr;
  return reinterpret_cast<WDFUSBINTERFACE>(static_cast<Object*>(d->interfaces[InterfaceIndex]));
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  check_passive("WdfUsbTargetDeviceSelectConfig");
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceSelectConfig");
  // Source: "WdfUsbTargetDeviceSelectConfig function (wdfusb.h)": alternate setting 0 unless the
  // driver names another; the pipes of the old configuration are deleted; a wrong Size is
  // STATUS_INFO_LENGTH_MISMATCH. Other select types are not supported (our own choice).
  if (d == nullptr || Params == nullptr) return STATUS_INVALID_PARAMETER;
  if (Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) return STATUS_INFO_LENGTH_MISMATCH;
  std::vector<std::pair<UsbInterfaceObj*, UCHAR>> wanted;
  if (Params->Type == WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs) {
    UCHAR n = Params->Types.MultiInterface.NumberInterfaces;
    if (n == 0 || n > d->interfaces.size() || Params->Types.MultiInterface.Pairs == nullptr) {
      return STATUS_INVALID_PARAMETER;
    }
    for (UCHAR k = 0; k < n; ++k) {
      const WDF_USB_INTERFACE_SETTING_PAIR& p = Params->Types.MultiInterface.Pairs[k];
      auto* itf = as<UsbInterfaceObj>(p.UsbInterface, Kind::UsbInterface, "WdfUsbTargetDeviceSelectConfig");
      if (itf == nullptr || owner_of(itf) != d || p.SettingIndex >= itf->settings.size()) {
        return STATUS_INVALID_PARAMETER;
      }
      wanted.emplace_back(itf, p.SettingIndex);
    }
  } else if (Params->Type == WdfUsbTargetDeviceSelectConfigTypeMultiInterface) {
    for (UsbInterfaceObj* itf : d->interfaces) wanted.emplace_back(itf, 0);
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  usb::Result r = usb::Result::Ok;
  if (d->function == nullptr) {
    r = d->device->set_configuration(d->config[5]);
    if (r != usb::Result::Ok) return status_of(r);
  } else if (d->device->configuration() != d->config[5]) {
    // The generic parent driver configured the device at its start; a
    // function's driver cannot change that ("Configuring Usbccgp.sys to
    // select a non-default USB configuration"). Unconfigured: gone.
    return d->device->connected() ? STATUS_INVALID_DEVICE_STATE : STATUS_NO_SUCH_DEVICE;
  }
  for (auto& w : wanted) {
    UCHAR alt = d->config[w.first->settings[w.second] + 3];
    // A function's interfaces keep the settings they have unless asked for
    // another; a configuration just set has them all at 0.
    const int now = d->function != nullptr ? d->device->alternate_setting(w.first->number) : 0;
    if (alt != now) {
      r = d->device->set_interface(w.first->number, alt);
      if (r != usb::Result::Ok) return status_of(r);
    }
    w.first->configured_index = w.second;
  }
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  for (UsbInterfaceObj* itf : d->interfaces) build_pipes(d, itf);
  d->configured = true;
  Params->Types.MultiInterface.NumberOfConfiguredInterfaces = UCHAR(wanted.size());
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred) {
  // Source: wdfusb.h: WdfUsbTargetDeviceSendControlTransferSynchronously, PASSIVE_LEVEL; the memory
  // descriptor types are wdfmemory.h's WDF_MEMORY_DESCRIPTOR. A length past 0xFFFF does not fit
  // wLength (USB 2.0, 9.3).
  check_passive("WdfUsbTargetDeviceSendControlTransferSynchronously");
  if (BytesTransferred != nullptr) *BytesTransferred = 0;
  auto* d =
      as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceSendControlTransferSynchronously");
  if (d == nullptr || SetupPacket == nullptr) return STATUS_INVALID_PARAMETER;
  if (RequestOptions != nullptr && RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  PUCHAR buffer = nullptr;
  ULONG length = 0;
  if (MemoryDescriptor != nullptr) {
    switch (MemoryDescriptor->Type) {
      case WdfMemoryDescriptorTypeBuffer:
        buffer = static_cast<PUCHAR>(MemoryDescriptor->u.BufferType.Buffer);
        length = MemoryDescriptor->u.BufferType.Length;
        break;
      case WdfMemoryDescriptorTypeMdl:
        buffer = static_cast<PUCHAR>(
            MmGetSystemAddressForMdlSafe(MemoryDescriptor->u.MdlType.Mdl, NormalPagePriority));
        length = MemoryDescriptor->u.MdlType.BufferLength;
        break;
      case WdfMemoryDescriptorTypeHandle: {
        size_t size = 0;
        buffer = static_cast<PUCHAR>(WdfMemoryGetBuffer(MemoryDescriptor->u.HandleType.Memory, &size));
        length = ULONG(size);
        if (MemoryDescriptor->u.HandleType.Offsets != nullptr) {
          const WDFMEMORY_OFFSET* o = MemoryDescriptor->u.HandleType.Offsets;
          if (o->BufferOffset > size || o->BufferLength > size - o->BufferOffset)
            return STATUS_INVALID_PARAMETER;
          buffer += o->BufferOffset;
          length = ULONG(o->BufferLength);
        }
        break;
      }
      default:
        return STATUS_INVALID_PARAMETER;
    }
    if (buffer == nullptr && length != 0) return STATUS_INVALID_PARAMETER;
  }
  if (length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  // The driver of one function reaches that function's interfaces only
  // (our own choice, the harsher one: what the generic parent driver does
  // with a request to another function's interface is not documented).
  if (d->function != nullptr && (SetupPacket->Packet.bm.Byte & 0x1F) == 1 &&
      !d->function->holds(UCHAR(SetupPacket->Packet.wIndex.Value & 0xFF))) {
    return STATUS_INVALID_PARAMETER;
  }
  usb::Setup s{SetupPacket->Packet.bm.Byte, SetupPacket->Packet.bRequest, SetupPacket->Packet.wValue.Value,
               SetupPacket->Packet.wIndex.Value, USHORT(length)};
  USHORT got = 0;
  usb::Result r = d->device->control_transfer(s, buffer, &got);
  if (r == usb::Result::Timeout) {
    // A device that NAKs holds the request until its time-out; without one
    // it would never complete.
    if (RequestOptions == nullptr || (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) == 0) {
      verifier::fail("a control transfer without a time-out to a device that never answers never completes");
      return STATUS_IO_TIMEOUT;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = RequestOptions->Timeout;
    korvel::sim::Clock::instance().sleep_until(kernel::deadline_from_timeout(&timeout));
    return STATUS_IO_TIMEOUT;
  }
  if (BytesTransferred != nullptr) *BytesTransferred = got;
  return status_of(r);
}

NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice) {
  // Source: wdfusb.h: WdfUsbTargetDeviceIsConnectedSynchronous; STATUS_DEVICE_NOT_CONNECTED when
  // gone (our own choice).
  check_passive("WdfUsbTargetDeviceIsConnectedSynchronous");
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceIsConnectedSynchronous");
  if (d == nullptr) return STATUS_INVALID_PARAMETER;
  return d->device->connected() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE UsbDevice, PULONG CurrentFrameNumber) {
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceRetrieveCurrentFrameNumber");
  if (d == nullptr || CurrentFrameNumber == nullptr) return STATUS_INVALID_PARAMETER;
  if (!d->device->connected()) return STATUS_NO_SUCH_DEVICE;
  *CurrentFrameNumber = d->device->frame_number();
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceCreateIsochUrb(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES Attributes,
                                          ULONG NumberOfIsochPackets, WDFMEMORY* UrbMemory, PURB* Urb) {
  *UrbMemory = nullptr;
  if (Urb != nullptr) *Urb = nullptr;
  auto* d = as<UsbDeviceObj>(UsbDevice, Kind::UsbDevice, "WdfUsbTargetDeviceCreateIsochUrb");
  if (d == nullptr || NumberOfIsochPackets == 0) return STATUS_INVALID_PARAMETER;
  // Source: "WdfUsbTargetDeviceCreateIsochUrb function (wdfusb.h)": needs
  // WdfUsbTargetDeviceCreateWithParameters and the 602 contract, else
  // STATUS_INVALID_DEVICE_STATE. The framework zeroes the URB.
  if (d->contract < USBD_CLIENT_CONTRACT_VERSION_602) return STATUS_INVALID_DEVICE_STATE;
  WDF_OBJECT_ATTRIBUTES a;
  if (Attributes != nullptr) {
    a = *Attributes;
  } else {
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
  }
  if (a.ParentObject == nullptr) a.ParentObject = UsbDevice;
  PVOID buffer = nullptr;
  size_t size = GET_ISO_URB_SIZE(NumberOfIsochPackets);
  NTSTATUS s = WdfMemoryCreate(&a, korvel::sim::kernel::system_nonpaged_pool(), 0, size, UrbMemory, &buffer);
  if (!NT_SUCCESS(s)) return s;
  std::memset(buffer, 0, size);
  if (Urb != nullptr) *Urb = static_cast<PURB>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
  // Source: wdfusb.h: WdfUsbInterfaceSelectSetting, PASSIVE_LEVEL; an interface is selected after
  // its configuration (STATUS_INVALID_DEVICE_STATE before: our own choice).
  check_passive("WdfUsbInterfaceSelectSetting");
  auto* itf = as<UsbInterfaceObj>(UsbInterface, Kind::UsbInterface, "WdfUsbInterfaceSelectSetting");
  if (itf == nullptr || Params == nullptr ||
      Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS)) {
    return STATUS_INVALID_PARAMETER;
  }
  UsbDeviceObj* d = owner_of(itf);
  UCHAR index = 0;
  if (Params->Type == WdfUsbInterfaceSelectSettingTypeSetting) {
    index = Params->Types.Interface.SettingIndex;
  } else if (Params->Type == WdfUsbInterfaceSelectSettingTypeDescriptor) {
    const UCHAR* want = reinterpret_cast<const UCHAR*>(Params->Types.Descriptor.InterfaceDescriptor);
    if (want == nullptr) return STATUS_INVALID_PARAMETER;
    bool found = false;
    for (size_t k = 0; k < itf->settings.size(); ++k) {
      if (d->config[itf->settings[k] + 3] == want[3]) {
        index = UCHAR(k);
        found = true;
        break;
      }
    }
    if (!found) return STATUS_INVALID_PARAMETER;
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  if (index >= itf->settings.size()) return STATUS_INVALID_PARAMETER;
  if (!d->configured) return STATUS_INVALID_DEVICE_STATE;
  // The framework stops the pipes of the old setting, cancelling what was
  // sent to them, before it deletes them.
  std::vector<UsbPipeObj*> old_pipes;
  {
    std::lock_guard<std::recursive_mutex> g(tree_mutex());
    old_pipes = itf->pipes;
  }
  for (UsbPipeObj* p : old_pipes) {
    {
      std::lock_guard<std::mutex> g(p->io_m);
      p->started = false;
    }
    cancel_sent_io(p);
  }
  usb::Result r = d->device->set_interface(itf->number, d->config[itf->settings[index] + 3]);
  if (r != usb::Result::Ok) return status_of(r);
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  itf->configured_index = index;
  build_pipes(d, itf);
  return STATUS_SUCCESS;
}

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface) {
  auto* itf = as<UsbInterfaceObj>(UsbInterface, Kind::UsbInterface, "WdfUsbInterfaceGetInterfaceNumber");
  return itf == nullptr ? 0 : itf->number;
}

BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface) {
  auto* itf = as<UsbInterfaceObj>(UsbInterface, Kind::UsbInterface, "WdfUsbInterfaceGetNumSettings");
  return itf == nullptr ? 0 : BYTE(itf->settings.size());
}

BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface) {
  auto* itf = as<UsbInterfaceObj>(Interface, Kind::UsbInterface, "WdfUsbInterfaceGetConfiguredSettingIndex");
  return itf == nullptr ? 0 : itf->configured_index;
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
  auto* itf = as<UsbInterfaceObj>(UsbInterface, Kind::UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
  return itf == nullptr ? 0 : BYTE(itf->pipes.size());
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo) {
  auto* itf = as<UsbInterfaceObj>(UsbInterface, Kind::UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
  if (itf == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> g(tree_mutex());
  if (PipeIndex >= itf->pipes.size()) return nullptr;
  UsbPipeObj* p = itf->pipes[PipeIndex];
  if (PipeInfo != nullptr) {
    // Source: wdfusb.h: WDF_USB_PIPE_INFORMATION_INIT sets Size; a wrong one is our own failure.
    if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
      verifier::fail("WdfUsbInterfaceGetConfiguredPipe with a wrong WDF_USB_PIPE_INFORMATION size");
    } else {
      *PipeInfo = p->info;
    }
  }
  return reinterpret_cast<WDFUSBPIPE>(static_cast<Object*>(p));
}

void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation) {
  auto* p = as<UsbPipeObj>(Pipe, Kind::UsbPipe, "WdfUsbTargetPipeGetInformation");
  if (p != nullptr && PipeInformation != nullptr) *PipeInformation = p->info;
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe) {
  auto* p = as<UsbPipeObj>(UsbPipe, Kind::UsbPipe, "WdfUsbTargetPipeWdmGetPipeHandle");
  return p;
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
  auto* p = as<UsbPipeObj>(Pipe, Kind::UsbPipe, "WdfUsbTargetPipeGetIoTarget");
  return reinterpret_cast<WDFIOTARGET>(static_cast<Object*>(p));
}

}  // extern "C"
