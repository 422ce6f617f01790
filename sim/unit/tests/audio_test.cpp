// The unit's audio clock: feedback from its own rate, render consumption,
// capture production and loopback.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "unit_audio.h"

using korvel::sim::AudioFormat;
using korvel::sim::UnitAudio;

namespace {

uint32_t feedback(UnitAudio& a, uint64_t frame, size_t* bytes = nullptr) {
  uint8_t b[4] = {};
  size_t n = a.feedback_packet(frame, b, sizeof b);
  if (bytes) *bytes = n;
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

TEST(UnitAudio, FeedbackReportsTheClockInTheFormatOfTheBusSpeed) {
  UnitAudio a;
  a.configure(true, 48000, 0);
  size_t bytes;
  EXPECT_EQ(0x60000u, feedback(a, 1, &bytes));  // 6.0 samples per microframe
  EXPECT_EQ(4u, bytes);
  a.configure(true, 44100, 0);
  EXPECT_EQ(uint32_t(5.5125 * 65536), feedback(a, 2));
  a.configure(true, 48000, 1000);  // a crystal 1000 ppm fast
  EXPECT_EQ(uint32_t(6.006 * 65536), feedback(a, 3));
  a.configure(false, 48000, -1000);
  EXPECT_EQ(uint32_t(47.952 * 16384), feedback(a, 4, &bytes));  // 10.14 in three bytes
  EXPECT_EQ(3u, bytes);
}

AudioFormat fmt(unsigned ch, unsigned bytes) {
  return AudioFormat{ch, bytes, bytes * 8};
}

// A host that sends exactly what the feedback asks, frame by frame.
struct Host {
  UnitAudio& a;
  uint32_t acc = 0;
  uint64_t next_sample = 0;
  unsigned channels, bytes;
  std::vector<uint8_t> sent, received;
  Host(UnitAudio& unit, unsigned ch, unsigned b) : a(unit), channels(ch), bytes(b) {}
  void frame(uint64_t f) {
    uint32_t fb = feedback(a, f);
    uint32_t n = (fb >> 16) + ((acc + (fb & 0xFFFF)) >> 16);
    acc = (acc + fb) & 0xFFFF;
    std::vector<uint8_t> pkt(n * channels * bytes);
    for (auto& byte : pkt) byte = uint8_t((next_sample++ * 2654435761u) >> 13);
    a.render_packet(f, pkt.data(), pkt.size());
    sent.insert(sent.end(), pkt.begin(), pkt.end());
    uint8_t cap[1024];
    size_t got = a.capture_packet(f, cap, sizeof cap);
    received.insert(received.end(), cap, cap + got);
  }
};

TEST(UnitAudio, LoopbackReturnsTheRenderedBytesExactlyUnderDrift) {
  for (double ppm : {0.0, 1000.0, -1000.0}) {
    UnitAudio a;
    a.configure(true, 48000, ppm);
    a.set_render_format(fmt(2, 3));
    a.set_capture_format(fmt(2, 3));
    a.set_loopback(true);
    Host h(a, 2, 3);
    for (uint64_t f = 100; f < 100 + 8000 * 2; ++f) h.frame(f);  // two seconds
    auto c = a.counters();
    EXPECT_EQ(0u, c.render_underflows) << ppm;
    EXPECT_EQ(0u, c.render_overflows) << ppm;
    // Capture starts with silence until the converters play; then the bytes match.
    size_t lead = 0;
    while (lead < h.received.size() && h.received[lead] == 0) ++lead;
    lead -= lead % 6;
    ASSERT_GT(h.received.size(), lead + 48000 * 6) << ppm;
    EXPECT_EQ(0, std::memcmp(h.received.data() + lead, h.sent.data(), h.received.size() - lead - 6 * 100))
        << ppm;
    // The unit consumed at its own rate: 2 s of its clock.
    EXPECT_NEAR(double(c.render_frames_played), 96000 * (1 + ppm * 1e-6), 60) << ppm;
  }
}

// A data endpoint served once a millisecond at high speed (bInterval 4): a
// host sends one packet every eighth microframe, sized by the feedback it
// has read, and the unit's converters never run dry, at any drift.
TEST(UnitAudio, RenderServedEveryEighthMicroframeNeverUnderflows) {
  for (uint32_t rate : {44100u, 48000u, 96000u}) {
    for (double ppm : {0.0, 1000.0, -1000.0}) {
      UnitAudio a;
      a.configure(true, rate, ppm);
      AudioFormat f = fmt(2, 3);
      f.packet_intervals = 8;
      a.set_render_format(f);
      uint64_t acc = 0;
      std::vector<uint8_t> pkt;
      for (uint64_t frame = 800; frame < 800 + 8000 * 2; frame += 8) {
        acc += uint64_t(feedback(a, frame)) * 8;
        pkt.assign((acc >> 16) * 6, 0x11);
        acc &= 0xFFFF;
        a.render_packet(frame, pkt.data(), pkt.size());
      }
      const auto c = a.counters();
      EXPECT_EQ(c.render_underflows, 0u) << rate << " Hz, " << ppm << " ppm";
      EXPECT_GT(c.render_frames_played, uint64_t(rate * 2 * 0.99)) << rate << " Hz, " << ppm << " ppm";
    }
  }
}

TEST(UnitAudio, RenderMetersShowEachWindowsLargestMagnitudeOnEitherSide) {
  // Per channel: half scale below zero; a quarter above; silence; the most
  // negative sample (clamped to full scale); small above and larger below,
  // alternating. Then silence: the next windows show nothing of the loud one.
  const int32_t loud[5][2] = {{INT32_MIN / 2, INT32_MIN / 2},
                              {0x20000000, 0x20000000},
                              {0, 0},
                              {INT32_MIN, INT32_MIN},
                              {0x10000000, -0x30000000}};
  const int expected[5] = {16384, 8192, 0, 32767, 12288};
  for (unsigned bytes : {3u, 4u}) {
    UnitAudio a;
    a.configure(true, 48000, 0);
    a.set_render_format(fmt(5, bytes));
    uint32_t acc = 0;
    uint64_t sample = 0;
    auto play = [&](uint64_t from, uint64_t to, bool silent) {
      for (uint64_t f = from; f < to; ++f) {
        const uint32_t fb = feedback(a, f);
        const uint32_t n = (fb >> 16) + ((acc + (fb & 0xFFFF)) >> 16);
        acc = (acc + fb) & 0xFFFF;
        std::vector<uint8_t> pkt;
        for (uint32_t k = 0; k < n; ++k, ++sample) {
          for (unsigned c = 0; c < 5; ++c) {
            const uint32_t v = silent ? 0u : uint32_t(loud[c][sample % 2]);
            for (unsigned i = 0; i < bytes; ++i) pkt.push_back(uint8_t(v >> (8 * (4 - bytes + i))));
          }
        }
        a.render_packet(f, pkt.data(), pkt.size());
      }
    };
    play(100, 100 + 2400, false);  // 300 ms
    for (unsigned c = 0; c < 5; ++c)
      EXPECT_EQ(a.render_level(c), expected[c]) << bytes << " bytes, channel " << c;
    play(2500, 2500 + 2400, true);
    for (unsigned c = 0; c < 5; ++c) EXPECT_EQ(a.render_level(c), 0) << bytes << " bytes, channel " << c;
  }
}

TEST(UnitAudio, StarvedRenderUnderflowsAndBadPacketsAreCounted) {
  UnitAudio a;
  a.configure(true, 48000, 0);
  a.set_render_format(fmt(2, 2));
  std::vector<uint8_t> ms(48 * 4, 1);  // one millisecond
  a.render_packet(10, ms.data(), ms.size());
  uint8_t odd[5] = {};
  a.render_packet(10, odd, sizeof odd);
  a.feedback_packet(30, odd, 4);  // 20 microframes later: 2.5 ms needed, 1 ms given
  auto c = a.counters();
  EXPECT_EQ(48u, c.render_frames_played);
  EXPECT_EQ(1u, c.render_underflows);
  EXPECT_EQ(1u, c.render_bad_packets);
  // Too much at once overflows the 50 ms FIFO.
  std::vector<uint8_t> big(48 * 60 * 4, 1);
  a.render_packet(31, big.data(), big.size());
  EXPECT_GT(a.counters().render_overflows, 0u);
}

TEST(UnitAudio, GeneratedCaptureMovesTheMetersAndWholeFramesOnly) {
  UnitAudio a;
  a.configure(true, 48000, 0);
  a.set_capture_format(fmt(4, 4));
  uint8_t buf[512];
  a.capture_packet(0, buf, sizeof buf);
  size_t total = 0;
  for (uint64_t f = 1; f <= 8000; ++f) {
    size_t n = a.capture_packet(f, buf, 50);  // room for three frames only
    EXPECT_EQ(0u, n % 16);
    total += n;
  }
  EXPECT_EQ(8000u * 3 * 16, total);  // capped by the packet size; the rest is dropped
  for (unsigned c = 0; c < 4; ++c) {
    EXPECT_GT(a.capture_level(c), 7000) << c;  // a quarter of full scale
    EXPECT_LT(a.capture_level(c), 9000) << c;
  }
  EXPECT_EQ(-1, a.capture_level(4));
  EXPECT_EQ(-1, a.render_level(0));
}

}  // namespace

namespace {

TEST(UnitAudio, FeedbackFollowsTheChosenFormatInTheEndpointsSize) {
  UnitAudio a;
  uint8_t b[4] = {};
  auto word = [&] {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  };
  // 10.14 at high speed (as many real units send), in four bytes.
  a.configure(true, 48000, 0);
  a.set_feedback_format(korvel::sim::FeedbackFormat::Q10_14);
  std::memset(b, 0xEE, sizeof b);
  EXPECT_EQ(a.feedback_packet(1, b, sizeof b, 4), 4u);
  EXPECT_EQ(word(), 6u << 14);
  // 16.16 at full speed, in the three bytes a 3-byte endpoint allows.
  a.configure(false, 44100, 0);
  a.set_feedback_format(korvel::sim::FeedbackFormat::Q16_16);
  std::memset(b, 0, sizeof b);
  EXPECT_EQ(a.feedback_packet(2, b, sizeof b, 3), 3u);
  EXPECT_EQ(word(), uint32_t(44.1 * 65536));
  // A host buffer smaller than the packet: the packet does not fit.
  EXPECT_EQ(a.feedback_packet(3, b, 2, 3), 3u);
}

}  // namespace
