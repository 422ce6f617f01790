#include "driver_fixture.h"

#include "kernel/clock.h"

namespace kernel = korvel::sim::kernel;
namespace usb = korvel::sim::usb;

QuenbyHarness::QuenbyHarness(std::shared_ptr<usb::Function> function, bool high_speed)
    : device_(std::make_shared<usb::Device>(std::move(function),
                                            high_speed ? usb::Speed::High : usb::Speed::Full)) {
  korvel::sim::Clock::instance().attach_current_thread();
}

QuenbyHarness::~QuenbyHarness() {
  if (node_ && node_->added()) node_->remove();
  node_.reset();
  driver_.reset();
}

NTSTATUS QuenbyHarness::load() {
  NTSTATUS s = kernel::Driver::load(DriverEntry, u"quenby", &driver_);
  if (NT_SUCCESS(s)) driver_->set_driver_tags({QUENBY_MEMORY_TAG, QUENBY_DRIVER_TAG});
  return s;
}

NTSTATUS QuenbyHarness::add() {
  node_ = std::make_unique<kernel::DeviceNode>(*driver_, device_);
  return node_->add();
}

NTSTATUS QuenbyHarness::start() {
  return node_->start();
}

NTSTATUS QuenbyHarness::bring_up() {
  NTSTATUS s = load();
  if (NT_SUCCESS(s)) s = add();
  if (NT_SUCCESS(s)) s = start();
  return s;
}

void QuenbyHarness::unplug() {
  device_->unplug();
  if (node_ && node_->added()) {
    node_->surprise_remove();
    node_->remove();
  }
  node_.reset();
  driver_.reset();
}

WDF_DEVICE_CONTEXT* QuenbyHarness::context() const {
  if (!node_ || !node_->added()) return nullptr;
  return QuenbyContextFromKsDevice(node_->ks_device());
}

std::shared_ptr<usb::Function> RawDevice(std::vector<uint8_t> descriptor, std::vector<uint32_t> rates) {
  return korvel::sim::uac2::make_raw_function(std::move(descriptor), std::move(rates));
}
