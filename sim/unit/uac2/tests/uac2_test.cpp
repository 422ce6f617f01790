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

TEST(Uac2Raw, AnswersEveryClockWithTheGivenRates) {
  std::vector<uint32_t> rates;
  for (uint32_t i = 0; i < 170; ++i) rates.push_back(8000 + i);
  auto f = uac2::make_raw_function(
      uac2::build_configuration(uac2::model_layout(Model::Pellin, usb::Speed::High), usb::Speed::High),
      rates);
  usb::Device dev(f, usb::Speed::High);
  std::vector<uint8_t> buf(4096);
  uint16_t got = 0;
  ASSERT_EQ(dev.control_transfer({0xA1, 0x02, 0x0100, uint16_t(0x77 << 8), 2042}, buf.data(), &got),
            usb::Result::Ok);
  EXPECT_EQ(got, 2042);
  EXPECT_EQ(buf[0] | buf[1] << 8, 170);
}

}  // namespace
