// The unit's USB Audio 2.0 function: descriptors of the five models, clock
// requests, and the vendor requests routed to the message firmware.
#include "uac2.h"

#include <gtest/gtest.h>

#include <set>

namespace uac2 = korvel::sim::uac2;
namespace usb = korvel::sim::usb;
using korvel::sim::Model;
using korvel::sim::Unit;

namespace {

const Model kModels[] = {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink};

struct Walk {
  bool well_formed = true;
  std::set<uint8_t> interfaces;
  std::vector<std::pair<uint8_t, uint16_t>> endpoints;  // address, wMaxPacketSize
  uint16_t ac_total = 0;
  size_t ac_actual = 0;
};

Walk walk(const std::vector<uint8_t>& d) {
  Walk w;
  size_t total = d[2] | d[3] << 8;
  if (total != d.size()) w.well_formed = false;
  size_t i = 0, ac_start = SIZE_MAX;
  while (i < d.size()) {
    uint8_t len = d[i];
    if (len < 2 || i + len > d.size()) {
      w.well_formed = false;
      break;
    }
    if (d[i + 1] == 0x04) {
      w.interfaces.insert(d[i + 2]);
      if (ac_start != SIZE_MAX && w.ac_actual == 0) w.ac_actual = i - ac_start;
    }
    if (d[i + 1] == 0x24 && d[i + 2] == 0x01 && ac_start == SIZE_MAX) {
      ac_start = i;
      w.ac_total = uint16_t(d[i + 6] | d[i + 7] << 8);
    }
    if (d[i + 1] == 0x05) w.endpoints.emplace_back(d[i + 2], uint16_t(d[i + 4] | d[i + 5] << 8));
    i += len;
  }
  return w;
}

TEST(Uac2Descriptors, EveryModelIsWellFormedAtBothSpeeds) {
  for (Model m : kModels) {
    for (usb::Speed s : {usb::Speed::High, usb::Speed::Full}) {
      auto l = uac2::model_layout(m, s);
      auto d = uac2::build_configuration(l, s);
      Walk w = walk(d);
      EXPECT_TRUE(w.well_formed) << int(m);
      EXPECT_EQ(w.interfaces.size(), 3u);
      EXPECT_EQ(d[4], 3);
      EXPECT_EQ(w.ac_total, w.ac_actual) << "AudioControl wTotalLength";
      EXPECT_GE(l.render.size(), 1u);
      for (auto& ep : w.endpoints) {
        if (s == usb::Speed::Full) {
          EXPECT_LE(ep.second, 1023);
        }
        if (ep.first == uac2::kFeedbackEndpoint) {
          EXPECT_EQ(ep.second, s == usb::Speed::High ? 4 : 3);
        }
      }
    }
  }
}

TEST(Uac2Descriptors, DataPacketsHoldTheNominalPacketPlusOneFrame) {
  // 48 kHz at high speed: 6 frames per microframe, plus one = 7.
  EXPECT_EQ(uac2::data_max_packet({24, 3, 24}, 48000, usb::Speed::High), 7 * 24 * 3);
  // 44.1 kHz: 5.5125 frames rounds up to 6, plus one.
  EXPECT_EQ(uac2::data_max_packet({2, 3, 24}, 44100, usb::Speed::High), 7 * 2 * 3);
  EXPECT_EQ(uac2::data_max_packet({4, 3, 24}, 192000, usb::Speed::High), 25 * 4 * 3);
  EXPECT_EQ(uac2::data_max_packet({2, 3, 24}, 48000, usb::Speed::Full), 49 * 2 * 3);
}

TEST(Uac2Descriptors, FarLinkOffersUpTo192kHzAndConsolesTensOfChannels) {
  auto far = uac2::model_layout(Model::FarLink, usb::Speed::High);
  EXPECT_EQ(far.rates.back(), 192000u);
  auto tarrow = uac2::model_layout(Model::Tarrow, usb::Speed::High);
  EXPECT_EQ(tarrow.render.front().channels, 24);
  EXPECT_TRUE(tarrow.render_feature_unit);
  EXPECT_FALSE(uac2::model_layout(Model::Quenby, usb::Speed::High).render_feature_unit);
}

TEST(Uac2Clock, RangeCurAndSetCurReachTheUnit) {
  Unit unit(Model::Tarrow);
  auto f = uac2::make_unit_function(unit);
  usb::Device dev(f, usb::Speed::High);
  uint8_t buf[64] = {};
  uint16_t got = 0;
  const uint16_t index = uint16_t(uac2::kClockId << 8);
  ASSERT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, index, 14}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 14);
  EXPECT_EQ(buf[0] | buf[1] << 8, 2);
  EXPECT_EQ(uint32_t(buf[2] | buf[3] << 8 | buf[4] << 16), 44100u);
  ASSERT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, index, 26}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(got, 26);
  uint8_t rate[4] = {0x44, 0xAC, 0, 0};  // 44100
  ASSERT_EQ(dev.control_transfer({0x21, 0x01, 0x0100, index, 4}, rate, &got), usb::Result::Ok);
  EXPECT_EQ(got, 4);
  EXPECT_EQ(unit.info().sample_rate, 44100u);
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0100, index, 4}, buf, &got), usb::Result::Ok);
  EXPECT_EQ(uint32_t(buf[0] | buf[1] << 8), 44100u);
  uint8_t bad[4] = {0x11, 0x11, 0, 0};
  EXPECT_EQ(dev.control_transfer({0x21, 0x01, 0x0100, index, 4}, bad, &got), usb::Result::Stall);
  EXPECT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, uint16_t(0x11 << 8), 14}, buf, &got),
            usb::Result::Stall);
}

