// Topology discovery on descriptor bytes: walks, the AudioControl block,
// slots, packet sizes, rate lists and limits.
#include "topology.h"

#include <gtest/gtest.h>

#include "shapes.h"

namespace {

using shapes::ConfigBuilder;

size_t Find(const std::vector<uint8_t>& d, uint8_t type, uint8_t subtype = 0, size_t from = 0) {
  for (size_t i = from; i + 2 < d.size(); i += d[i]) {
    if (d[i] == 0) break;
    if (d[i + 1] == type && (subtype == 0 || d[i + 2] == subtype)) return i;
  }
  return SIZE_MAX;
}

TEST(Topology, BasicDeviceHasBothDirections) {
  auto d = shapes::Basic();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_TRUE(TopologyHasRender(&t));
  EXPECT_TRUE(TopologyHasCapture(&t));
  EXPECT_EQ(t.AudioInterfaceCount, 3u);
  EXPECT_EQ(t.RenderIndex, 1u);
  EXPECT_EQ(t.CaptureIndex, 2u);
  EXPECT_EQ(DescriptorClockId(t.RenderPath.ClockSource), shapes::kClock);
  EXPECT_EQ(t.RenderPath.FeatureUnit, nullptr);
  EXPECT_TRUE(SlotIsEmpty(&t.RenderSlots[3]));
  EXPECT_FALSE(SlotIsPcm(&t.RenderSlots[0]));
  ASSERT_TRUE(SlotIsPcm(&t.RenderSlots[2]));
  EXPECT_EQ(SlotChannels(&t.RenderSlots[2]), 4u);
  EXPECT_EQ(SlotBits(&t.RenderSlots[2]), 24u);
  EXPECT_EQ(t.RenderSlots[1].DataEndpointIndex, 0);
  EXPECT_EQ(t.RenderSlots[1].FeedbackEndpointIndex, 1);
  EXPECT_NE(t.RenderSlots[1].DataEndpointCs, nullptr);
  EXPECT_EQ(SlotFindForFormat(t.RenderSlots, 4, 24), 2);
  EXPECT_EQ(SlotFindForFormat(t.RenderSlots, 4, 16), -1);
}

TEST(Topology, RenderPathThroughAFeatureUnitAndDirect) {
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false, true);
  shapes::Render(b, 1, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  ASSERT_NE(t.RenderPath.FeatureUnit, nullptr);
  EXPECT_EQ(t.RenderPath.FeatureUnit[3], 2);
  EXPECT_FALSE(TopologyHasCapture(&t));
}

// The walks step by bLength: a zero length, a descriptor shorter than its
// type, or one running past wTotalLength end the walk with an error, never a
// loop or a read past the copy.
TEST(TopologyWalk, ZeroLengthDescriptorFails) {
  auto d = shapes::Basic();
  d[Find(d, 0x24, 0x02)] = 0;
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyMalformed);
  auto e = shapes::Basic();
  e[Find(e, 0x05)] = 0;  // in a streaming interface
  EXPECT_EQ(TopologyDiscover(e.data(), e.size(), &t), TopologyMalformed);
}

TEST(TopologyWalk, DescriptorShorterThanItsTypeFails) {
  USB_AUDIO_TOPOLOGY t;
  for (auto [type, subtype, shorter] : std::vector<std::tuple<uint8_t, uint8_t, uint8_t>>{
           {0x24, 0x02, 16}, {0x24, 0x03, 11}, {0x24, 0x0A, 7}, {0x05, 0, 6}}) {
    auto d = shapes::Basic();
    size_t at = Find(d, type, subtype);
    ASSERT_NE(at, SIZE_MAX);
    // Shorten the descriptor in place: its tail becomes a filler descriptor.
    uint8_t old = d[at];
    d[at] = shorter;
    d[at + shorter] = uint8_t(old - shorter);
    if (old - shorter >= 2) d[at + shorter + 1] = 0x30;
    EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyMalformed)
        << int(type) << "/" << int(subtype);
  }
  // AS_GENERAL and FORMAT_TYPE_I inside a streaming interface.
  auto d = shapes::Basic();
  size_t general = Find(d, 0x24, 0x01, Find(d, 0x04, 0, 30));
  while (general != SIZE_MAX && !(d[general + 1] == 0x24 && d[general] == 16))
    general = Find(d, 0x24, 0x01, general + d[general]);
  ASSERT_NE(general, SIZE_MAX);
  d[general] = 10;
  d[general + 10] = 6;
  d[general + 11] = 0x30;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyMalformed);
}

