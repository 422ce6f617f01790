// The USB Audio 2.0 function of the simulated unit: the configuration
// descriptor of each model at high and full speed, and the clock entities a
// descriptor names, answering their controls on the default pipe: clock
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
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "unit.h"
#include "unit_audio.h"
#include "unit_clock.h"
#include "usb/device.h"

namespace korvel::sim::uac2 {

// One PCM alternate setting of a streaming interface.
struct AltFormat {
  uint8_t channels;
  uint8_t subslot;  // bytes per sample in the stream
  uint8_t bits;     // valid bits
};

struct FunctionLayout {
  std::vector<AltFormat> render;   // alternate settings 1..n of the render interface
  std::vector<AltFormat> capture;  // alternate settings 1..n of the capture interface
  std::vector<uint32_t> rates;     // discrete sampling frequencies of the clock
  bool render_feature_unit = false;
  // Render paced by the capture packets (implicit feedback): no feedback
  // endpoint, the capture data endpoint of implicit-feedback usage.
  bool implicit_feedback = false;
};

constexpr uint8_t kClockId = 0x28;
constexpr uint8_t kRenderDataEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureDataEndpoint = 0x82;

// The layout of a model; at full speed only the settings whose packets fit a
// full-speed isochronous endpoint and rates up to 48 kHz remain.
FunctionLayout model_layout(Model model, usb::Speed speed);
std::vector<uint8_t> build_configuration(const FunctionLayout& layout, usb::Speed speed);
// wMaxPacketSize of a data endpoint: the nominal packet plus one frame at the
// highest rate (bytes per microframe at high speed, per frame at full speed).
uint16_t data_max_packet(const AltFormat& format, uint32_t max_rate, usb::Speed speed);

// Byte-level builder of configuration descriptors (the models above, and the
// real-world shapes of the tests). Lengths are filled in by finish().
class ConfigBuilder {
 public:
  ConfigBuilder& raw(std::initializer_list<uint8_t> bytes);
  ConfigBuilder& raw(const std::vector<uint8_t>& bytes);
  ConfigBuilder& configuration(uint8_t num_interfaces);
  ConfigBuilder& association(uint8_t first, uint8_t count);
  ConfigBuilder& interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls, uint8_t subclass,
                           uint8_t protocol);
  // AudioControl header; its wTotalLength is computed at ac_end() unless
  // `stated_total` is given (devices that state a wrong one).
  ConfigBuilder& ac_header(uint16_t stated_total = 0);
  ConfigBuilder& ac_end();
  ConfigBuilder& clock_source(uint8_t id);
  // `attributes` D1..0: 0 external, 1 internal fixed, 2 internal variable,
  // 3 internal programmable; `controls` D1..0 the frequency control (3: host
  // programmable, 1: read-only), D3..2 clock validity.
  ConfigBuilder& clock_source(uint8_t id, uint8_t attributes, uint8_t controls);
  ConfigBuilder& clock_selector(uint8_t id, std::initializer_list<uint8_t> sources);
  ConfigBuilder& clock_multiplier(uint8_t id, uint8_t source);
  ConfigBuilder& input_terminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels);
  ConfigBuilder& output_terminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock);
  ConfigBuilder& feature_unit(uint8_t id, uint8_t source, uint8_t channels);
  ConfigBuilder& as_general(uint8_t terminal, uint8_t channels, uint32_t formats = 1,
                            uint8_t format_type = 1);
  ConfigBuilder& format_type_i(uint8_t subslot, uint8_t bits);
  ConfigBuilder& endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet, uint8_t interval);
  ConfigBuilder& cs_endpoint();
  std::vector<uint8_t> finish();

 private:
  std::vector<uint8_t> b_;
  size_t ac_header_ = SIZE_MAX;
  bool ac_total_stated_ = false;
};

// The streaming interfaces of a configuration descriptor as the unit routes
// them: per interface its alternate settings with their PCM format (idle when
// the setting carries none) and endpoints. Malformed parts are skipped.
struct StreamingSetting {
  uint8_t alt = 0;
  AudioFormat format;  // channels 0: idle
  uint8_t data_endpoint = 0;
  uint8_t data_interval = 1;  // bInterval of the data endpoint
  uint8_t data_sync = 1;      // its synchronization type (bmAttributes D3..2)
  uint8_t feedback_endpoint = 0;
  uint16_t feedback_bytes = 0;  // bytes per interval of the feedback endpoint
};
struct StreamingInterface {
  uint8_t number = 0;
  bool render = false;   // its data endpoints are OUT
  uint8_t terminal = 0;  // bTerminalLink of its first AS_GENERAL
  std::vector<StreamingSetting> settings;
};
std::vector<StreamingInterface> streaming_layout(const std::vector<uint8_t>& config);

// A clock entity of an AudioControl interface as its descriptor states it.
struct ClockEntity {
  enum class Kind { Source, Selector, Multiplier };
  Kind kind = Kind::Source;
  uint8_t id = 0;
  uint8_t attributes = 0;       // source: bmAttributes
  uint8_t controls = 0;         // bmControls
  std::vector<uint8_t> inputs;  // selector: baCSourceID; multiplier: bCSourceID
};
// The clock entities of a configuration descriptor, in order; malformed
// parts are skipped.
std::vector<ClockEntity> clock_entities(const std::vector<uint8_t>& config);

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
