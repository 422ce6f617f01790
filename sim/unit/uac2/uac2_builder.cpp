// The simulated unit's configuration descriptors: the byte-level builder,
// each model's layout at both speeds and the descriptor built from a layout
// (see uac2_builder.h). Type and subtype codes are the driver's own
// (usb_audio_descriptors.h), so both sides name a descriptor alike.
#include "uac2_builder.h"

#include <algorithm>
#include <cstddef>

#include "usb_audio_descriptors.h"

namespace korvel::sim::uac2 {

namespace {

constexpr uint16_t kSpeaker = 0x0301;
constexpr uint16_t kMicrophone = 0x0201;
constexpr uint8_t kItUsb = 0x01;
constexpr uint8_t kFeatureUnit = 0x0A;
constexpr uint8_t kOtSpeaker = 0x03;
constexpr uint8_t kItMic = 0x04;
constexpr uint8_t kOtUsb = 0x05;

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

void push16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}

void push32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace

ConfigBuilder& ConfigBuilder::raw(std::initializer_list<uint8_t> bytes) {
  b_.insert(b_.end(), bytes);
  return *this;
}

ConfigBuilder& ConfigBuilder::raw(const std::vector<uint8_t>& bytes) {
  b_.insert(b_.end(), bytes.begin(), bytes.end());
  return *this;
}

ConfigBuilder& ConfigBuilder::configuration(uint8_t num_interfaces) {
  return raw({9, kUsbConfigurationType, 0, 0, num_interfaces, 1, 0, 0x80, 250});
}

ConfigBuilder& ConfigBuilder::association(uint8_t first, uint8_t count) {
  return raw({8, kUsbAssociationType, first, count, kUac2AudioClass, 0x00, kUac2Protocol, 0});
}

ConfigBuilder& ConfigBuilder::interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls,
                                        uint8_t subclass, uint8_t protocol) {
  return raw({9, kUsbInterfaceType, number, alt, endpoints, cls, subclass, protocol, 0});
}

ConfigBuilder& ConfigBuilder::ac_header(uint16_t stated_total) {
  ac_header_ = b_.size();
  ac_total_stated_ = stated_total != 0;
  raw({9, kUac2CsInterface, kUac2AcHeader, 0x00, 0x02, 0x0A});
  push16(b_, stated_total);
  b_.push_back(0);
  return *this;
}

ConfigBuilder& ConfigBuilder::ac_end() {
  if (ac_header_ != SIZE_MAX && !ac_total_stated_)
    put16(b_, ac_header_ + offsetof(Uac2AcHeaderDescriptor, wTotalLength), uint16_t(b_.size() - ac_header_));
  ac_header_ = SIZE_MAX;
  return *this;
}

ConfigBuilder& ConfigBuilder::clock_source(uint8_t id) {
  return clock_source(id, 0x03, 0x07);
}

ConfigBuilder& ConfigBuilder::clock_source(uint8_t id, uint8_t attributes, uint8_t controls) {
  return raw({8, kUac2CsInterface, kUac2ClockSource, id, attributes, controls, 0, 0});
}

ConfigBuilder& ConfigBuilder::clock_multiplier(uint8_t id, uint8_t source) {
  return raw({7, kUac2CsInterface, kUac2ClockMultiplier, id, source, 0x05, 0});
}

ConfigBuilder& ConfigBuilder::clock_selector(uint8_t id, std::initializer_list<uint8_t> sources) {
  b_.push_back(uint8_t(7 + sources.size()));
  raw({kUac2CsInterface, kUac2ClockSelector, id, uint8_t(sources.size())});
  b_.insert(b_.end(), sources);
  return raw({0x03, 0});
}

ConfigBuilder& ConfigBuilder::input_terminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels) {
  raw({17, kUac2CsInterface, kUac2InputTerminal, id});
  push16(b_, type);
  raw({0, clock, channels, 0, 0, 0, 0, 0, 0, 0, 0});
  return *this;
}

ConfigBuilder& ConfigBuilder::output_terminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock) {
  raw({12, kUac2CsInterface, kUac2OutputTerminal, id});
  push16(b_, type);
  return raw({0, source, clock, 0, 0, 0});
}

ConfigBuilder& ConfigBuilder::feature_unit(uint8_t id, uint8_t source, uint8_t channels) {
  b_.push_back(uint8_t(6 + 4 * (channels + 1)));
  raw({kUac2CsInterface, kUac2FeatureUnit, id, source});
  push32(b_, 0x0000000F);  // master mute and volume, host-programmable
  for (uint8_t c = 0; c < channels; ++c) push32(b_, 0);
  b_.push_back(0);
  return *this;
}

ConfigBuilder& ConfigBuilder::as_general(uint8_t terminal, uint8_t channels, uint32_t formats,
                                         uint8_t format_type) {
  raw({16, kUac2CsInterface, kUac2AsGeneral, terminal, 0x00, format_type});
  push32(b_, formats);
  b_.push_back(channels);
  push32(b_, 0);
  b_.push_back(0);
  return *this;
}

ConfigBuilder& ConfigBuilder::format_type_i(uint8_t subslot, uint8_t bits) {
  return raw({6, kUac2CsInterface, kUac2FormatType, kUac2FormatTypeI, subslot, bits});
}

ConfigBuilder& ConfigBuilder::endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet,
                                       uint8_t interval) {
  raw({7, kUsbEndpointType, address, attributes});
  push16(b_, max_packet);
  b_.push_back(interval);
  return *this;
}

ConfigBuilder& ConfigBuilder::cs_endpoint() {
  return raw({8, kUac2CsEndpoint, kUac2EpGeneral, 0, 0, 0, 0, 0});
}