TEST(Uac2Vendor, MessageRequestsReachTheFirmware) {
  Unit unit(Model::Dorrit);
  usb::Device dev(uac2::make_unit_function(unit), usb::Speed::High);
  uint8_t reply[64] = {};
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xC0, 0x1E, 0, 0, 64}, reply, &got), usb::Result::Ok);
  EXPECT_EQ(got, 64);
  EXPECT_EQ(reply[0], 0xA1) << "an empty queue answers with the ready marker";
  EXPECT_EQ(dev.control_transfer({0xC0, 0x33, 0, 0, 64}, reply, &got), usb::Result::Stall);
  dev.unplug();
  EXPECT_EQ(dev.control_transfer({0xC0, 0x1E, 0, 0, 64}, reply, &got), usb::Result::NoDevice);
}

TEST(Uac2Raw, AnswersItsClockWithTheGivenRatesAndOnlyIts) {
  std::vector<uint32_t> rates;
  for (uint32_t i = 0; i < 170; ++i) rates.push_back(8000 + i);
  auto f = uac2::make_raw_function(
      uac2::build_configuration(uac2::model_layout(Model::Pellin, usb::Speed::High), usb::Speed::High),
      rates);
  usb::Device dev(f, usb::Speed::High);
  std::vector<uint8_t> buf(4096);
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, uint16_t(uac2::kClockId << 8), 2042}, buf.data(), &got),
            usb::Result::Ok);
  EXPECT_EQ(got, 2042);
  EXPECT_EQ(buf[0] | buf[1] << 8, 170);
  // An entity the descriptor does not have stalls, as on a real unit.
  EXPECT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, uint16_t(0x77 << 8), 14}, buf.data(), &got),
            usb::Result::Stall);
}

}  // namespace

namespace {

// Render on clock source `render_clock`, capture on `capture_clock`; the
// AudioControl interface names `sources` and what `extra` adds (selectors,
// multipliers).
std::vector<uint8_t> TwoDirections(uint8_t render_clock, uint8_t capture_clock,
                                   const std::function<void(uac2::ConfigBuilder&)>& clocks) {
  uac2::ConfigBuilder b;
  b.configuration(3).interface(0, 0, 0, 1, 1, 0x20).ac_header();
  clocks(b);
  b.input_terminal(1, 0x0101, render_clock, 2).output_terminal(3, 0x0301, 1, render_clock);
  b.input_terminal(4, 0x0201, capture_clock, 2).output_terminal(5, 0x0101, 4, capture_clock);
  b.ac_end();
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  b.endpoint(0x01, 0x05, 42, 1).cs_endpoint().endpoint(0x81, 0x11, 3, 4);
  b.interface(2, 0, 0, 1, 2, 0x20);
  b.interface(2, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
  b.endpoint(0x82, 0x05, 42, 1).cs_endpoint();
  return b.finish();
}

usb::Result SetRate(usb::Device& dev, uint8_t clock, uint32_t rate) {
  uint8_t data[4] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)};
  uint16_t got = 0;
  return dev.control_transfer({0x21, 0x01, 0x0100, uint16_t(clock << 8), 4}, data, &got);
}

}  // namespace

