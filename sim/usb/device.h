// The simulated USB bus with its one device. The device answers the standard
// requests of the default pipe itself (descriptors, configuration, interface
// and alternate-setting selection) and hands class and vendor requests to its
// function; the bus provides the frame number from the simulated clock,
// connection state and surprise removal.
#ifndef KORVEL_SIM_USB_DEVICE_H
#define KORVEL_SIM_USB_DEVICE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace korvel::sim::usb {

enum class Speed { Full, High };

// Outcome of one transfer as the host controller reports it.
enum class Result {
  Ok,        // completed (device-to-host: `transferred` bytes arrived)
  Stall,     // the endpoint answered STALL
  NoDevice,  // nothing on the bus answered
};

struct Setup {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// What sits behind a device's default pipe besides the standard requests.
class Function {
 public:
  virtual ~Function() = default;
  // The full configuration descriptor (configuration, interfaces, endpoints,
  // class-specific descriptors) for the speed the device runs at.
  virtual std::vector<uint8_t> configuration_descriptor(Speed speed) const = 0;
  // Class and vendor requests. `data` holds wLength bytes; for device-to-host
  // requests the function writes at most wLength bytes and sets *transferred.
  virtual Result control(const Setup& setup, uint8_t* data, uint16_t* transferred) = 0;
  // Notifications of standard requests the device accepted.
  virtual void configuration_selected(uint8_t value) {}
  virtual void interface_selected(uint8_t interface_number, uint8_t alternate_setting) {}
};

class Device {
 public:
  Device(std::shared_ptr<Function> function, Speed speed);

  Speed speed() const { return speed_; }
  const std::vector<uint8_t>& configuration_descriptor() const { return config_; }
  std::vector<uint8_t> device_descriptor() const;

  // Connection state. unplug() takes the device off the bus at once (a
  // surprise removal); plug() puts it back unconfigured.
  bool connected() const;
  void unplug();
  void plug();

  // A control transfer on the default pipe.
  Result control_transfer(const Setup& setup, uint8_t* data, uint16_t* transferred);

  // Standard requests as the host controller driver issues them.
  Result set_configuration(uint8_t value);
  Result set_interface(uint8_t interface_number, uint8_t alternate_setting);
  // Current alternate setting of an interface (-1 when unconfigured or unknown).
  int alternate_setting(uint8_t interface_number) const;
  uint8_t configuration() const;
  // Number of SET_INTERFACE requests accepted so far (for tests).
  uint64_t set_interface_count() const;

  // Makes the next n SET_INTERFACE requests stall (tests of retries).
  void stall_next_set_interface(uint32_t n);

  // The bus's 1 ms frame counter, from the simulated clock.
  uint32_t frame_number() const;

 private:
  bool has_setting(uint8_t interface_number, uint8_t alternate_setting) const;

  std::shared_ptr<Function> function_;
  Speed speed_;
  std::vector<uint8_t> config_;
  mutable std::mutex m_;
  bool connected_ = true;
  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alternate_;
  uint64_t set_interface_count_ = 0;
  uint32_t stall_set_interface_ = 0;
};

}  // namespace korvel::sim::usb

#endif
