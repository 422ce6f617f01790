// quenby streaming on devices of shapes the five models never show, each
// on the virtual clock through korvel-devhost's KS client against a unit
// built from the shape's own descriptor: the unit must get whole frames in
// every packet, exactly the audio played (or loop it back bit-exact), at the
// rate asked for. Also: the streaming thread under refused transfers, the
// render delay bound for narrow and wide formats, and a power cycle with
// the pins running.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/clock.h"
#include "ks_client.h"
#include "uac2.h"

using namespace korvel::sim;
using namespace korvel::sim::devhost;
using korvel::sim::uac2::ConfigBuilder;

namespace {

constexpr uint8_t kClock = 0x29;

struct Alt {
  uint8_t alt;
  uint8_t channels, subslot, bits;
  uint16_t max_packet;  // bytes per (micro)frame
};

struct Shape {
  const char* name;
  std::vector<Alt> render, capture;
  uint8_t feedback_interval = 4;
  uint16_t feedback_size = 4;
  bool high_speed = true;
  std::vector<uint32_t> rates = {44100, 48000};
  uint32_t channels = 2, bits = 24, rate = 48000;  // the stream's format
};

std::vector<uint8_t> Descriptor(const Shape& s) {
  ConfigBuilder b;
  b.configuration(s.capture.empty() ? 2 : 3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(kClock);
  b.input_terminal(1, 0x0101, kClock, 2).output_terminal(3, 0x0301, 1, kClock);
  if (!s.capture.empty()) b.input_terminal(4, 0x0201, kClock, 2).output_terminal(5, 0x0101, 4, kClock);
  b.ac_end();
  b.interface(1, 0, 0, 1, 2, 0x20);
  for (const Alt& a : s.render) {
    b.interface(1, a.alt, 2, 1, 2, 0x20).as_general(1, a.channels).format_type_i(a.subslot, a.bits);
    b.endpoint(0x01, 0x05, a.max_packet, 1).cs_endpoint();
    b.endpoint(0x81, 0x11, s.feedback_size, s.feedback_interval);
  }
  if (!s.capture.empty()) {
    b.interface(2, 0, 0, 1, 2, 0x20);
    for (const Alt& a : s.capture) {
      b.interface(2, a.alt, 1, 1, 2, 0x20).as_general(5, a.channels).format_type_i(a.subslot, a.bits);
      b.endpoint(0x82, 0x05, a.max_packet, 1).cs_endpoint();
    }
  }
  return b.finish();
}

// Bytes per (micro)frame for `frames` frames of a format.
uint16_t Packet(uint32_t frames, uint32_t channels, uint32_t subslot) {
  return uint16_t(frames * channels * subslot);
}

Shape Feedback(uint8_t interval) {
  Shape s{nullptr, {{1, 2, 3, 24, Packet(7, 2, 3)}}, {}};
  s.feedback_interval = interval;
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
    Shape s{
        "full_speed_3byte_feedback", {{1, 2, 3, 24, Packet(49, 2, 3)}}, {{1, 2, 3, 24, Packet(49, 2, 3)}}};
    s.high_speed = false;
    s.feedback_size = 3;
    s.feedback_interval = 1;
    v.push_back(s);
  }
  return v;
}

StreamReport StreamShape(const Shape& s, double seconds, std::string* error) {
  Clock::instance().set_mode(ClockMode::Virtual);
  StreamOptions o;
  o.seconds = seconds;
  o.descriptor = Descriptor(s);
  o.rates = s.rates;
  o.high_speed = s.high_speed;
  o.channels = s.channels;
  o.bits = s.bits;
  o.rate = s.rate;
  o.loopback = !s.capture.empty();
  StreamReport r;
  if (!run_stream_session(o, &r, error)) r.rate = 0;
  return r;
}

class DeviceShape : public ::testing::TestWithParam<Shape> {};

}  // namespace

TEST_P(DeviceShape, StreamsBitExactInWholeFramesAtItsRate) {
  const Shape& s = GetParam();
  const double seconds = 2;
  std::string error;
  StreamReport r = StreamShape(s, seconds, &error);
  ASSERT_EQ(r.rate, s.rate) << "refused: " << error;
  const bool exact = s.capture.empty() ? r.render_bit_exact : r.loopback_bit_exact;
  // The table of the closing figures: shape, accepted, exact, underruns,
  // allocations while streaming, max render delay in ms.
  std::printf("| %s | yes | %s | %llu | %llu | %.1f |\n", s.name, exact ? "yes" : "NO",
              static_cast<unsigned long long>(r.underrun_events),
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
  // The rate delivered: everything after the first few milliseconds of priming.
  EXPECT_GT(r.unit_received_frames, uint64_t(s.rate * (seconds - 0.05)));
  EXPECT_LT(r.unit_received_frames, uint64_t(s.rate * seconds * 1.001));
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeviceShape, ::testing::ValuesIn(Shapes()),
                         [](const ::testing::TestParamInfo<Shape>& i) { return std::string(i.param.name); });

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
}

INSTANTIATE_TEST_SUITE_P(FeedbackAndRender, RefusedTransfers,
                         ::testing::Values(uint8_t(0x81), uint8_t(0x01)));

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
