// quenby behind a published unit: the hooks that make a plug the driver's
// add and start, an unplug its surprise removal and removal, and every client
// handle a handle on the driver's own dispatch.
#ifndef KORVEL_DEVHOST_DRIVER_HOOKS_H
#define KORVEL_DEVHOST_DRIVER_HOOKS_H

#include <memory>

#include "driver_stack.h"
#include "published_device.h"

namespace korvel::devhost {

// The unit and the driver stack on it; the unit outlives its stack.
struct DriverSlot {
  std::shared_ptr<sim::Unit> unit;
  std::unique_ptr<sim::devhost::DriverStack> stack;
};

// Hooks that keep the current unit and its stack in *slot. One driver per
// process: a new model gets a new stack on a new unit.
// A non-empty `descriptor` gives every unit that USB function instead of its
// model's (its clock offers `rates`).
DeviceHooks driver_hooks(DriverSlot* slot, bool high_speed, std::vector<uint8_t> descriptor = {},
                         std::vector<uint32_t> rates = {});

}  // namespace korvel::devhost

#endif
