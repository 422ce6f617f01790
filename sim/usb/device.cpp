// The simulated USB device and its default pipe.
#include "usb/device.h"

#include <cstring>

#include "kernel/clock.h"

namespace korvel::sim::usb {

namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

}  // namespace

Device::Device(std::shared_ptr<Function> function, Speed speed)
    : function_(std::move(function)), speed_(speed), config_(function_->configuration_descriptor(speed)) {}

std::vector<uint8_t> Device::device_descriptor() const {
  return {18,   0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 64,   0x4B,
          0x4B, 0x01, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
}

bool Device::connected() const {
  std::lock_guard<std::mutex> g(m_);
  return connected_;
}

void Device::unplug() {
  std::lock_guard<std::mutex> g(m_);
  connected_ = false;
  configuration_ = 0;
  alternate_.clear();
}

void Device::plug() {
  std::lock_guard<std::mutex> g(m_);
  connected_ = true;
  configuration_ = 0;
  alternate_.clear();
}

bool Device::has_setting(uint8_t interface_number, uint8_t alternate_setting) const {
  size_t i = 0;
  while (i + 2 <= config_.size()) {
    uint8_t len = config_[i];
    if (len < 2 || i + len > config_.size()) break;
    if (config_[i + 1] == 0x04 && len >= 9 && config_[i + 2] == interface_number &&
        config_[i + 3] == alternate_setting) {
      return true;
    }
    i += len;
  }
  return false;
}

Result Device::control_transfer(const Setup& setup, uint8_t* data, uint16_t* transferred) {
  *transferred = 0;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
  }
  const uint8_t type = (setup.bmRequestType >> 5) & 3;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  if (type == 0) {
    switch (setup.bRequest) {
      case kGetDescriptor: {
        if (!in) return Result::Stall;
        const uint8_t kind = uint8_t(setup.wValue >> 8);
        std::vector<uint8_t> d;
        if (kind == 0x01) {
          d = device_descriptor();
        } else if (kind == 0x02) {
          d = config_;
        } else {
          return Result::Stall;
        }
        uint16_t n = uint16_t(d.size() < setup.wLength ? d.size() : setup.wLength);
        if (n != 0) std::memcpy(data, d.data(), n);
        *transferred = n;
        return Result::Ok;
      }
      case kSetConfiguration:
        return set_configuration(uint8_t(setup.wValue));
      case kSetInterface:
        return set_interface(uint8_t(setup.wIndex), uint8_t(setup.wValue));
      case kGetConfiguration:
        if (!in || setup.wLength < 1) return Result::Stall;
        data[0] = configuration();
        *transferred = 1;
        return Result::Ok;
      case kGetInterface: {
        if (!in || setup.wLength < 1) return Result::Stall;
        int alt = alternate_setting(uint8_t(setup.wIndex));
        if (alt < 0) return Result::Stall;
        data[0] = uint8_t(alt);
        *transferred = 1;
        return Result::Ok;
      }
      case kGetStatus:
        if (!in || setup.wLength < 2) return Result::Stall;
        data[0] = 0;
        data[1] = 0;
        *transferred = 2;
        return Result::Ok;
      default:
        return Result::Stall;
    }
  }
  Result r = function_->control(setup, data, transferred);
  if (!in) *transferred = r == Result::Ok ? setup.wLength : 0;
  return r;
}

Result Device::set_configuration(uint8_t value) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
    uint8_t own = config_.size() >= 9 ? config_[5] : 0;
    if (value != 0 && value != own) return Result::Stall;
    configuration_ = value;
    alternate_.clear();
    if (value != 0) {
      size_t i = 0;
      while (i + 2 <= config_.size()) {
        uint8_t len = config_[i];
        if (len < 2 || i + len > config_.size()) break;
        if (config_[i + 1] == 0x04 && len >= 9 && config_[i + 3] == 0) alternate_[config_[i + 2]] = 0;
        i += len;
      }
    }
  }
  function_->configuration_selected(value);
  return Result::Ok;
}

Result Device::set_interface(uint8_t interface_number, uint8_t alternate_setting) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!connected_) return Result::NoDevice;
    if (configuration_ == 0) return Result::Stall;
    if (stall_set_interface_ > 0) {
      --stall_set_interface_;
      return Result::Stall;
    }
    if (!has_setting(interface_number, alternate_setting)) return Result::Stall;
    alternate_[interface_number] = alternate_setting;
    ++set_interface_count_;
  }
  function_->interface_selected(interface_number, alternate_setting);
  return Result::Ok;
}

int Device::alternate_setting(uint8_t interface_number) const {
  std::lock_guard<std::mutex> g(m_);
  auto it = alternate_.find(interface_number);
  return it == alternate_.end() ? -1 : it->second;
}

uint8_t Device::configuration() const {
  std::lock_guard<std::mutex> g(m_);
  return configuration_;
}

uint64_t Device::set_interface_count() const {
  std::lock_guard<std::mutex> g(m_);
  return set_interface_count_;
}

void Device::stall_next_set_interface(uint32_t n) {
  std::lock_guard<std::mutex> g(m_);
  stall_set_interface_ = n;
}

uint32_t Device::frame_number() const {
  return uint32_t(Clock::instance().now_ns() / 1000000);
}

}  // namespace korvel::sim::usb
