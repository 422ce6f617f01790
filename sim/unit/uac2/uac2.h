// The USB Audio 2.0 function of the simulated unit: the configuration
// descriptor of each model at high and full speed (uac2_builder.h), read back
// as the unit routes it (uac2_parser.h), and the clock entities a descriptor
// names, answering their controls on the default pipe (uac2_requests.cpp): clock
// sources (GET RANGE, GET CUR and SET CUR of the sampling frequency, GET CUR
// of clock validity), clock selectors (GET CUR and SET CUR of the selected
// input) and clock multipliers (GET CUR of numerator and denominator). Each
// streaming interface runs at the rate of the clock its terminal names,
// followed through selectors and multipliers: directions whose terminals
// lead to one clock source share it. Vendor requests 0x1D/0x1E go to the
// unit's message firmware.
#ifndef KORVEL_SIM_UNIT_UAC2_H
#define KORVEL_SIM_UNIT_UAC2_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "uac2_builder.h"
#include "uac2_parser.h"
#include "unit.h"
#include "unit_audio.h"
#include "unit_clock.h"
#include "usb/device.h"

namespace korvel::sim::uac2 {

// A USB Audio 2.0 function: fixed descriptors and the clock entities they
// name. Every clock source offers `rates` of the speed the device runs at.
class Uac2Function : public usb::Function {
 public:
  Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed, ClockRates rates,
               uint32_t rate);
  Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed, ClockRates high_speed_rates,
               ClockRates full_speed_rates, uint32_t rate);

  std::vector<uint8_t> configuration_descriptor(usb::Speed speed) const override;
  usb::Result control(const usb::Setup& setup, uint8_t* data, uint16_t* transferred) override;

  // The rate of the first clock source.
  uint32_t rate() const;
  // The rate streaming interface `number` runs at now: the clock its
  // terminal names, through the selectors' current inputs and the
  // multipliers' ratios. 0 when that reaches no clock source; *source gets
  // the clock source's ID (-1 then).
  uint32_t interface_rate(uint8_t number, int* source = nullptr) const;
  // A selector's current input (1-based), as its SET CUR sets it; false
  // for no such selector or input.
  bool select_clock_input(uint8_t selector, uint8_t pin);
  // A multiplier's ratio (1:1 unless set).
  void set_multiplier(uint8_t id, uint16_t numerator, uint16_t denominator);
  // A clock source's rate as the unit's side changes it (a word clock that
  // moves, a rate set on the front panel), whether or not the host may set
  // it; false for no such source.
  bool set_clock_rate(uint8_t source, uint32_t rate);
  // Whether a clock source has a signal to run from (an external clock with
  // nothing plugged in has none), as GET CUR of its validity control
  // answers; valid unless set. False for no such source.
  bool set_clock_valid(uint8_t source, bool valid);
  // Makes GET CUR of a source's validity control stall though the
  // descriptor announces it (a unit that does not keep its word). False for
  // no such source.
  bool stall_clock_valid_reads(uint8_t source, bool stall);

 protected:
  virtual usb::Result vendor(const usb::Setup& setup, uint8_t* data, uint16_t* transferred);
  // A clock source's rate or a selector's input changed (no lock held).
  virtual void clocks_changed() {}

 private:
  struct ClockState {
    uint32_t rate = 0;                        // sources
    bool valid = true;                        // sources: the validity control
    bool valid_stalls = false;                // sources: its reads stall
    uint8_t selected = 1;                     // selectors: the current input, 1-based
    uint16_t numerator = 1, denominator = 1;  // multipliers
  };
  const ClockEntity* entity_locked(uint8_t id) const;
  usb::Result clock_request_locked(const ClockEntity& e, const usb::Setup& setup, uint8_t* data,
                                   uint16_t* transferred, bool* changed);
  uint32_t resolve_locked(uint8_t id, int* source) const;

  std::vector<uint8_t> high_speed_;
  std::vector<uint8_t> full_speed_;
  ClockRates high_speed_rates_;
  ClockRates full_speed_rates_;
  mutable std::mutex m_;
  // Of the speed the device enumerated at.
  mutable std::vector<RateRange> ranges_;
  mutable std::vector<ClockEntity> entities_;
  mutable std::vector<StreamingInterface> streaming_;
  mutable std::map<uint8_t, uint8_t> terminal_clock_;  // terminal ID -> bCSourceID
  mutable int control_interface_ = -1;                 // the AudioControl interface's number
  mutable std::map<uint8_t, ClockState> state_;
  uint32_t initial_rate_;
};

// The unit of a model: its descriptors, its clock and its message firmware;
// paced by implicit feedback when its feedback format says so.
std::shared_ptr<Uac2Function> make_unit_function(Unit& unit);
// The unit's message firmware and audio behind any USB Audio 2.0 descriptor
// (the same at both speeds): it streams by the descriptor's own settings,
// endpoints, subslot sizes, intervals and clocks; its clock sources offer
// `rates`.
std::shared_ptr<Uac2Function> make_unit_function(Unit& unit, std::vector<uint8_t> descriptor,
                                                 ClockRates rates);
// A function built from raw configuration-descriptor bytes (the same at both
// speeds) whose clock sources offer `rates`.
std::shared_ptr<Uac2Function> make_raw_function(std::vector<uint8_t> descriptor, ClockRates rates);

}  // namespace korvel::sim::uac2

#endif
