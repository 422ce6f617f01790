// A composite device as Windows' USB generic parent driver (usbccgp)
// presents it: the configuration split into functions (interface
// collections), each with a physical device object of its own, and the
// partial configuration descriptor the driver of one function is handed.
//
// From Microsoft's documentation:
// - "Enumeration of Interface Collections on USB Composite Devices": an
//   interface association descriptor (IAD) groups bInterfaceCount
//   interfaces from bFirstInterface on; with IADs present, interfaces no IAD
//   covers are functions of their own and the legacy audio method is not
//   used.
// - "Enumeration of Interface Collections on Audio Devices without IADs":
//   without IADs, consecutive audio-class interfaces whose subclass differs
//   from the first one's join it (AudioControl, then its streaming and MIDI
//   interfaces).
// - "Enumeration of Interfaces on USB Composite Devices": every other
//   interface is a function of its own; a function's MI_xx is the number
//   of its first interface.
// - "How to select a configuration for a USB device" and "Configuring
//   Usbccgp.sys to select a non-default USB configuration": the parent
//   driver configures the device; the driver of a function sees a
//   configuration descriptor with that function's interfaces only
//   (bNumInterfaces its own count, interface numbers as the device has
//   them) and cannot change the configuration.
// - "USB Interface Association Descriptor": client drivers cannot reach an
//   IAD; the partial descriptor carries none (our reading, the harsher one).
//
// Pure functions on descriptor bytes (outside input: malformed parts end
// the walk).
#ifndef KORVEL_SIM_USB_COMPOSITE_H
#define KORVEL_SIM_USB_COMPOSITE_H

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel::sim::usb {

struct InterfaceCollection {
  uint8_t first_interface = 0;      // the function's MI_xx
  std::vector<uint8_t> interfaces;  // its interface numbers, in descriptor order
  bool holds(uint8_t number) const;
};

// The functions of a configuration descriptor, in the order of their first
// interfaces.
std::vector<InterfaceCollection> interface_collections(const std::vector<uint8_t>& config);

// Whether Windows loads the generic parent driver for a device with this
// configuration: it has more than one interface ("Enumeration of USB
// Composite Devices"; the simulated device descriptor has the composite
// class codes and one configuration).
bool is_composite(const std::vector<uint8_t>& config);

// The configuration descriptor the driver of `function` is handed: the
// configuration descriptor with bNumInterfaces and wTotalLength of the
// function, then every descriptor from each of the function's interface
// descriptors up to the next interface or association descriptor.
std::vector<uint8_t> function_configuration(const std::vector<uint8_t>& config,
                                            const InterfaceCollection& function);

// The function whose driver quenby is: on a composite device the one whose
// interfaces hold the first USB Audio 2.0 AudioControl interface (class 1,
// subclass 1, protocol 0x20), else the first function; nothing for a
// device that is not composite (its driver gets the whole device).
std::optional<InterfaceCollection> audio_function(const std::vector<uint8_t>& config);

}  // namespace korvel::sim::usb

#endif
