// Descriptor shapes of real USB Audio 2.0 devices and the five models.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "shapes.h"
#include "topology.h"

namespace uac2 = korvel::sim::uac2;
namespace usb = korvel::sim::usb;
using korvel::sim::Model;
using shapes::ConfigBuilder;

namespace {

size_t Find(const std::vector<uint8_t>& d, uint8_t type, uint8_t subtype) {
  for (size_t i = 0; i + 2 < d.size() && d[i] != 0; i += d[i]) {
    if (d[i + 1] == type && d[i + 2] == subtype) return i;
  }
  return SIZE_MAX;
}

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

// A mixer with a MIDI interface, a DFU interface and a HID interface, read
// whole: the audio interfaces are found among the others.
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
// sources, a selector that names itself: the render path has no clock, and
// the unit is refused for that.
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
    EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyRenderNoClock) << loop;
    EXPECT_EQ(t.RenderPathState, AudioPathNoClock) << loop;
    const uint8_t* source = nullptr;
    EXPECT_NE(ClockResolve(
                  &t, 0x28, [](void*, uint8_t, uint8_t, uint32_t* v) { return *v = 1, 1; }, nullptr, &source),
              ClockResolved)
        << loop;
  }
}

// Render paced by the capture data endpoint (implicit feedback, usage
// 0x20) without a feedback endpoint of its own is found so; one capture
// packet paces one render packet, so capture polled at another interval is
// refused by name.
TEST(RealWorld, ImplicitFeedbackPacesRenderWithoutAFeedbackEndpoint) {
  auto d = shapes::ImplicitFeedback();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(t.RenderSlots[1].RenderPacing, QUENBY_PACING_IMPLICIT);
  EXPECT_EQ(TopologyCheckPeriods(&t, 1), TopologyOk);
  d[d.size() - 9] = 4;  // the capture endpoint's bInterval (the class-specific one follows)
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(TopologyCheckPeriods(&t, 1), TopologyImplicitFeedback);
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

// The clock that paces a streaming interface is the one its streaming
// terminal names (the USB-streaming input terminal for render, output
// terminal for capture), whatever the terminal at the other end names.
TEST(RealWorld, EachDirectionRunsFromTheClockItsStreamingTerminalNames) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_source(0x2A);
  b.clock_selector(0x28, {0x29, 0x2A});
  b.input_terminal(1, 0x0101, 0x2A, 2).output_terminal(3, 0x0301, 1, 0x29);
  b.input_terminal(4, 0x0201, 0x2A, 2).output_terminal(5, 0x0101, 4, 0x29).ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(DescriptorClockId(t.RenderPath.ClockSource), 0x2A);
  EXPECT_EQ(DescriptorClockId(t.CapturePath.ClockSource), 0x29);
  // The streaming terminal names a selector, the speaker a source.
  d[Find(d, 0x24, 0x02) + 7] = 0x28;
  ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk);
  EXPECT_EQ(ClockEntityKind(t.RenderPath.ClockEntity), ClockKindSelector);
  EXPECT_EQ(t.RenderPath.ClockSource, nullptr) << "known once the selector is read";
}

// A render-and-capture unit with clock 0x29, input terminal 1 (USB
// streaming), and the terminals and units `units` adds.
std::vector<uint8_t> WithUnits(const std::function<void(ConfigBuilder&)>& units) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).input_terminal(1, 0x0101, 0x29, 2);
  units(b);
  b.ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  return b.finish();
}

// Consoles put feature units, selectors and mixers between the terminals
// (direct monitoring mixes the inputs into the speakers), and capture from
// line, digital and S/PDIF inputs as much as from microphones: both paths
// are followed through any chain of units.
TEST(RealWorld, PathsAreFollowedThroughUnitsFromAnyInput) {
  struct Case {
    const char* what;
    std::function<void(ConfigBuilder&)> units;
    uint8_t feature_unit;   // the render path's first, 0 for none
    uint8_t capture_input;  // the input terminal capture starts at
  };
  const Case cases[] = {
      {"direct monitoring, render mixed into capture",
       [](ConfigBuilder& b) {
         b.feature_unit(0x0A, 1, 2).input_terminal(4, 0x0201, 0x29, 2).feature_unit(0x0B, 4, 2);
         shapes::MixerUnit(b, 0x14, {0x0A, 0x0B});
         shapes::MixerUnit(b, 0x1C, {1, 0x0B});
         b.output_terminal(3, 0x0301, 0x14, 0x29).output_terminal(5, 0x0101, 0x1C, 0x29);
       },
       0x0A, 4},
      {"two feature units and a selector unit, line input",
       [](ConfigBuilder& b) {
         b.feature_unit(0x0A, 1, 2).feature_unit(0x0B, 0x0A, 2);
         shapes::SelectorUnit(b, 0x15, {0x0B});
         b.output_terminal(3, 0x0402, 0x15, 0x29);  // headset
         b.input_terminal(4, 0x0603, 0x29, 2).output_terminal(5, 0x0101, 4, 0x29);
       },
       0x0A, 4},
      {"rate converter, effect, processing and extension units; S/PDIF or microphone",
       [](ConfigBuilder& b) {
         shapes::RateConverter(b, 0x16, 1, 0x29, 0x29);
         shapes::EffectUnit(b, 0x17, 0x16);
         shapes::ProcessingUnit(b, 0x08, 0x18, {0x17});
         shapes::ProcessingUnit(b, 0x09, 0x19, {0x18});
         b.output_terminal(3, 0x0301, 0x19, 0x29);
         b.input_terminal(6, 0x0605, 0x29, 2).input_terminal(4, 0x0201, 0x29, 2);
         shapes::SelectorUnit(b, 0x1A, {6, 4});
         b.feature_unit(0x1B, 0x1A, 2).output_terminal(5, 0x0101, 0x1B, 0x29);
       },
       0, 6},
  };
  for (const Case& c : cases) {
    auto d = WithUnits(c.units);
    USB_AUDIO_TOPOLOGY t;
    ASSERT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyOk) << c.what;
    EXPECT_TRUE(TopologyHasRender(&t)) << c.what;
    EXPECT_TRUE(TopologyHasCapture(&t)) << c.what;
    EXPECT_EQ(t.RenderPath.OutputTerminal[3], 3) << c.what;
    EXPECT_EQ(t.RenderPath.FeatureUnit != nullptr ? t.RenderPath.FeatureUnit[3] : 0, c.feature_unit)
        << c.what;
    EXPECT_EQ(t.CapturePath.InputTerminal[3], c.capture_input) << c.what;
    EXPECT_EQ(t.CapturePath.OutputTerminal[3], 5) << c.what;
  }
}