TEST(TopologyWalk, DescriptorRunningPastTheEndFails) {
  auto d = shapes::Basic();
  // The last descriptor claims more bytes than the configuration holds.
  size_t last = 0;
  for (size_t i = 0; i < d.size(); i += d[i]) last = i;
  d[last] = 40;
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyMalformed);
  // A wTotalLength beyond the copy is bounded by the copy.
  auto e = shapes::Basic();
  e[2] = 0xFF;
  e[3] = 0x7F;
  EXPECT_EQ(TopologyDiscover(e.data(), e.size(), &t), TopologyOk);
  EXPECT_EQ(t.ConfigurationEnd, e.data() + e.size());
  // A wTotalLength that cuts a descriptor in two.
  auto f = shapes::Basic();
  f[2] = uint8_t(f.size() - 3);
  f[3] = uint8_t((f.size() - 3) >> 8);
  EXPECT_EQ(TopologyDiscover(f.data(), f.size(), &t), TopologyMalformed);
}

TEST(TopologyWalk, TruncatedCopiesNeverReadPastTheEnd) {
  auto d = shapes::Basic();
  USB_AUDIO_TOPOLOGY t;
  for (size_t n = 0; n < d.size(); ++n) {
    std::vector<uint8_t> copy(d.begin(), d.begin() + n);
    TopologyDiscover(copy.data(), copy.size(), &t);
  }
  EXPECT_EQ(TopologyDiscover(nullptr, 0, &t), TopologyNoConfiguration);
}

// Real devices state a wrong wTotalLength in the AudioControl header; the
// block ends at the first of the stated end, the next interface descriptor
// and the end of the configuration.
TEST(TopologyControlBlock, StatedLengthTooLargeEndsAtTheNextInterface) {
  ConfigBuilder b;
  b.configuration(3);
  shapes::Control(b, true, false, 256);
  shapes::Render(b, 1, 2);
  shapes::Capture(b, 2, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(t.ControlEnd, d.data() + Find(d, 0x04, 0, 18));
  EXPECT_TRUE(TopologyHasRender(&t));
  EXPECT_TRUE(TopologyHasCapture(&t));
}

TEST(TopologyControlBlock, StatedLengthTooSmallHidesTheTerminalsBehindIt) {
  // Header (9) + clock (8) only: the terminals lie outside the block.
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false, false, 17);
  shapes::Render(b, 1, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyNoRender);
  EXPECT_EQ(t.RenderPathState, AudioPathAbsent);
  EXPECT_TRUE(t.HasRenderInterface) << "the streaming search starts at the block's end";
  // A stated end inside a descriptor: the block stops at the boundary before it.
  ConfigBuilder c;
  c.configuration(2);
  shapes::Control(c, false, false, 20);
  shapes::Render(c, 1, 1);
  auto e = c.finish();
  ASSERT_EQ(TopologyDiscover(e.data(), e.size(), &t), TopologyNoRender);
  EXPECT_EQ(t.ControlEnd, t.ControlHeader + 17);
}

TEST(TopologySlots, MoreThanEightAlternateSettingsFail) {
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false);
  shapes::Render(b, 1, 8);  // alternate settings 0..8: nine
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyTooManySettings);
  ConfigBuilder c;
  c.configuration(2);
  shapes::Control(c, false);
  shapes::Render(c, 1, 7);
  auto e = c.finish();
  EXPECT_EQ(TopologyDiscover(e.data(), e.size(), &t), TopologyOk);
}

TEST(TopologySlots, StreamingInterfaceWithoutDataEndpointFails) {
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false);
  b.interface(1, 0, 0, 1, 2, 0x20).interface(1, 1, 0, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyNoDataEndpoint);
}