std::vector<uint8_t> ConfigBuilder::finish() {
  ac_end();
  if (b_.size() >= 4 && b_[1] == kUsbConfigurationType)
    put16(b_, offsetof(UsbConfigurationDescriptor, wTotalLength), uint16_t(b_.size()));
  return b_;
}

uint16_t data_max_packet(const AltFormat& f, uint32_t max_rate, usb::Speed speed) {
  uint32_t per = speed == usb::Speed::High ? 8000 : 1000;
  uint32_t frames = (max_rate + per - 1) / per + 1;
  return uint16_t(frames * f.channels * f.subslot);
}

FunctionLayout model_layout(Model model, usb::Speed speed) {
  FunctionLayout l;
  l.rates = {44100, 48000};
  switch (model) {
    case Model::Tarrow:
      l.render = {{24, 3, 24}, {16, 3, 24}, {2, 3, 24}, {2, 2, 16}};
      l.capture = {{24, 3, 24}, {2, 3, 24}};
      l.render_feature_unit = true;
      break;
    case Model::Quenby:
      l.render = {{18, 3, 24}, {2, 3, 24}, {2, 2, 16}};
      l.capture = {{18, 3, 24}, {2, 3, 24}};
      break;
    case Model::Pellin:
      l.render = {{10, 3, 24}, {2, 3, 24}};
      l.capture = {{12, 3, 24}, {2, 3, 24}};
      l.render_feature_unit = true;
      break;
    case Model::Dorrit:
      l.render = {{8, 3, 24}, {2, 3, 24}, {2, 2, 16}};
      l.capture = {{8, 3, 24}, {2, 3, 24}};
      break;
    case Model::FarLink:
      l.render = {{4, 3, 24}, {2, 3, 24}, {2, 4, 32}};
      l.capture = {{4, 3, 24}, {2, 3, 24}};
      l.rates = {44100, 48000, 88200, 96000, 176400, 192000};
      l.render_feature_unit = true;
      break;
  }
  if (speed == usb::Speed::Full) {
    l.rates.erase(std::remove_if(l.rates.begin(), l.rates.end(), [](uint32_t r) { return r > 48000; }),
                  l.rates.end());
    auto too_big = [](const AltFormat& f) { return data_max_packet(f, 48000, usb::Speed::Full) > 1023; };
    l.render.erase(std::remove_if(l.render.begin(), l.render.end(), too_big), l.render.end());
    l.capture.erase(std::remove_if(l.capture.begin(), l.capture.end(), too_big), l.capture.end());
  }
  return l;
}

std::vector<uint8_t> build_configuration(const FunctionLayout& l, usb::Speed speed) {
  const bool has_capture = !l.capture.empty();
  const uint8_t interfaces = has_capture ? 3 : 2;
  const uint32_t max_rate = *std::max_element(l.rates.begin(), l.rates.end());
  const uint8_t render_channels = std::max_element(l.render.begin(), l.render.end(), [](auto& a, auto& b) {
                                    return a.channels < b.channels;
                                  })->channels;
  ConfigBuilder b;
  b.configuration(interfaces).association(0, interfaces);
  b.interface(0, 0, 0, kUac2AudioClass, kUac2AudioControl, kUac2Protocol).ac_header().clock_source(kClockId);
  b.input_terminal(kItUsb, kUac2UsbStreaming, kClockId, render_channels);
  if (l.render_feature_unit) {
    b.feature_unit(kFeatureUnit, kItUsb, render_channels);
    b.output_terminal(kOtSpeaker, kSpeaker, kFeatureUnit, kClockId);
  } else {
    b.output_terminal(kOtSpeaker, kSpeaker, kItUsb, kClockId);
  }
  if (has_capture) {
    uint8_t capture_channels = std::max_element(l.capture.begin(), l.capture.end(), [](auto& a, auto& c) {
                                 return a.channels < c.channels;
                               })->channels;
    b.input_terminal(kItMic, kMicrophone, kClockId, capture_channels);
    b.output_terminal(kOtUsb, kUac2UsbStreaming, kItMic, kClockId);
  }
  b.ac_end();
  const uint16_t feedback_size = speed == usb::Speed::High ? 4 : 3;
  const uint8_t feedback_interval = speed == usb::Speed::High ? 4 : 1;
  const bool implicit = l.implicit_feedback && has_capture;
  b.interface(1, 0, 0, kUac2AudioClass, kUac2AudioStreaming, kUac2Protocol);
  for (size_t i = 0; i < l.render.size(); ++i) {
    const AltFormat& f = l.render[i];
    b.interface(1, uint8_t(i + 1), implicit ? 1 : 2, kUac2AudioClass, kUac2AudioStreaming, kUac2Protocol)
        .as_general(kItUsb, f.channels)
        .format_type_i(f.subslot, f.bits);
    b.endpoint(kRenderDataEndpoint, 0x05, data_max_packet(f, max_rate, speed), 1).cs_endpoint();
    if (!implicit) b.endpoint(kFeedbackEndpoint, 0x11, feedback_size, feedback_interval);
  }
  if (has_capture) {
    b.interface(2, 0, 0, kUac2AudioClass, kUac2AudioStreaming, kUac2Protocol);
    for (size_t i = 0; i < l.capture.size(); ++i) {
      const AltFormat& f = l.capture[i];
      b.interface(2, uint8_t(i + 1), 1, kUac2AudioClass, kUac2AudioStreaming, kUac2Protocol)
          .as_general(kOtUsb, f.channels)
          .format_type_i(f.subslot, f.bits);
      // Asynchronous; of implicit-feedback usage when it paces render.
      b.endpoint(kCaptureDataEndpoint, implicit ? 0x25 : 0x05, data_max_packet(f, max_rate, speed), 1)
          .cs_endpoint();
    }
  }
  return b.finish();
}

}  // namespace korvel::sim::uac2
