// Configuration descriptors of the simulated unit's USB Audio 2.0 function:
// the layout of each model at high and full speed, the descriptor built from
// a layout, and the byte-level builder behind it (which the tests also use
// for the real-world shapes they describe).
#ifndef KORVEL_SIM_UNIT_UAC2_BUILDER_H
#define KORVEL_SIM_UNIT_UAC2_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "unit.h"
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

}  // namespace korvel::sim::uac2

#endif