TEST(TopologySlots, NonPcmFormatsDoNotCount) {
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false);
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  b.endpoint(0x01, 0x05, 42, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  b.interface(1, 2, 2, 1, 2, 0x20).as_general(1, 8, 3).format_type_i(3, 24);  // PCM and PCM8
  b.endpoint(0x01, 0x05, 200, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(t.RenderSlots[2].AsGeneral, nullptr);
  EXPECT_FALSE(SlotIsPcm(&t.RenderSlots[2]));
  DIRECTION_LIMITS l;
  ComputeLimits(t.RenderSlots, nullptr, 0, &l);
  EXPECT_EQ(l.MaxChannels, 2u) << "bmFormats 3 does not count towards the limits";
  EXPECT_EQ(SlotsMaxDataPacket(t.RenderSlots), 200u);
}

// Only isochronous endpoints carry audio: an interrupt endpoint listed
// first is not the data endpoint, but its pipe still comes first; a bulk
// endpoint alone leaves the interface without data endpoint.
TEST(TopologySlots, OnlyIsochronousEndpointsAreDataOrFeedback) {
  auto d = shapes::CaptureAfterInterruptEndpoint();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  ASSERT_NE(t.CaptureSlots[1].DataEndpoint, nullptr);
  EXPECT_EQ(DescriptorEndpointAddress(t.CaptureSlots[1].DataEndpoint), 0x82);
  EXPECT_EQ(t.CaptureSlots[1].DataEndpointIndex, 1) << "the pipe after the interrupt endpoint's";
  EXPECT_EQ(SlotFindForShape(t.CaptureSlots, 2, 24, 24, 48000, 1), 1);

  for (uint8_t type : {uint8_t(0x02), uint8_t(0x03)}) {  // bulk, interrupt
    ConfigBuilder r;
    r.configuration(2);
    shapes::Control(r, false);
    r.interface(1, 0, 0, 1, 2, 0x20);
    r.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
    r.endpoint(0x01, type, 42, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
    auto e = r.finish();
    EXPECT_EQ(TopologyDiscover(e.data(), e.size(), &t), TopologyNoDataEndpoint) << int(type);
  }
}

// Settings the driver cannot stream (render without feedback endpoint,
// 8-bit PCM, a subslot above 4 bytes) are matched, offered and counted
// nowhere; capture needs no feedback endpoint.
TEST(TopologySlots, SettingsTheDriverCannotStreamCountNowhere) {
  auto d = shapes::UnusableSettings();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(TopologyCheckSettings(&t), TopologyOk) << "render and capture alt 1 remain";
  ASSERT_TRUE(SlotIsPcm(&t.RenderSlots[2]));
  for (int i : {2, 3, 4}) EXPECT_FALSE(SlotIsUsable(&t.RenderSlots[i])) << i;
  EXPECT_TRUE(SlotIsUsable(&t.CaptureSlots[1]));
  EXPECT_FALSE(SlotIsUsable(&t.CaptureSlots[2]));
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 16, 16, 48000, 1), -1);
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 8, 8, 48000, 1), -1);
  EXPECT_EQ(SlotFindForShape(t.CaptureSlots, 2, 8, 8, 48000, 1), -1);
  EXPECT_EQ(SlotFindForShape(t.CaptureSlots, 2, 24, 24, 48000, 1), 1);
  uint32_t channels = 0, bits = 0;
  EXPECT_EQ(SlotDefaultFormat(t.RenderSlots, 2, 8, &channels, &bits), 1);
  EXPECT_EQ(bits, 24u);
  for (const AltSettingSlot* slots : {t.RenderSlots, t.CaptureSlots}) {
    DIRECTION_LIMITS l;
    ComputeLimits(slots, nullptr, 0, &l);
    EXPECT_EQ(l.MinBits, 24u);
    EXPECT_EQ(l.MaxBits, 24u);
  }
}

TEST(TopologySlots, CaptureOnlyDeviceIsServedWithoutRender) {
  ConfigBuilder b;
  b.configuration(2);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9);
  b.input_terminal(4, 0x0201, 9, 2).output_terminal(5, 0x0101, 4, 9).ac_end();
  shapes::Capture(b, 1, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_TRUE(TopologyHasCapture(&t));
  EXPECT_FALSE(TopologyHasRender(&t));
}

TEST(TopologySlots, SecondRenderInterfaceIsRefused) {
  ConfigBuilder b;
  b.configuration(3);
  shapes::Control(b, false);
  shapes::Render(b, 1, 1);
  shapes::Render(b, 2, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologySecondInterface);
}

// wMaxPacketSize is bytes per (micro)frame: size bits times one plus the
// additional-transaction bits.
TEST(TopologySlots, DefaultFormatIsOneTheDeviceOffers) {
  // 2 channels only at 24 bits, 16 bits only with 8 channels.
  ConfigBuilder b;
  b.configuration(2);
  shapes::Control(b, false);
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  b.endpoint(0x01, 0x05, 42, 1).cs_endpoint();
  b.endpoint(0x81, 0x11, 4, 4);
  b.interface(1, 2, 2, 1, 2, 0x20).as_general(1, 8).format_type_i(2, 16);
  b.endpoint(0x01, 0x05, 136, 1).cs_endpoint();
  b.endpoint(0x81, 0x11, 4, 4);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  uint32_t channels = 0, bits = 0;
  EXPECT_EQ(SlotDefaultFormat(t.RenderSlots, 2, 16, &channels, &bits), 1);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(bits, 24u);
  // When one setting has both minima, that is the default.
  EXPECT_EQ(SlotDefaultFormat(t.RenderSlots, 8, 16, &channels, &bits), 2);
  EXPECT_EQ(channels, 8u);
  EXPECT_EQ(bits, 16u);
}

