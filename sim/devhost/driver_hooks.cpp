#include "driver_hooks.h"

#include "kernel/clock.h"

namespace korvel::devhost {

DeviceHooks driver_hooks(DriverSlot* slot, bool high_speed, std::vector<uint8_t> descriptor,
                         std::vector<uint32_t> rates) {
  DeviceHooks hooks;
  hooks.make_unit = [slot](sim::Model m) {
    slot->stack.reset();  // the old unit's stack goes before its unit
    slot->unit = std::make_shared<sim::Unit>(m, [] { return sim::Clock::instance().now_ns() / 1000; });
    return slot->unit;
  };
  hooks.plug = [slot, high_speed, descriptor, rates](sim::Unit& unit) -> std::string {
    if (!slot->stack) {
      slot->stack = descriptor.empty()
                        ? std::make_unique<sim::devhost::DriverStack>(unit, high_speed)
                        : std::make_unique<sim::devhost::DriverStack>(unit, high_speed, descriptor, rates);
    }
    std::string why;
    if (slot->stack->plug(&why)) return {};
    slot->stack->unplug();
    return "quenby refused the unit: " + why;
  };
  hooks.unplug = [slot] {
    if (slot->stack) slot->stack->unplug();
  };
  // Clients reach the unit through quenby's own dispatch, and find it by the
  // interfaces quenby registered on the started device.
  hooks.interfaces = [slot] {
    return slot->stack ? slot->stack->interfaces() : std::vector<sim::devhost::DeviceInterface>{};
  };
  hooks.open_file = [slot](const std::u16string& name, std::unique_ptr<sim::devhost::DriverFile>* out) {
    return slot->stack ? slot->stack->open(name, out) : int32_t(wire::kStatusNoSuchDevice);
  };
  return hooks;
}

}  // namespace korvel::devhost
