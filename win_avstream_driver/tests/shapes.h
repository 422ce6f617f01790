// Configuration descriptors of USB Audio 2.0 devices as real ones are built,
// for the tests.
#ifndef QUENBY_TESTS_SHAPES_H
#define QUENBY_TESTS_SHAPES_H

#include <cstdint>
#include <vector>

#include "uac2.h"

namespace shapes {

using korvel::sim::uac2::ConfigBuilder;

constexpr uint8_t kClock = 0x29;

// AudioControl interface 0 with a render path (optionally through a feature
// unit) and optionally a capture path.
inline ConfigBuilder& Control(ConfigBuilder& b, bool capture, bool feature_unit = false,
                              uint16_t stated = 0) {
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header(stated).clock_source(kClock);
  b.input_terminal(1, 0x0101, kClock, 2);
  if (feature_unit) {
    b.feature_unit(2, 1, 2).output_terminal(3, 0x0301, 2, kClock);
  } else {
    b.output_terminal(3, 0x0301, 1, kClock);
  }
  if (capture) b.input_terminal(4, 0x0201, kClock, 2).output_terminal(5, 0x0101, 4, kClock);
  return b.ac_end();
}

inline ConfigBuilder& Render(ConfigBuilder& b, uint8_t number, int alts, bool feedback = true,
                             uint16_t max_packet = 42) {
  b.interface(number, 0, 0, 1, 2, 0x20);
  for (int a = 1; a <= alts; ++a) {
    b.interface(number, uint8_t(a), feedback ? 2 : 1, 1, 2, 0x20)
        .as_general(1, uint8_t(2 * a))
        .format_type_i(3, 24);
    b.endpoint(0x01, 0x05, max_packet, 1).cs_endpoint();
    if (feedback) b.endpoint(0x81, 0x11, 4, 4);
  }
  return b;
}

inline ConfigBuilder& Capture(ConfigBuilder& b, uint8_t number, int alts) {
  b.interface(number, 0, 0, 1, 2, 0x20);
  for (int a = 1; a <= alts; ++a) {
    b.interface(number, uint8_t(a), 1, 1, 2, 0x20).as_general(5, uint8_t(2 * a)).format_type_i(3, 24);
    b.endpoint(0x82, 0x05, 42, 1).cs_endpoint();
  }
  return b;
}

// Units between the terminals, laid out as USB Audio 2.0 lays them out
// (two channels, no controls).
inline ConfigBuilder& MixerUnit(ConfigBuilder& b, uint8_t id, std::vector<uint8_t> sources) {
  b.raw({uint8_t(14 + sources.size()), 0x24, 0x04, id, uint8_t(sources.size())}).raw(sources);
  return b.raw({2, 0, 0, 0, 0, 0, 0, 0, 0});  // channels, config, names, mixer controls, controls, string
}
inline ConfigBuilder& SelectorUnit(ConfigBuilder& b, uint8_t id, std::vector<uint8_t> sources) {
  b.raw({uint8_t(7 + sources.size()), 0x24, 0x05, id, uint8_t(sources.size())}).raw(sources);
  return b.raw({0, 0});
}
inline ConfigBuilder& EffectUnit(ConfigBuilder& b, uint8_t id, uint8_t source) {
  return b.raw({20, 0x24, 0x07, id, 0x01, 0x00, source, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}
// A processing (0x08) or extension (0x09) unit.
inline ConfigBuilder& ProcessingUnit(ConfigBuilder& b, uint8_t subtype, uint8_t id,
                                     std::vector<uint8_t> sources) {
  b.raw({uint8_t(17 + sources.size()), 0x24, subtype, id, 0x01, 0x00, uint8_t(sources.size())}).raw(sources);
  return b.raw({2, 0, 0, 0, 0, 0, 0, 0, 0, 0});
}
inline ConfigBuilder& RateConverter(ConfigBuilder& b, uint8_t id, uint8_t source, uint8_t clock_in,
                                    uint8_t clock_out) {
  return b.raw({8, 0x24, 0x0D, id, source, clock_in, clock_out, 0});
}

// Alternate setting `alt` of streaming interface `number`: `channels` of
// `bits` in `subslot`-byte subslots on isochronous data endpoint `data`
// (OUT: render, IN: capture), with a 4-byte feedback endpoint when
// `feedback` names one.
inline ConfigBuilder& Setting(ConfigBuilder& b, uint8_t number, uint8_t alt, uint8_t channels,
                              uint8_t subslot, uint8_t bits, uint8_t data, uint8_t feedback = 0) {
  const bool render = (data & 0x80) == 0;
  b.interface(number, alt, feedback != 0 ? 2 : 1, 1, 2, 0x20)
      .as_general(render ? 1 : 5, channels)
      .format_type_i(subslot, bits);
  // One frame more than 48 kHz brings in a microframe.
  b.endpoint(data, 0x05, uint16_t(channels * subslot * 7), 1).cs_endpoint();
  if (feedback != 0) b.endpoint(feedback, 0x11, 4, 4);
  return b;
}

// Render and capture with settings the driver cannot stream beside one it
// can: render 2 x 24 bits with feedback (alt 1), then 16 bits without a
// feedback endpoint, 8-bit PCM (signed on the bus, unsigned in Windows) and
// 24 bits in 5-byte subslots; capture 2 x 24 bits (alt 1), then 8-bit PCM.
inline std::vector<uint8_t> UnusableSettings() {
  ConfigBuilder b;
  b.configuration(3);
  Control(b, true);
  b.interface(1, 0, 0, 1, 2, 0x20);
  Setting(b, 1, 1, 2, 3, 24, 0x01, 0x81);
  Setting(b, 1, 2, 2, 2, 16, 0x01);
  Setting(b, 1, 3, 2, 1, 8, 0x01, 0x81);
  Setting(b, 1, 4, 2, 5, 24, 0x01, 0x81);
  b.interface(2, 0, 0, 1, 2, 0x20);
  Setting(b, 2, 1, 2, 3, 24, 0x82);
  Setting(b, 2, 2, 2, 1, 8, 0x82);
  return b.finish();
}

// Render, and stereo 24-bit capture (alt 1) whose interrupt endpoint (pipe
// 0) comes before its isochronous data endpoint 0x82 (pipe 1).
inline std::vector<uint8_t> CaptureAfterInterruptEndpoint() {
  ConfigBuilder b;
  b.configuration(3);
  Control(b, true);
  Render(b, 1, 1);
  b.interface(2, 0, 0, 1, 2, 0x20);
  b.interface(2, 1, 2, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
  b.endpoint(0x83, 0x03, 6, 4).endpoint(0x82, 0x05, 42, 1).cs_endpoint();
  return b.finish();
}

// A plain render-and-capture device.
inline std::vector<uint8_t> Basic(bool capture = true, int render_alts = 2) {
  ConfigBuilder b;
  b.configuration(capture ? 3 : 2);
  Control(b, capture);
  Render(b, 1, render_alts);
  if (capture) Capture(b, 2, 1);
  return b.finish();
}

// Render without a feedback endpoint, paced by the capture data endpoint
// (implicit feedback, usage 0x20).
inline std::vector<uint8_t> ImplicitFeedback() {
  ConfigBuilder b;
  b.configuration(3);
  Control(b, true);
  Render(b, 1, 1, false);
  b.interface(2, 0, 0, 1, 2, 0x20);
  b.interface(2, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
  b.endpoint(0x82, 0x25, 42, 1).cs_endpoint();
  return b.finish();
}

// Stereo render whose data endpoint is polled with bInterval `interval`.
inline std::vector<uint8_t> RenderPolled(uint8_t interval) {
  ConfigBuilder b;
  b.configuration(2);
  Control(b, false);
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  b.endpoint(0x01, 0x05, 400, interval).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  return b.finish();
}

}  // namespace shapes

#endif
