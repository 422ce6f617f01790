// Descriptor shapes of real USB Audio 2.0 devices and the five models.
#include <gtest/gtest.h>

#include <string>

#include "shapes.h"
#include "topology.h"

namespace uac2 = korvel::sim::uac2;
namespace usb = korvel::sim::usb;
using korvel::sim::Model;
using shapes::ConfigBuilder;

namespace {

TEST(RealWorld, EveryModelIsUnderstood) {
  for (Model m : {Model::Tarrow, Model::Quenby, Model::Pellin, Model::Dorrit, Model::FarLink}) {
    for (usb::Speed s : {usb::Speed::High, usb::Speed::Full}) {
      auto d = uac2::build_configuration(uac2::model_layout(m, s), s);
      USB_AUDIO_TOPOLOGY t;
      ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk) << int(m);
      EXPECT_TRUE(TopologyHasRender(&t));
      EXPECT_TRUE(TopologyHasCapture(&t));
      EXPECT_NE(t.RenderSlots[1].FeedbackEndpoint, nullptr);
      // Every setting of a model is one the driver streams.
      EXPECT_EQ(TopologyCheckSettings(&t), TopologyOk) << int(m);
      for (int i = 1; i < QUENBY_MAX_SLOTS; ++i) {
        EXPECT_EQ(SlotIsUsable(&t.RenderSlots[i]), !SlotIsEmpty(&t.RenderSlots[i])) << int(m) << " " << i;
        EXPECT_EQ(SlotIsUsable(&t.CaptureSlots[i]), !SlotIsEmpty(&t.CaptureSlots[i])) << int(m) << " " << i;
      }
    }
  }
}

// A mixer with a MIDI interface, a DFU interface and a HID interface: the
// audio function itself is understood (the interface count refuses it at
// start).
TEST(RealWorld, CompositeDeviceAudioPartIsParsed) {
  ConfigBuilder b;
  b.configuration(6).association(0, 3);
  shapes::Control(b, true);
  shapes::Render(b, 1, 2);
  shapes::Capture(b, 2, 1);
  b.interface(3, 0, 2, 1, 3, 0);  // MIDI streaming
  b.raw({7, 0x24, 0x01, 0x00, 0x01, 7, 0});
  b.endpoint(0x03, 0x02, 512, 0).endpoint(0x83, 0x02, 512, 0);
  b.interface(4, 0, 0, 0xFE, 0x01, 0x01).raw({9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x10, 0x1A, 0x01});  // DFU
  b.interface(5, 0, 1, 0x03, 0, 0).raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x20, 0});                 // HID
  b.endpoint(0x84, 0x03, 64, 4);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(t.AudioInterfaceCount, 3u);
  EXPECT_EQ(d[4], 6) << "six interfaces against three audio ones";
  EXPECT_EQ(DescriptorEndpointAddress(t.CaptureSlots[1].DataEndpoint), 0x82)
      << "the HID endpoint is not taken";
}

// The output terminals name a clock selector in front of an internal and
// an external clock source (word clock); the selector's current input,
// read at start, decides which source the terminals run from.
TEST(RealWorld, ClockSelectorInFrontOfTheClockSources) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_source(0x2A, 0x00, 0x05);
  b.clock_selector(0x28, {0x29, 0x2A});
  b.input_terminal(1, 0x0101, 0x28, 2).output_terminal(3, 0x0301, 1, 0x28);
  b.input_terminal(4, 0x0201, 0x28, 2).output_terminal(5, 0x0101, 4, 0x28).ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(ClockEntityKind(t.RenderPath.ClockEntity), ClockKindSelector);
  EXPECT_EQ(t.RenderPath.ClockSource, nullptr) << "known once the selector is read";
  struct Reader {
    uint32_t input = 2;
    static int read(void* self, uint8_t entity, uint8_t control, uint32_t* value) {
      if (entity != 0x28 || control != QUENBY_CX_CLOCK_SELECTOR_CONTROL) return 0;
      *value = static_cast<Reader*>(self)->input;
      return 1;
    }
  } reader;
  const uint8_t* source = nullptr;
  ASSERT_EQ(ClockResolve(&t, 0x28, Reader::read, &reader, &source), ClockResolved);
  EXPECT_EQ(DescriptorClockId(source), 0x2A);
  reader.input = 3;  // no such input
  EXPECT_EQ(ClockResolve(&t, 0x28, Reader::read, &reader, &source), ClockSelectorInvalid);
  EXPECT_EQ(ClockResolve(
                &t, 0x28, [](void*, uint8_t, uint8_t, uint32_t*) { return 0; }, nullptr, &source),
            ClockSelectorUnread);
}