TEST(Uac2Clock, OneClockSourceCarriesBothDirectionsAndSeparateOnesStayApart) {
  {
    // Every model: one clock behind both terminals. A SET CUR for either
    // direction changes what both carry.
    Unit unit(Model::Quenby);
    usb::Device dev(uac2::make_unit_function(unit), usb::Speed::High);
    ASSERT_EQ(SetRate(dev, uac2::kClockId, 44100), usb::Result::Ok);
    EXPECT_EQ(unit.audio().render_rate(), 44100u);
    EXPECT_EQ(unit.audio().capture_rate(), 44100u);
  }
  Unit unit(Model::Tarrow);
  auto f = uac2::make_unit_function(
      unit,
      TwoDirections(0x10, 0x11, [](uac2::ConfigBuilder& b) { b.clock_source(0x10).clock_source(0x11); }),
      korvel::sim::ClockRates({44100, 48000, 96000}));
  usb::Device dev(f, usb::Speed::High);
  ASSERT_EQ(SetRate(dev, 0x10, 96000), usb::Result::Ok);
  ASSERT_EQ(SetRate(dev, 0x11, 44100), usb::Result::Ok);
  EXPECT_EQ(unit.audio().render_rate(), 96000u);
  EXPECT_EQ(unit.audio().capture_rate(), 44100u);
  EXPECT_EQ(unit.info().sample_rate, 96000u);
  // Each direction produces at its own clock's rate.
  korvel::sim::UnitAudio& a = unit.audio();
  a.set_capture_format({2, 3, 24});
  uint8_t buf[4096];
  a.capture_packet(1, buf, sizeof buf);
  size_t captured = 0;
  for (uint64_t frame = 2; frame < 2 + 8000; ++frame)
    captured += a.capture_packet(frame, buf, sizeof buf) / 6;
  EXPECT_NEAR(double(captured), 44100, 8);
}

TEST(Uac2Clock, ASelectorsCurrentInputDecidesTheClockAndAnswersItsControl) {
  Unit unit(Model::Tarrow);
  // Source 0x10 internal, 0x11 external (word clock) with a read-only rate;
  // render and capture both through selector 0x20.
  auto f = uac2::make_unit_function(unit,
                                    TwoDirections(0x20, 0x20,
                                                  [](uac2::ConfigBuilder& b) {
                                                    b.clock_source(0x10, 0x03, 0x07)
                                                        .clock_source(0x11, 0x00, 0x05)
                                                        .clock_selector(0x20, {0x10, 0x11});
                                                  }),
                                    korvel::sim::ClockRates({44100, 48000}));
  usb::Device dev(f, usb::Speed::High);
  uint8_t byte = 0;
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0100, 0x2000, 1}, &byte, &got), usb::Result::Ok);
  EXPECT_EQ(byte, 1);
  ASSERT_EQ(SetRate(dev, 0x10, 44100), usb::Result::Ok);
  EXPECT_EQ(f->interface_rate(1), 44100u);
  EXPECT_EQ(unit.audio().capture_rate(), 44100u);
  // The external clock's rate is read-only.
  EXPECT_EQ(SetRate(dev, 0x11, 44100), usb::Result::Stall);
  byte = 2;
  ASSERT_EQ(dev.control_transfer({0x21, 0x01, 0x0100, 0x2000, 1}, &byte, &got), usb::Result::Ok);
  int source = 0;
  EXPECT_EQ(f->interface_rate(2, &source), 48000u);
  EXPECT_EQ(source, 0x11);
  EXPECT_EQ(unit.audio().render_rate(), 48000u);
  byte = 3;  // no such input
  EXPECT_EQ(dev.control_transfer({0x21, 0x01, 0x0100, 0x2000, 1}, &byte, &got), usb::Result::Stall);
  // A selector has no sampling-frequency control.
  uint8_t range[14];
  EXPECT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, 0x2000, 14}, range, &got), usb::Result::Stall);
}

