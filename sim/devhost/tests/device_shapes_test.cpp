// quenby streaming on devices of shapes the five models never show, each
// on the virtual clock through korvel-devhost's KS client against a unit
// built from the shape's own descriptor, at +1000 and -1000 ppm: the unit
// must get whole frames in every packet, exactly the audio played (and loop
// it back bit-exact), at the rate asked for, with its feedback accepted.
// The shapes: subslots and settings per rate, feedback endpoints of every
// interval, size and format real units use, data endpoints polled every 2,
// 4 and 8 microframes, clock selectors and multipliers, clocks whose rate
// the host cannot set (fixed, or external behind a selector), a continuous
// rate range, and rates of about one frame per microframe. Also: one clock for
// both directions, the streaming thread under refused transfers (which
// lose no audio), the render delay bound for narrow and wide formats, and a
// power cycle with the pins running.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "driver_stack.h"
#include "kernel/clock.h"
#include "ks_client.h"
#include "uac2.h"
#include "unit_clock.h"

using namespace korvel::sim;
using namespace korvel::sim::devhost;
using korvel::sim::uac2::ConfigBuilder;

namespace {

constexpr uint8_t kClock = 0x29;

struct Alt {
  uint8_t alt;
  uint8_t channels, subslot, bits;
  uint16_t max_packet;  // bytes per packet
};

// How the terminals reach their clock.
enum class Clocks {
  One,         // one clock source for both directions
  Selector,    // a selector in front of an internal and an external (word clock) source
  Multiplier,  // a 1:1 multiplier in front of the source
  Fixed,       // one source whose sampling frequency is read-only (a fixed-rate unit)
  External,    // a selector standing on an external source of read-only frequency (word clock)
};

struct Shape {
  const char* name;
  std::vector<Alt> render, capture;
  uint8_t feedback_interval = 4;
  uint16_t feedback_size = 4;
  uint8_t data_interval = 1;
  bool high_speed = true;
  std::vector<uint32_t> rates = {44100, 48000};
  std::vector<RateRange> ranges = {};
  FeedbackFormat feedback_format = FeedbackFormat::BusDefault;
  Clocks clocks = Clocks::One;
  uint32_t channels = 2, bits = 24, rate = 48000;  // the stream's format
};

std::vector<uint8_t> Descriptor(const Shape& s) {
  ConfigBuilder b;
  b.configuration(s.capture.empty() ? 2 : 3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header();
  // bmControls 0x05: frequency and validity read-only.
  if (s.clocks == Clocks::Fixed) {
    b.clock_source(kClock, 0x01, 0x05);
  } else {
    b.clock_source(kClock);
  }
  uint8_t clock = kClock;
  if (s.clocks == Clocks::External) {
    b.clock_source(0x2A, 0x00, 0x05).clock_selector(0x28, {0x2A, kClock});
    clock = 0x28;
  } else if (s.clocks == Clocks::Selector) {
    b.clock_source(0x2A, 0x00, 0x05).clock_selector(0x28, {kClock, 0x2A});
    clock = 0x28;
  } else if (s.clocks == Clocks::Multiplier) {
    b.clock_multiplier(0x30, kClock);
    clock = 0x30;
  }
  b.input_terminal(1, 0x0101, clock, 2).output_terminal(3, 0x0301, 1, clock);
  if (!s.capture.empty()) b.input_terminal(4, 0x0201, clock, 2).output_terminal(5, 0x0101, 4, clock);
  b.ac_end();
  b.interface(1, 0, 0, 1, 2, 0x20);
  for (const Alt& a : s.render) {
    b.interface(1, a.alt, 2, 1, 2, 0x20).as_general(1, a.channels).format_type_i(a.subslot, a.bits);
    b.endpoint(0x01, 0x05, a.max_packet, s.data_interval).cs_endpoint();
    b.endpoint(0x81, 0x11, s.feedback_size, s.feedback_interval);
  }
  if (!s.capture.empty()) {
    b.interface(2, 0, 0, 1, 2, 0x20);
    for (const Alt& a : s.capture) {
      b.interface(2, a.alt, 1, 1, 2, 0x20).as_general(5, a.channels).format_type_i(a.subslot, a.bits);
      b.endpoint(0x82, 0x05, a.max_packet, s.data_interval).cs_endpoint();
    }
  }
  return b.finish();
}

// Bytes per packet for `frames` frames of a format.
uint16_t Packet(uint32_t frames, uint32_t channels, uint32_t subslot) {
  return uint16_t(frames * channels * subslot);
}

Shape Feedback(uint8_t interval) {
  Shape s{nullptr, {{1, 2, 3, 24, Packet(7, 2, 3)}}, {}};
  s.feedback_interval = interval;
  return s;
}

// Stereo 24 bits both ways, packets for `rate` and one frame more.
Shape Stereo(const char* name, uint32_t rate, bool high_speed = true, uint8_t data_interval = 1) {
  const uint32_t per_packet = rate * (high_speed ? 1u << (data_interval - 1) : 8u) / 8000 + 1;
  const uint16_t packet = Packet(per_packet + (rate % 1000 != 0 ? 1 : 0), 2, 3);
  Shape s{name, {{1, 2, 3, 24, packet}}, {{1, 2, 3, 24, packet}}};
  s.high_speed = high_speed;
  s.data_interval = data_interval;
  s.rate = rate;
  if (!high_speed) {
    s.feedback_size = 3;
    s.feedback_interval = 1;
  }
  return s;
}

std::vector<Shape> Shapes() {
  std::vector<Shape> v;
  v.push_back({"subslot4_24bit", {{1, 2, 4, 24, Packet(7, 2, 4)}}, {{1, 2, 4, 24, Packet(7, 2, 4)}}});
  {
    // The first setting carries 48 kHz only; 96 kHz needs the second.
    Shape s{"setting_per_rate", {{1, 2, 3, 24, Packet(7, 2, 3)}, {2, 2, 3, 24, Packet(13, 2, 3)}}, {}};
    s.rates = {48000, 96000};
    s.rate = 96000;
    v.push_back(s);
  }
  v.push_back({"setting_numbers_with_gaps",
               {{1, 8, 3, 24, Packet(7, 8, 3)}, {3, 2, 3, 24, Packet(7, 2, 3)}},
               {{2, 2, 3, 24, Packet(7, 2, 3)}}});
  const char* names[] = {"feedback_interval_1", "feedback_interval_2", "feedback_interval_3",
                         "feedback_interval_4"};
  for (uint8_t i = 1; i <= 4; ++i) {
    Shape s = Feedback(i);
    s.name = names[i - 1];
    v.push_back(s);
  }
  {
    Shape s = Stereo("full_speed_3byte_feedback", 48000, false);
    v.push_back(s);
  }
  // Data endpoints polled every 2, 4 and 8 microframes: each packet
  // carries that many microframes of audio. Every eighth is one packet a
  // millisecond (one URB packet a frame), at rates of whole and of
  // fractional frames per packet.
  v.push_back(Stereo("data_interval_2", 48000, true, 2));
  v.push_back(Stereo("data_interval_4", 48000, true, 3));
  v.push_back(Stereo("data_interval_8", 48000, true, 4));
  v.push_back(Stereo("data_interval_8_44100", 44100, true, 4));
  {
    Shape s = Stereo("data_interval_8_96k", 96000, true, 4);
    s.rates = {48000, 96000};
    v.push_back(s);
  }
  // Feedback in 3 bytes at high speed and in 4 at full speed, in either
  // format, as real units send it.
  for (FeedbackFormat f : {FeedbackFormat::Q16_16, FeedbackFormat::Q10_14}) {
    const bool q16 = f == FeedbackFormat::Q16_16;
    Shape hs = Stereo(q16 ? "high_speed_3byte_feedback_16_16" : "high_speed_3byte_feedback_10_14", 48000);
    hs.feedback_size = 3;
    hs.feedback_format = f;
    v.push_back(hs);
    Shape fs =
        Stereo(q16 ? "full_speed_4byte_feedback_16_16" : "full_speed_4byte_feedback_10_14", 44100, false);
    fs.feedback_size = 4;
    fs.feedback_format = f;
    v.push_back(fs);
  }
  {
    Shape s = Stereo("clock_selector", 48000);
    s.clocks = Clocks::Selector;
    v.push_back(s);
  }
  {
    Shape s = Stereo("clock_multiplier", 48000);
    s.clocks = Clocks::Multiplier;
    v.push_back(s);
  }
  // Clocks the host cannot set, at the rate they run at: never a SET CUR
  // (the unit stalls it), the one rate offered.
  {
    Shape s = Stereo("fixed_rate_clock", 48000);
    s.clocks = Clocks::Fixed;
    v.push_back(s);
  }
  {
    Shape s = Stereo("selector_on_external_clock", 48000);
    s.clocks = Clocks::External;
    v.push_back(s);
  }
  {
    // A clock that offers every rate from 8 to 192 kHz, streamed at 96.
    Shape s = Stereo("continuous_range_96k", 192000);
    s.rates.clear();
    s.ranges = {{8000, 192000, 0}};
    s.rate = 96000;
    v.push_back(s);
  }
  // About one frame per microframe.
  for (uint32_t rate : {8000u, 11025u}) {
    Shape s = Stereo(rate == 8000 ? "high_speed_8000" : "high_speed_11025", rate);
    s.rates = {8000, 11025, 48000};
    v.push_back(s);
  }
  return v;
}

struct ShapeRun {
  Shape shape;
  double drift_ppm;
};

StreamReport StreamShape(const Shape& s, double seconds, double drift_ppm, std::string* error) {
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = seconds;
  o.descriptor = Descriptor(s);
  o.rates.rates = s.rates;
  o.rates.ranges = s.ranges;
  o.high_speed = s.high_speed;
  o.channels = s.channels;
  o.bits = s.bits;
  o.rate = s.rate;
  o.drift_ppm = drift_ppm;
  o.feedback_format = s.feedback_format;
  o.loopback = !s.capture.empty();
  StreamReport r;
  if (!run_stream_session(o, &r, error)) r.rate = 0;
  return r;
}

std::vector<ShapeRun> Runs() {
  std::vector<ShapeRun> v;
  for (const Shape& s : Shapes()) {
    for (double ppm : {1000.0, -1000.0}) v.push_back({s, ppm});
  }
  return v;
}

void PrintTo(const ShapeRun& r, std::ostream* os) {
  *os << r.shape.name << " at " << r.drift_ppm << " ppm";
}

class DeviceShape : public ::testing::TestWithParam<ShapeRun> {};

}  // namespace

TEST_P(DeviceShape, StreamsBitExactInWholeFramesAtItsRate) {
  const Shape& s = GetParam().shape;
  const double seconds = 2;
  std::string error;
  StreamReport r = StreamShape(s, seconds, GetParam().drift_ppm, &error);
  ASSERT_EQ(r.rate, s.rate) << "refused: " << error;
  const bool exact = s.capture.empty() ? r.render_bit_exact : r.render_bit_exact && r.loopback_bit_exact;
  // A row of the closing figures: shape, drift, accepted, exact, underruns,
  // unit underflows, allocations while streaming, max render delay in ms.
  std::printf("| %s | %+.0f | yes | %s | %llu | %llu | %llu | %.1f |\n", s.name, GetParam().drift_ppm,
              exact ? "yes" : "NO", static_cast<unsigned long long>(r.underrun_events),
              static_cast<unsigned long long>(r.unit_render_underflows),
              static_cast<unsigned long long>(r.allocations_while_streaming),
              1000.0 * double(r.max_render_delay_frames) / s.rate);
  EXPECT_TRUE(r.render_bit_exact) << "frames the unit received " << r.unit_received_frames;
  if (!s.capture.empty()) {
    EXPECT_TRUE(r.loopback_bit_exact);
  }
  EXPECT_EQ(r.unit_bad_packets, 0u);  // whole device frames in every packet
  EXPECT_EQ(r.underrun_events, 0u);
  EXPECT_EQ(r.unit_render_underflows, 0u);
  EXPECT_EQ(r.allocations_while_streaming, 0u);
  EXPECT_TRUE(r.feedback_validated) << "render ran open loop";
  // The rate delivered: everything after the first few milliseconds of priming.
  EXPECT_GT(r.unit_received_frames, uint64_t(s.rate * (seconds - 0.05)));
  EXPECT_LT(r.unit_received_frames, uint64_t(s.rate * seconds * 1.002));
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeviceShape, ::testing::ValuesIn(Runs()),
                         [](const ::testing::TestParamInfo<ShapeRun>& i) {
                           return std::string(i.param.shape.name) +
                                  (i.param.drift_ppm > 0 ? "_fast" : "_slow");
                         });

namespace {

// Units of the shapes of real devices, the whole descriptors of the
// topology corpus (composite devices; render paced by explicit feedback, by
// the nominal rate for adaptive and synchronous sinks, or by the capture
// packets; capture-only units), each at +1000 and -1000 ppm.
struct RealUnit {
  const char* file;
  bool high_speed;
  uint32_t channels, bits, rate;
  const char* pacing;  // of render ("" : capture only)
  bool loopback;       // one clock for both directions
};

const RealUnit kRealUnits[] = {
    {"real_dac_hid_first_adaptive", true, 2, 24, 48000, "nominal", false},
    {"real_gadget_synchronous", true, 2, 16, 48000, "nominal", false},
    {"real_gadget_capture_only", true, 2, 16, 48000, "", false},
    {"real_mic_array_full_speed", false, 4, 16, 48000, "", false},
    {"real_mixer_implicit_feedback", true, 48, 24, 48000, "implicit", true},
    {"real_dj_controller_implicit_midi", true, 4, 24, 44100, "implicit", true},
    {"real_interface_flagged_capture_explicit_render", true, 8, 24, 48000, "feedback", true},
    {"real_headset_legacy_grouping", false, 2, 16, 48000, "nominal", true},
};

class RealUnitShape : public ::testing::TestWithParam<std::tuple<RealUnit, double>> {};

}  // namespace

TEST_P(RealUnitShape, StreamsAsItsDescriptorSays) {
  const RealUnit& u = std::get<0>(GetParam());
  const double ppm = std::get<1>(GetParam());
  std::ifstream in(std::string(KORVEL_TOPOLOGY_CORPUS) + "/" + u.file, std::ios::binary);
  ASSERT_TRUE(in) << u.file;
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = 2;
  o.descriptor.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  o.rates.rates = {44100, 48000};
  o.high_speed = u.high_speed;
  o.channels = u.channels;
  o.bits = u.bits;
  o.rate = u.rate;
  o.drift_ppm = ppm;
  o.loopback = u.loopback;
  StreamReport r;
  std::string error;
  ASSERT_TRUE(run_stream_session(o, &r, &error)) << u.file << ": " << error;
  const bool renders = *u.pacing != 0;
  // A row of the closing figures: unit, drift, pacing, exact, underruns,
  // unit underflows, captured frames, allocations while streaming.
  std::printf("| %s | %+.0f | %s | %s | %llu | %llu | %llu | %llu |\n", u.file, ppm,
              renders ? r.render_pacing.c_str() : "capture only",
              !renders                                                      ? "-"
              : r.render_bit_exact && (!u.loopback || r.loopback_bit_exact) ? "yes"
                                                                            : "NO",
              static_cast<unsigned long long>(r.underrun_events),
              static_cast<unsigned long long>(r.unit_render_underflows),
              static_cast<unsigned long long>(r.captured_frames),
              static_cast<unsigned long long>(r.allocations_while_streaming));
  EXPECT_EQ(r.capture_only, !renders);
  EXPECT_EQ(r.allocations_while_streaming, 0u);
  if (!r.render_only) {
    EXPECT_GT(r.captured_frames, uint64_t(u.rate * o.seconds * 0.9));
  }
  if (!renders) return;
  EXPECT_EQ(r.render_pacing, u.pacing);
  EXPECT_TRUE(r.render_bit_exact) << "frames the unit received " << r.unit_received_frames;
  EXPECT_EQ(r.unit_bad_packets, 0u);
  EXPECT_EQ(r.underrun_events, 0u);
  EXPECT_EQ(r.unit_render_underflows, 0u);
  EXPECT_GT(r.unit_received_frames, uint64_t(u.rate * (o.seconds - 0.05)));
  EXPECT_LT(r.unit_received_frames, uint64_t(u.rate * o.seconds * 1.002));
  if (u.loopback) {
    EXPECT_TRUE(r.loopback_bit_exact);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, RealUnitShape,
                         ::testing::Combine(::testing::ValuesIn(kRealUnits),
                                            ::testing::Values(1000.0, -1000.0)),
                         [](const ::testing::TestParamInfo<std::tuple<RealUnit, double>>& i) {
                           return std::string(std::get<0>(i.param).file) +
                                  (std::get<1>(i.param) > 0 ? "_fast" : "_slow");
                         });

// A high-speed feedback endpoint polled every microframe, its transfers (or
// the render transfers) refused by the controller for half a second: the
// streaming thread still waits between passes (submissions stay near the
// steady rate per simulated second), and streaming recovers.
class RefusedTransfers : public ::testing::TestWithParam<uint8_t> {};

TEST_P(RefusedTransfers, NeverSpinTheStreamingThread) {
  Clock::instance().set_mode(ClockMode::Virtual);
  Shape s = Feedback(1);
  StreamOptions o;
  o.seconds = 1;
  o.descriptor = Descriptor(s);
  o.channels = 2;
  o.bits = 24;
  o.refuse_endpoint = GetParam();
  o.refuse_seconds = 0.5;
  StreamReport r;
  std::string error;
  ASSERT_TRUE(run_stream_session(o, &r, &error)) << error;
  // Steady streaming submits about 2000 transfers a second here; a thread
  // that retries refused transfers at once submits without bound.
  EXPECT_LT(double(r.iso_submissions) / r.simulated_seconds, 8000.0) << r.iso_submissions;
  EXPECT_GT(r.unit_received_frames, uint64_t(48000 * 0.4));
  EXPECT_EQ(r.allocations_while_streaming, 0u);
  // Audio a refused transfer did not send stays for the next one: the unit
  // gets every frame played, in order, once the controller takes them.
  EXPECT_TRUE(r.render_bit_exact) << "the first frame missing or wrong: " << r.render_first_mismatch;
}

INSTANTIATE_TEST_SUITE_P(FeedbackAndRender, RefusedTransfers,
                         ::testing::Values(uint8_t(0x81), uint8_t(0x01)));

// Every model clocks both directions from one clock source. With render
// running at 48 kHz, a capture stream asked for at 44.1 kHz is offered 48
// kHz only, and the run fails with that reason instead of streaming capture
// labelled 44.1 kHz at 48.
TEST(OneClock, TheSecondDirectionIsOfferedOnlyTheRunningRate) {
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = 1;
  o.model = "Quenby";
  o.channels = 2;
  o.bits = 24;
  o.rate = 48000;
  o.capture_rate = 44100;
  StreamReport r;
  std::string error;
  EXPECT_FALSE(run_stream_session(o, &r, &error));
  EXPECT_NE(error.find("capture pin offers no format for 2:24:44100"), std::string::npos) << error;
  EXPECT_NE(error.find("at 48000 Hz"), std::string::npos) << error;
  // Asked for 48 kHz, capture runs beside render.
  o.capture_rate = 48000;
  o.loopback = true;
  ASSERT_TRUE(run_stream_session(o, &r, &error)) << error;
  EXPECT_TRUE(r.loopback_bit_exact);
}

// A clock whose sampling frequency is read-only offers the rate it runs at
// only: another rate is refused by the pins with the clock named; a clock
// that runs at a rate no setting carries refuses the unit at start, named.
TEST(ReadOnlyClock, OtherRatesAreRefusedNamingTheClock) {
  for (Clocks clocks : {Clocks::Fixed, Clocks::External}) {
    const char* named = clocks == Clocks::Fixed ? "clock 41 " : "clock 42 ";
    Shape s = Stereo("read_only", 48000);
    s.clocks = clocks;
    s.rate = 44100;
    std::string error;
    StreamReport r = StreamShape(s, 0.5, 0, &error);
    EXPECT_EQ(r.rate, 0u) << named;
    EXPECT_NE(error.find("render pin offers no format for 2:24:44100"), std::string::npos) << error;
    EXPECT_NE(error.find("it offers 2:24 at 48000 Hz ("), std::string::npos) << error;
    EXPECT_NE(error.find(std::string(named) + "has a read-only sampling frequency and ran at 48000 Hz"),
              std::string::npos)
        << error;
  }
  // 192 kHz in packets of seven frames.
  Shape s = Stereo("read_only_192k", 48000);
  s.clocks = Clocks::Fixed;
  s.rates = {192000};
  DriverStack stack(Descriptor(s), ClockRates(s.rates), true);
  std::string error;
  EXPECT_FALSE(stack.plug(&error));
  EXPECT_EQ(error,
            "clocks: clock 41: its sampling frequency is not host-programmable (read-only), and no "
            "alternate setting of its streaming interface carries the rate it runs at (192000 Hz)");
  stack.remove();
}

// Rates below the lowest the driver streams are never offered: 50 Hz beside
// 48 kHz is refused by the pins and 48 kHz streams, at both speeds; so are
// 5512 Hz beside 8000 Hz, and 8000 Hz streams. A clock offering nothing
// higher refuses the unit at start with that reason.
TEST(LowRates, RatesBelowTheFloorAreNotOfferedAndAUnitWithOnlySuchRatesIsRefused) {
  for (bool high_speed : {true, false}) {
    const char* speed = high_speed ? "high speed" : "full speed";
    Shape s = Stereo("low_rate", 48000, high_speed);
    s.rates = {50, 5512, 8000, 48000};
    s.rate = 50;
    std::string error;
    StreamReport r = StreamShape(s, 0.5, 0, &error);
    EXPECT_EQ(r.rate, 0u) << speed;
    EXPECT_NE(error.find("render pin offers no format for 2:24:50"), std::string::npos) << error;
    EXPECT_NE(error.find("it offers 2:24 at 8000, 48000 Hz"), std::string::npos) << error;
    s.rate = 5512;
    error.clear();
    r = StreamShape(s, 0.5, 0, &error);
    EXPECT_EQ(r.rate, 0u) << speed;
    for (uint32_t rate : {8000u, 48000u}) {
      s.rate = rate;
      error.clear();
      r = StreamShape(s, 0.5, 0, &error);
      EXPECT_EQ(r.rate, rate) << speed << ": " << error;
      EXPECT_TRUE(r.render_bit_exact) << speed << " " << rate;
      EXPECT_EQ(r.feedback_rejected, 0u) << speed << " " << rate;
    }
  }
  // dMIN 1 Hz of a continuous range, and a discrete 1000 Hz.
  Shape s = Stereo("only_low_rates", 48000);
  s.rates = {1000, 5512};
  s.ranges = {{1, 7999, 1}};
  ClockRates rates(s.rates);
  rates.ranges = s.ranges;
  DriverStack stack(Descriptor(s), rates, true);
  std::string error;
  EXPECT_FALSE(stack.plug(&error));
  EXPECT_EQ(error,
            "sample rates: the capture and render clocks offer no rate of 8000 Hz or more (the lowest rate "
            "the driver streams)");
  stack.remove();
}

// The render delay stays bounded in time whatever the format's width: the
// ring holds 50 ms of the running format (not of the widest one).
TEST(RenderDelay, BoundedForNarrowAndWideFormats) {
  for (uint32_t channels : {2u, 24u}) {
    Clock::instance().set_mode(ClockMode::Virtual);
    StreamOptions o;
    o.seconds = 1;
    o.channels = channels;
    o.bits = 24;
    StreamReport r;
    std::string error;
    ASSERT_TRUE(run_stream_session(o, &r, &error)) << error;
    EXPECT_LE(r.max_render_delay_frames, 48000u * 70 / 1000) << channels << " channels";
    EXPECT_EQ(r.underrun_events, 0u);
  }
}

// D3 and back to D0 with both pins in RUN: the streams run again, on the
// pipes of the new settings (the verifier stops on any use of a deleted
// handle), and the audio flows on through the second half.
TEST(PowerCycle, PinsRunningStreamAgainAfterPowerUp) {
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = 2;
  o.loopback = true;
  o.power_cycle_halfway = true;
  StreamReport r;
  std::string error;
  ASSERT_TRUE(run_stream_session(o, &r, &error)) << error;
  EXPECT_GT(r.rendered_frames, uint64_t(48000 * o.seconds * 0.85));
  EXPECT_GT(r.captured_frames, uint64_t(48000 * o.seconds * 0.85));
  EXPECT_GT(r.unit_received_frames, uint64_t(48000 * o.seconds * 0.85));
}

// A system sleep with both pins running: D3, the controller's schedule lost
// and its frame counter moved on, 300 ms asleep, D0. The unit receives
// exactly what was played, nothing lost or repeated and no silence put in,
// and capture flows again.
TEST(SystemSleep, BothPinsRunningResumeBitExact) {
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = 2;
  o.sleep_halfway_ms = 300;
  StreamReport r;
  std::string error;
  ASSERT_TRUE(run_stream_session(o, &r, &error)) << error;
  EXPECT_TRUE(r.render_bit_exact) << "the first frame missing or wrong: " << r.render_first_mismatch;
  EXPECT_EQ(r.underrun_events, 0u);
  EXPECT_GT(r.unit_received_frames, uint64_t(48000 * 1.6));
  EXPECT_GT(r.captured_frames, uint64_t(48000 * 1.6));
}

// korvel-devhost --stream with the unit's shape from a descriptor file (hex
// text), options in any order, render alone: the report carries what the
// unit received.
TEST(DescriptorOption, StreamsAUnitOfTheFilesShapeRenderOnly) {
  const std::string dir = ::testing::TempDir();
  const std::string file = dir + "/shape.hex";
  const std::string report = dir + "/shape_report.json";
  Shape s = Feedback(2);
  s.capture = {{1, 2, 3, 24, Packet(7, 2, 3)}};  // a capture interface, left unused
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (uint8_t byte : Descriptor(s)) std::fprintf(f, "%02x ", byte);
  std::fclose(f);
  const char* argv[] = {"korvel-devhost", "--report",    report.c_str(), "--render-only", "--descriptor",
                        file.c_str(),     "--format",    "2:24:48000",   "--stream",      "0.5",
                        "--rates",        "44100,48000", "--speed",      "high"};
  ASSERT_EQ(run_stream(14, const_cast<char**>(argv)), 0);
  f = std::fopen(report.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[2048] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), f), nullptr);
  std::fclose(f);
  const std::string j = line;
  EXPECT_NE(j.find("\"render_bit_exact\": true"), std::string::npos) << j;
  EXPECT_NE(j.find("\"render_only\": true"), std::string::npos) << j;
  EXPECT_NE(j.find("\"captured_frames\": 0"), std::string::npos) << j;
  EXPECT_EQ(j.find("\"unit_received_frames\": 0,"), std::string::npos) << j;
  const char* missing[] = {"korvel-devhost", "--stream", "1", "--descriptor", "/nonexistent/shape.bin"};
  EXPECT_EQ(run_stream(5, const_cast<char**>(missing)), 2);
}
