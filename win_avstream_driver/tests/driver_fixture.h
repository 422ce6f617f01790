// Runs quenby on a simulated device: loads the driver, adds and starts the
// device, and reads the driver's context.
#ifndef QUENBY_TESTS_DRIVER_FIXTURE_H
#define QUENBY_TESTS_DRIVER_FIXTURE_H

#include <memory>
#include <vector>

#include "kernel/host.h"
#include "quenby.h"
#include "uac2.h"
#include "usb/device.h"

class QuenbyHarness {
 public:
  QuenbyHarness(std::shared_ptr<korvel::sim::usb::Function> function, bool high_speed = true);
  ~QuenbyHarness();

  NTSTATUS load();
  NTSTATUS add();
  NTSTATUS start();
  // load + add + start.
  NTSTATUS bring_up();
  void unplug();  // surprise removal, remove, unload

  WDF_DEVICE_CONTEXT* context() const;
  korvel::sim::kernel::DeviceNode& node() { return *node_; }
  korvel::sim::usb::Device& device() { return *device_; }

 private:
  std::shared_ptr<korvel::sim::usb::Device> device_;
  std::unique_ptr<korvel::sim::kernel::Driver> driver_;
  std::unique_ptr<korvel::sim::kernel::DeviceNode> node_;
};

// A raw device whose clocks offer the given rates.
std::shared_ptr<korvel::sim::usb::Function> RawDevice(std::vector<uint8_t> descriptor,
                                                      std::vector<uint32_t> rates = {44100, 48000});

#endif