// A clock multiplier between the terminals and the source: followed when
// its ratio is 1:1, refused otherwise (the terminals would run at another
// rate than the one set on the source).
TEST(RealWorld, ClockMultiplierIsFollowedAtOneToOne) {
  ConfigBuilder b;
  b.configuration(2);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_multiplier(0x30, 0x29);
  b.input_terminal(1, 0x0101, 0x30, 2).output_terminal(3, 0x0301, 1, 0x30).ac_end();
  shapes::Render(b, 1, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  struct Ratio {
    uint32_t numerator, denominator;
    static int read(void* self, uint8_t entity, uint8_t control, uint32_t* value) {
      const Ratio* r = static_cast<Ratio*>(self);
      *value = control == QUENBY_CM_NUMERATOR_CONTROL ? r->numerator : r->denominator;
      return entity == 0x30;
    }
  };
  Ratio one{1, 1}, two{2, 1};
  const uint8_t* source = nullptr;
  ASSERT_EQ(ClockResolve(&t, 0x30, Ratio::read, &one, &source), ClockResolved);
  EXPECT_EQ(DescriptorClockId(source), 0x29);
  EXPECT_EQ(ClockResolve(&t, 0x30, Ratio::read, &two, &source), ClockRatioNotOne);
}

// Clock entities that lead nowhere: a selector whose inputs are no clock
// sources, a selector that names itself: the render path has no clock, so
// the unit has no render path.
TEST(RealWorld, ClockEntitiesThatReachNoSourceAreNoClock) {
  for (bool loop : {false, true}) {
    ConfigBuilder b;
    b.configuration(2);
    b.interface(0, 0, 0, 1, 1, 0x20).ac_header();
    if (loop) {
      b.clock_selector(0x28, {0x28});
    } else {
      b.clock_selector(0x28, {0x40, 0x41});
    }
    b.input_terminal(1, 0x0101, 0x28, 2).output_terminal(3, 0x0301, 1, 0x28).ac_end();
    shapes::Render(b, 1, 1);
    auto d = b.finish();
    USB_AUDIO_TOPOLOGY t;
    EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyNoRender) << loop;
    EXPECT_EQ(t.RenderPathState, AudioPathNoClock) << loop;
    const uint8_t* source = nullptr;
    EXPECT_NE(ClockResolve(
                  &t, 0x28, [](void*, uint8_t, uint8_t, uint32_t* v) { return *v = 1, 1; }, nullptr, &source),
              ClockResolved)
        << loop;
  }
}

// A unit whose render is paced by its capture data endpoint (implicit
// feedback, usage 0x20) and has no feedback endpoint: refused, and the
// reason says so.
TEST(RealWorld, ImplicitFeedbackIsRefusedByName) {
  auto d = shapes::ImplicitFeedback();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyImplicitFeedback);
  EXPECT_NE(std::string(TopologyResultText(TopologyImplicitFeedback)).find("implicit feedback"),
            std::string::npos);
}

// High speed serves bInterval 1 to 4 (a packet every 1, 2, 4 or 8
// microframes); an endpoint polled less often is refused by name. Full
// speed polls every frame whatever bInterval says.
TEST(RealWorld, EndpointPeriodsAboveOneFrameAreRefusedAtHighSpeed) {
  for (uint8_t interval : {1, 4, 5}) {
    auto d = shapes::RenderPolled(interval);
    USB_AUDIO_TOPOLOGY t;
    ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
    EXPECT_EQ(TopologyCheckPeriods(&t, 1), interval <= 4 ? TopologyOk : TopologyPeriodUnsupported)
        << int(interval);
    EXPECT_EQ(TopologyCheckPeriods(&t, 0), TopologyOk);
    EXPECT_EQ(EndpointPeriod(t.RenderSlots[1].DataEndpoint, 1), interval <= 4 ? 1u << (interval - 1) : 0u);
    EXPECT_EQ(EndpointPeriod(t.RenderSlots[1].DataEndpoint, 0), 1u);
  }
}

TEST(RealWorld, FeatureUnitBetweenTheTerminals) {
  ConfigBuilder b;
  b.configuration(3);
  shapes::Control(b, true, true);
  shapes::Render(b, 1, 3);
  shapes::Capture(b, 2, 2);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_NE(t.RenderPath.FeatureUnit, nullptr);
  EXPECT_EQ(t.RenderPath.OutputTerminal[7], t.RenderPath.FeatureUnit[3]);
}

// One device states 256 bytes for a 119-byte AudioControl block.
TEST(RealWorld, AudioControlLengthStatedAs256For119Bytes) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header(256).clock_source(0x29);
  b.input_terminal(1, 0x0101, 0x29, 2).feature_unit(2, 1, 2).output_terminal(3, 0x0301, 2, 0x29);
  b.input_terminal(4, 0x0201, 0x29, 2).feature_unit(6, 4, 2).output_terminal(5, 0x0101, 4, 0x29);
  b.raw({8, 0x24, 0x0C, 0x20, 0x29, 0x00, 0x00, 0x00});  // a further entity of the function
  b.ac_end();
  shapes::Render(b, 1, 2);
  shapes::Capture(b, 2, 1);
  auto d = b.finish();
  size_t header = 18;
  ASSERT_EQ(d[header + 1], 0x24);
  size_t next_interface = header;
  while (d[next_interface + 1] != 0x04) next_interface += d[next_interface];
  EXPECT_EQ(next_interface - header, 119u);
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(t.ControlEnd, d.data() + next_interface);
  EXPECT_TRUE(TopologyHasRender(&t));
  EXPECT_TRUE(TopologyHasCapture(&t));
}

}  // namespace