TEST(TopologyPackets, HighBandwidthEndpointsCountEveryTransaction) {
  const uint8_t single[7] = {7, 5, 0x01, 0x05, 0x00, 0x04, 1};  // 1024
  const uint8_t two[7] = {7, 5, 0x01, 0x05, 0x58, 0x0A, 1};     // 600 x 2
  const uint8_t three[7] = {7, 5, 0x01, 0x05, 0x00, 0x14, 1};   // 1024 x 3
  EXPECT_EQ(EndpointBytesPerInterval(single), 1024u);
  EXPECT_EQ(EndpointBytesPerInterval(two), 1200u);
  EXPECT_EQ(EndpointBytesPerInterval(three), 3072u);
  EXPECT_EQ(EndpointBytesPerInterval(nullptr), 0u);
}

TEST(TopologyRates, SubrangesOfferDminAndTheStandardRatesOnTheirGridAndTheListIsBounded) {
  std::vector<uint8_t> list = {2, 0};
  auto add = [&](uint32_t lo, uint32_t hi) {
    for (uint32_t v : {lo, hi, 0u}) {
      for (int i = 0; i < 4; ++i) list.push_back(uint8_t(v >> (8 * i)));
    }
  };
  add(44100, 48000);
  add(96000, 96000);
  EXPECT_EQ(RateListCount(list.data(), list.size()), 2u);
  EXPECT_EQ(RateListRate(list.data(), list.size(), 0), 44100u);
  EXPECT_TRUE(RateListOffers(list.data(), list.size(), 96000));
  // 44100..48000, continuous: the standard rates in it, no others.
  EXPECT_TRUE(RateListOffers(list.data(), list.size(), 48000));
  EXPECT_FALSE(RateListOffers(list.data(), list.size(), 46000));
  EXPECT_FALSE(RateListOffers(list.data(), list.size(), 32000));
  // A stated count beyond the bytes present is not read.
  list[0] = 200;
  EXPECT_EQ(RateListCount(list.data(), list.size()), 2u);
  auto d = shapes::Basic();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  DIRECTION_LIMITS l;
  ComputeLimits(t.RenderSlots, list.data(), list.size(), &l);
  EXPECT_EQ(l.MinRate, 44100u);
  EXPECT_EQ(l.MaxRate, 96000u);
  EXPECT_EQ(l.MinChannels, 2u);
  EXPECT_EQ(l.MaxChannels, 4u);
  EXPECT_EQ(l.MinBits, 24u);
}

TEST(TopologyRates, AContinuousRangeOffersEveryStandardRateInItAndLimitsFollow) {
  // 44100 alone, 8000..192000 continuous, 352800..384000 on a grid of 31200.
  std::vector<uint8_t> list = {3, 0};
  auto add = [&](uint32_t lo, uint32_t hi, uint32_t res) {
    for (uint32_t v : {lo, hi, res}) {
      for (int i = 0; i < 4; ++i) list.push_back(uint8_t(v >> (8 * i)));
    }
  };
  add(44100, 44100, 0);
  add(16000, 192000, 1);
  add(352800, 384000, 31200);
  uint32_t rates[32] = {};
  const uint32_t n = RateListOffered(list.data(), list.size(), rates, 32);
  const std::vector<uint32_t> offered(rates, rates + n);
  EXPECT_EQ(offered, (std::vector<uint32_t>{16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000,
                                            176400, 192000, 352800, 384000}));
  EXPECT_FALSE(RateListOffers(list.data(), list.size(), 8000));
  EXPECT_FALSE(RateListOffers(list.data(), list.size(), 17000)) << "not a standard rate";
  auto d = shapes::Basic();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  DIRECTION_LIMITS l;
  ComputeLimits(t.RenderSlots, list.data(), list.size(), &l);
  EXPECT_EQ(l.MinRate, 16000u);
  EXPECT_EQ(l.MaxRate, 384000u);
  // A grid that misses the standard rates offers dMIN alone.
  list = {1, 0};
  add(44000, 48000, 1000);
  EXPECT_EQ(RateListOffered(list.data(), list.size(), rates, 32), 2u);  // 44000, 48000
  EXPECT_FALSE(RateListOffers(list.data(), list.size(), 44100));
}