// A streaming interface whose path cannot be followed refuses the unit by
// name: a capture interface is never dropped in silence, and render says
// that its terminal reaches no output terminal. Loops of units end the
// search; so does a chain longer than 16 units.
TEST(RealWorld, StreamingInterfacesWithoutAPathAreRefusedByName) {
  auto speaker = [](ConfigBuilder& b) { b.output_terminal(3, 0x0301, 1, 0x29); };
  auto microphone = [](ConfigBuilder& b) { b.input_terminal(4, 0x0201, 0x29, 2); };
  struct Case {
    const char* what;
    std::function<void(ConfigBuilder&)> units;
    TOPOLOGY_RESULT result;
  };
  const Case cases[] = {
      {"capture terminal's source names nothing",
       [&](ConfigBuilder& b) {
         speaker(b);
         microphone(b);
         b.output_terminal(5, 0x0101, 0x40, 0x29);
       },
       TopologyNoCapturePath},
      {"capture through a loop of feature units",
       [&](ConfigBuilder& b) {
         speaker(b);
         microphone(b);
         b.feature_unit(0x0B, 0x0C, 2).feature_unit(0x0C, 0x0B, 2).output_terminal(5, 0x0101, 0x0B, 0x29);
       },
       TopologyNoCapturePath},
      {"capture terminal's clock names nothing",
       [&](ConfigBuilder& b) {
         speaker(b);
         microphone(b);
         b.output_terminal(5, 0x0101, 4, 0x66);
       },
       TopologyCaptureNoClock},
      {"render into a mixer loop the streaming terminal never enters",
       [&](ConfigBuilder& b) {
         b.feature_unit(0x0A, 0x14, 2);
         shapes::MixerUnit(b, 0x14, {0x0A, 0x14});
         b.output_terminal(3, 0x0301, 0x0A, 0x29);
         microphone(b);
         b.output_terminal(5, 0x0101, 4, 0x29);
       },
       TopologyRenderUnreached},
      {"render through a mixer whose length does not hold its inputs",
       [&](ConfigBuilder& b) {
         b.raw({8, 0x24, 0x04, 0x14, 200, 1, 0, 0}).output_terminal(3, 0x0301, 0x14, 0x29);
         microphone(b);
         b.output_terminal(5, 0x0101, 4, 0x29);
       },
       TopologyRenderUnreached},
  };
  for (const Case& c : cases) {
    auto d = WithUnits(c.units);
    USB_AUDIO_TOPOLOGY t;
    EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), c.result) << c.what;
  }
  // Chains of 16 and 17 feature units from the streaming terminal to the speaker.
  for (uint8_t units : {16, 17}) {
    auto d = WithUnits([&](ConfigBuilder& b) {
      for (uint8_t i = 0; i < units; ++i)
        b.feature_unit(uint8_t(0x30 + i), i == 0 ? 1 : uint8_t(0x2F + i), 2);
      b.output_terminal(3, 0x0301, uint8_t(0x2F + units), 0x29);
      microphone(b);
      b.output_terminal(5, 0x0101, 4, 0x29);
    });
    USB_AUDIO_TOPOLOGY t;
    EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), units <= 16 ? TopologyOk : TopologyRenderUnreached)
        << int(units);
  }
  EXPECT_NE(std::string(TopologyResultText(TopologyNoCapturePath)).find("capture"), std::string::npos);
  EXPECT_NE(std::string(TopologyResultText(TopologyRenderUnreached)).find("reaches no output terminal"),
            std::string::npos);
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
