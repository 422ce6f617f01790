// The USB Audio 2.0 function of the simulated unit: the configuration
// descriptor of each model at high and full speed, and the clock-source
// requests (GET RANGE, GET CUR, SET CUR of the sampling frequency) on the
// default pipe. Vendor requests 0x1D/0x1E go to the unit's message firmware.
#ifndef KORVEL_SIM_UNIT_UAC2_H
#define KORVEL_SIM_UNIT_UAC2_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "unit.h"
#include "unit_audio.h"
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
  ConfigBuilder& clock_selector(uint8_t id, std::initializer_list<uint8_t> sources);
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

// A USB Audio 2.0 function: fixed descriptors and one programmable clock.
class Uac2Function : public usb::Function {
 public:
  // `clock_id` < 0 answers the sampling-frequency requests of any clock entity.
  Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed, std::vector<uint32_t> rates,
               uint32_t rate, int clock_id);
  Uac2Function(std::vector<uint8_t> high_speed, std::vector<uint8_t> full_speed,
               std::vector<uint32_t> high_speed_rates, std::vector<uint32_t> full_speed_rates, uint32_t rate,
               int clock_id);

  std::vector<uint8_t> configuration_descriptor(usb::Speed speed) const override;
  usb::Result control(const usb::Setup& setup, uint8_t* data, uint16_t* transferred) override;

  uint32_t rate() const;

 protected:
  virtual usb::Result vendor(const usb::Setup& setup, uint8_t* data, uint16_t* transferred);
  virtual void rate_changed(uint32_t hz) {}

 private:
  std::vector<uint8_t> high_speed_;
  std::vector<uint8_t> full_speed_;
  std::vector<uint32_t> high_speed_rates_;
  std::vector<uint32_t> full_speed_rates_;
  mutable std::vector<uint32_t> rates_;
  int clock_id_;
  mutable std::mutex m_;
  uint32_t rate_;
};

// The streaming interfaces of a configuration descriptor as the unit routes
// them: per interface its alternate settings with their PCM format (idle when
// the setting carries none) and endpoints. Malformed parts are skipped.
struct StreamingSetting {
  uint8_t alt = 0;
  AudioFormat format;  // channels 0: idle
  uint8_t data_endpoint = 0;
  uint8_t feedback_endpoint = 0;
};
struct StreamingInterface {
  uint8_t number = 0;
  bool render = false;  // its data endpoints are OUT
  std::vector<StreamingSetting> settings;
};
std::vector<StreamingInterface> streaming_layout(const std::vector<uint8_t>& config);

// The unit of a model: its descriptors, its clock and its message firmware.
std::shared_ptr<Uac2Function> make_unit_function(Unit& unit);
// The unit's message firmware and audio behind any USB Audio 2.0 descriptor
// (the same at both speeds): it streams by the descriptor's own settings,
// endpoints, subslot sizes and intervals; its clock offers `rates`.
std::shared_ptr<Uac2Function> make_unit_function(Unit& unit, std::vector<uint8_t> descriptor,
                                                 std::vector<uint32_t> rates);
// A function built from raw configuration-descriptor bytes (the same at both
// speeds) whose clocks offer `rates`.
std::shared_ptr<Uac2Function> make_raw_function(std::vector<uint8_t> descriptor, std::vector<uint32_t> rates);

}  // namespace korvel::sim::uac2

#endif
