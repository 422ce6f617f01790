// The generic parent driver's view of a composite device; see composite.h.
#include "usb/composite.h"

#include <algorithm>
#include <cstring>

#include "usb_audio_descriptors.h"

namespace korvel::sim::usb {

namespace {

struct Interface {
  uint8_t number, cls, subclass, protocol;
};

struct Association {
  uint8_t first, count;
};

// Whether `c` starts with a whole configuration descriptor.
bool has_configuration(const std::vector<uint8_t>& c) {
  return c.size() >= sizeof(UsbConfigurationDescriptor) &&
         DescriptorAs<UsbDescriptorHeader>(c.data())->bLength >= sizeof(UsbConfigurationDescriptor) &&
         DescriptorAs<UsbDescriptorHeader>(c.data())->bDescriptorType == kUsbConfigurationType;
}

// Calls `visit(offset)` for each whole descriptor after the configuration
// descriptor, inside wTotalLength and the bytes there are.
template <typename Visit>
void walk(const std::vector<uint8_t>& c, Visit visit) {
  if (!has_configuration(c)) return;
  const UsbConfigurationDescriptor* config = DescriptorAs<UsbConfigurationDescriptor>(c.data());
  const size_t total = std::min(c.size(), size_t(config->wTotalLength));
  for (size_t i = config->bLength; i + 2 <= total;) {
    const uint8_t len = DescriptorAs<UsbDescriptorHeader>(&c[i])->bLength;
    if (len < 2 || i + len > total) return;
    visit(i);
    i += len;
  }
}

// The interfaces in the order of their first descriptor (the class codes
// of that one, normally alternate setting 0), and the associations.
void survey(const std::vector<uint8_t>& c, std::vector<Interface>* interfaces,
            std::vector<Association>* associations) {
  walk(c, [&](size_t i) {
    const UsbDescriptorHeader* d = DescriptorAs<UsbDescriptorHeader>(&c[i]);
    if (d->bDescriptorType == kUsbAssociationType &&
        d->bLength >= sizeof(UsbInterfaceAssociationDescriptor)) {
      const UsbInterfaceAssociationDescriptor* a = DescriptorAs<UsbInterfaceAssociationDescriptor>(&c[i]);
      associations->push_back({a->bFirstInterface, a->bInterfaceCount});
    }
    if (d->bDescriptorType != kUsbInterfaceType || d->bLength < sizeof(UsbInterfaceDescriptor)) return;
    const UsbInterfaceDescriptor* itf = DescriptorAs<UsbInterfaceDescriptor>(&c[i]);
    for (const Interface& k : *interfaces) {
      if (k.number == itf->bInterfaceNumber) return;
    }
    interfaces->push_back(
        {itf->bInterfaceNumber, itf->bInterfaceClass, itf->bInterfaceSubClass, itf->bInterfaceProtocol});
  });
}

}  // namespace

bool InterfaceCollection::holds(uint8_t number) const {
  return std::find(interfaces.begin(), interfaces.end(), number) != interfaces.end();
}

std::vector<InterfaceCollection> interface_collections(const std::vector<uint8_t>& config) {
  std::vector<Interface> itfs;
  std::vector<Association> iads;
  survey(config, &itfs, &iads);
  std::vector<InterfaceCollection> out;
  std::vector<bool> taken(itfs.size(), false);
  for (size_t i = 0; i < itfs.size(); ++i) {
    if (taken[i]) continue;
    InterfaceCollection f;
    f.first_interface = itfs[i].number;
    // The association that covers the interface, if any.
    const Association* a = nullptr;
    for (const Association& x : iads) {
      if (itfs[i].number >= x.first && itfs[i].number - x.first < x.count) {
        a = &x;
        break;
      }
    }
    if (a != nullptr) {
      f.first_interface = a->first;
      for (size_t j = i; j < itfs.size(); ++j) {
        if (!taken[j] && itfs[j].number >= a->first && itfs[j].number - a->first < a->count) {
          taken[j] = true;
          f.interfaces.push_back(itfs[j].number);
        }
      }
    } else {
      taken[i] = true;
      f.interfaces.push_back(itfs[i].number);
      // Without associations: the legacy audio grouping.
      if (iads.empty() && itfs[i].cls == kUac2AudioClass) {
        for (size_t j = i + 1;
             j < itfs.size() && itfs[j].cls == kUac2AudioClass && itfs[j].subclass != itfs[i].subclass; ++j) {
          taken[j] = true;
          f.interfaces.push_back(itfs[j].number);
        }
      }
    }
    out.push_back(std::move(f));
  }
  return out;
}

bool is_composite(const std::vector<uint8_t>& config) {
  std::vector<Interface> itfs;
  std::vector<Association> iads;
  survey(config, &itfs, &iads);
  return itfs.size() > 1;
}

std::vector<uint8_t> function_configuration(const std::vector<uint8_t>& config,
                                            const InterfaceCollection& function) {
  if (!has_configuration(config)) return config;
  UsbConfigurationDescriptor head;
  std::memcpy(&head, config.data(), sizeof(head));
  std::vector<uint8_t> out(config.begin(), config.begin() + sizeof(head));
  bool in_function = false;
  walk(config, [&](size_t i) {
    const UsbDescriptorHeader* d = DescriptorAs<UsbDescriptorHeader>(&config[i]);
    if (d->bDescriptorType == kUsbAssociationType) {
      in_function = false;
    } else if (d->bDescriptorType == kUsbInterfaceType && d->bLength >= sizeof(UsbInterfaceDescriptor)) {
      in_function = function.holds(DescriptorAs<UsbInterfaceDescriptor>(&config[i])->bInterfaceNumber);
    }
    if (in_function) out.insert(out.end(), config.begin() + long(i), config.begin() + long(i + d->bLength));
  });
  head.wTotalLength = uint16_t(out.size());
  head.bNumInterfaces = uint8_t(function.interfaces.size());
  std::memcpy(out.data(), &head, sizeof(head));
  return out;
}

std::optional<InterfaceCollection> audio_function(const std::vector<uint8_t>& config) {
  if (!is_composite(config)) return std::nullopt;
  std::vector<Interface> itfs;
  std::vector<Association> iads;
  survey(config, &itfs, &iads);
  const std::vector<InterfaceCollection> functions = interface_collections(config);
  for (const Interface& i : itfs) {
    if (i.cls != kUac2AudioClass || i.subclass != kUac2AudioControl || i.protocol != kUac2Protocol) continue;
    for (const InterfaceCollection& f : functions) {
      if (f.holds(i.number)) return f;
    }
  }
  return functions.front();
}

}  // namespace korvel::sim::usb
