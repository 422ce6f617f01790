// The generic parent driver's view of a composite device; see composite.h.
#include "usb/composite.h"

#include <algorithm>

namespace korvel::sim::usb {

namespace {

constexpr uint8_t kConfigurationType = 0x02;
constexpr uint8_t kInterfaceType = 0x04;
constexpr uint8_t kAssociationType = 0x0B;
constexpr uint8_t kAudioClass = 0x01;

struct Interface {
  uint8_t number, cls, subclass, protocol;
};

struct Association {
  uint8_t first, count;
};

// Calls `visit(offset)` for each whole descriptor after the configuration
// descriptor, inside wTotalLength and the bytes there are.
template <typename Visit>
void walk(const std::vector<uint8_t>& c, Visit visit) {
  if (c.size() < 9 || c[0] < 9 || c[1] != kConfigurationType) return;
  const size_t total = std::min(c.size(), size_t(c[2] | c[3] << 8));
  for (size_t i = c[0]; i + 2 <= total;) {
    const uint8_t len = c[i];
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
    const uint8_t len = c[i], type = c[i + 1];
    if (type == kAssociationType && len >= 8) associations->push_back({c[i + 2], c[i + 3]});
    if (type != kInterfaceType || len < 9) return;
    for (const Interface& k : *interfaces) {
      if (k.number == c[i + 2]) return;
    }
    interfaces->push_back({c[i + 2], c[i + 5], c[i + 6], c[i + 7]});
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
      if (iads.empty() && itfs[i].cls == kAudioClass) {
        for (size_t j = i + 1;
             j < itfs.size() && itfs[j].cls == kAudioClass && itfs[j].subclass != itfs[i].subclass; ++j) {
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
  if (config.size() < 9 || config[0] < 9 || config[1] != kConfigurationType) return config;
  std::vector<uint8_t> out(config.begin(), config.begin() + 9);
  bool in_function = false;
  walk(config, [&](size_t i) {
    const uint8_t len = config[i], type = config[i + 1];
    if (type == kAssociationType) {
      in_function = false;
    } else if (type == kInterfaceType && len >= 9) {
      in_function = function.holds(config[i + 2]);
    }
    if (in_function) out.insert(out.end(), config.begin() + long(i), config.begin() + long(i + len));
  });
  out[2] = uint8_t(out.size());
  out[3] = uint8_t(out.size() >> 8);
  out[4] = uint8_t(function.interfaces.size());
  return out;
}

std::optional<InterfaceCollection> audio_function(const std::vector<uint8_t>& config) {
  if (!is_composite(config)) return std::nullopt;
  std::vector<Interface> itfs;
  std::vector<Association> iads;
  survey(config, &itfs, &iads);
  const std::vector<InterfaceCollection> functions = interface_collections(config);
  for (const Interface& i : itfs) {
    if (i.cls != kAudioClass || i.subclass != 0x01 || i.protocol != 0x20) continue;
    for (const InterfaceCollection& f : functions) {
      if (f.holds(i.number)) return f;
    }
  }
  return functions.front();
}

}  // namespace korvel::sim::usb