// Rates below the lowest the streams run at are never offered, as dMIN or
// inside a range; 8000 Hz and up are.
TEST(TopologyRates, RatesBelowTheLowestStreamedAreNotOffered) {
  std::vector<uint8_t> list = {3, 0};
  auto add = [&](uint32_t lo, uint32_t hi, uint32_t res) {
    for (uint32_t v : {lo, hi, res}) {
      for (int i = 0; i < 4; ++i) list.push_back(uint8_t(v >> (8 * i)));
    }
  };
  add(50, 50, 0);
  add(1, 8000, 1);
  add(5512, 48000, 42488);

  uint32_t rates[32] = {};
  const uint32_t n = RateListOffered(list.data(), list.size(), rates, 32);
  EXPECT_EQ(std::vector<uint32_t>(rates, rates + n), (std::vector<uint32_t>{8000, 48000}));
  for (uint32_t low : {1u, 50u, 5512u, 7999u})
    EXPECT_FALSE(RateListOffers(list.data(), list.size(), low)) << low;
  auto d = shapes::Basic();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  DIRECTION_LIMITS l;
  ComputeLimits(t.RenderSlots, list.data(), list.size(), &l);
  EXPECT_EQ(l.MinRate, 8000u);
  // Nothing from the lowest streamed rate up: no rate limits at all.
  list = {2, 0};
  add(50, 50, 0);
  add(1, 4000, 1);
  EXPECT_EQ(RateListOffered(list.data(), list.size(), rates, 32), 0u);
  ComputeLimits(t.RenderSlots, list.data(), list.size(), &l);
  EXPECT_EQ(l.MinRate, 0u);
  EXPECT_EQ(l.MaxRate, 0u);
}

// Clock selectors that name themselves or each other: the search for a
// source looks at each entity once (a crafted selector once made start run
// for minutes), still finds a source within eight entities of the terminal
// and none further away.
TEST(TopologyClock, LoopingSelectorsAreSearchedOnceAndSourcesFoundWithinEight) {
  auto selector = [](uint8_t id, std::vector<uint8_t> inputs) {
    std::vector<uint8_t> d = {uint8_t(7 + inputs.size()), 0x24, 0x0B, id, uint8_t(inputs.size())};
    d.insert(d.end(), inputs.begin(), inputs.end());
    d.push_back(0x03);  // selector control read/write
    d.push_back(0);
    return d;
  };
  // A chain of `length` selectors from 0x40 down, each also naming itself
  // and the head (`fan` times each), the last naming the source when `source`.
  auto chain = [&](int length, int fan, bool source) {
    std::vector<uint8_t> out;
    for (int i = 0; i < length; ++i) {
      const uint8_t id = uint8_t(0x40 + i);
      std::vector<uint8_t> inputs;
      for (int k = 0; k < fan; ++k) {
        inputs.push_back(id);
        inputs.push_back(0x40);
      }
      inputs.push_back(i + 1 < length ? uint8_t(id + 1) : source ? shapes::kClock : uint8_t(0x7F));
      auto d = selector(id, inputs);
      out.insert(out.end(), d.begin(), d.end());
    }
    return out;
  };
  const struct {
    int length, fan;
    bool source, found;
  } cases[] = {
      {1, 123, false, false},                       // 247 inputs naming the selector itself, no source
      {1, 123, true, true},   {7, 17, true, true},  // the source is the eighth entity from the terminal
      {8, 17, true, false},                         // ... the ninth
      {8, 17, false, false},
  };
  for (const auto& c : cases) {
    ConfigBuilder b;
    b.configuration(2);
    b.interface(0, 0, 0, 1, 1, 0x20)
        .ac_header()
        .clock_source(shapes::kClock)
        .raw(chain(c.length, c.fan, c.source));
    b.input_terminal(1, 0x0101, 0x40, 2).output_terminal(3, 0x0301, 1, 0x40).ac_end();
    shapes::Render(b, 1, 1);
    auto d = b.finish();
    USB_AUDIO_TOPOLOGY t;
    const TOPOLOGY_RESULT r = TopologyDiscover(d.data(), d.size(), &t);
    EXPECT_EQ(c.found, r == TopologyOk) << c.length << " selectors of " << 2 * c.fan + 1 << " inputs: " << r;
  }
}

}  // namespace