// The validity control answers whether the source has a signal, as the
// unit sets it; a source that does not announce the control stalls its read,
// and it is never written.
TEST(Uac2Clock, TheValidityControlAnswersAsTheUnitSetsItAndStallsWhereNotAnnounced) {
  Unit unit(Model::Tarrow);
  // Source 0x10 announces validity read-only, 0x11 announces no validity.
  auto f = uac2::make_unit_function(
      unit,
      TwoDirections(
          0x10, 0x10,
          [](uac2::ConfigBuilder& b) { b.clock_source(0x10, 0x01, 0x05).clock_source(0x11, 0x01, 0x01); }),
      korvel::sim::ClockRates({48000}));
  usb::Device dev(f, usb::Speed::High);
  uint8_t byte = 7;
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0200, 0x1000, 1}, &byte, &got), usb::Result::Ok);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(byte, 1);
  ASSERT_TRUE(f->set_clock_valid(0x10, false));
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0200, 0x1000, 1}, &byte, &got), usb::Result::Ok);
  EXPECT_EQ(byte, 0);
  ASSERT_TRUE(f->set_clock_valid(0x10, true));
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0200, 0x1000, 1}, &byte, &got), usb::Result::Ok);
  EXPECT_EQ(byte, 1);
  byte = 0;
  EXPECT_EQ(dev.control_transfer({0x21, 0x01, 0x0200, 0x1000, 1}, &byte, &got), usb::Result::Stall);
  ASSERT_TRUE(f->set_clock_valid(0x11, false));
  EXPECT_EQ(dev.control_transfer({0xA1, 0x01, 0x0200, 0x1100, 1}, &byte, &got), usb::Result::Stall);
  EXPECT_FALSE(f->set_clock_valid(0x42, false)) << "no such source";
}

TEST(Uac2Clock, AMultipliersRatioScalesTheRateItPassesOn) {
  Unit unit(Model::Tarrow);
  auto f = uac2::make_unit_function(
      unit,
      TwoDirections(0x30, 0x30,
                    [](uac2::ConfigBuilder& b) { b.clock_source(0x10).clock_multiplier(0x30, 0x10); }),
      korvel::sim::ClockRates({48000}));
  usb::Device dev(f, usb::Speed::High);
  uint8_t word[2] = {};
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0100, 0x3000, 2}, word, &got), usb::Result::Ok);
  EXPECT_EQ(word[0] | word[1] << 8, 1);  // numerator
  ASSERT_EQ(dev.control_transfer({0xA1, 0x01, 0x0200, 0x3000, 2}, word, &got), usb::Result::Ok);
  EXPECT_EQ(word[0] | word[1] << 8, 1);  // denominator
  EXPECT_EQ(f->interface_rate(1), 48000u);
  f->set_multiplier(0x30, 2, 1);
  EXPECT_EQ(f->interface_rate(1), 96000u);
  EXPECT_EQ(unit.audio().render_rate(), 96000u);
  // Numerator and denominator are read-only.
  EXPECT_EQ(dev.control_transfer({0x21, 0x01, 0x0100, 0x3000, 2}, word, &got), usb::Result::Stall);
}

TEST(Uac2Clock, SubrangesAreReportedAndSetCurFollowsTheirGrid) {
  korvel::sim::ClockRates rates({44100});
  rates.ranges.push_back({8000, 192000, 0});        // continuous
  rates.ranges.push_back({352800, 384000, 31200});  // two rates
  auto f = uac2::make_raw_function(
      uac2::build_configuration(uac2::model_layout(Model::Dorrit, usb::Speed::High), usb::Speed::High),
      rates);
  usb::Device dev(f, usb::Speed::High);
  uint8_t buf[38] = {};
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, uint16_t(uac2::kClockId << 8), 38}, buf, &got),
            usb::Result::Ok);
  ASSERT_EQ(got, 38);
  auto u32 = [&](size_t o) {
    return uint32_t(buf[o] | buf[o + 1] << 8 | buf[o + 2] << 16 | buf[o + 3] << 24);
  };
  EXPECT_EQ(buf[0] | buf[1] << 8, 3);
  EXPECT_EQ(u32(2), 44100u);
  EXPECT_EQ(u32(6), 44100u);
  EXPECT_EQ(u32(14), 8000u);
  EXPECT_EQ(u32(18), 192000u);
  EXPECT_EQ(u32(34), 31200u);
  EXPECT_EQ(SetRate(dev, uac2::kClockId, 96000), usb::Result::Ok);
  EXPECT_EQ(SetRate(dev, uac2::kClockId, 12345), usb::Result::Ok);  // continuous
  EXPECT_EQ(SetRate(dev, uac2::kClockId, 384000), usb::Result::Ok);
  EXPECT_EQ(SetRate(dev, uac2::kClockId, 360000), usb::Result::Stall);  // off the grid
  EXPECT_EQ(SetRate(dev, uac2::kClockId, 200000), usb::Result::Stall);  // in no subrange
}
