// Descriptor shapes of real USB Audio 2.0 devices and the five models.
#include <gtest/gtest.h>

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

// The output terminals name a clock selector; the clock source sits behind it.
TEST(RealWorld, ClockSelectorInFrontOfTheClockSource) {
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_selector(0x28, {0x29});
  b.input_terminal(1, 0x0101, 0x28, 2).output_terminal(3, 0x0301, 1, 0x28);
  b.input_terminal(4, 0x0201, 0x28, 2).output_terminal(5, 0x0101, 4, 0x28).ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  auto d = b.finish();
  USB_AUDIO_TOPOLOGY t;
  EXPECT_EQ(TopologyDiscover(d.data(), d.size(), &t), TopologyNoClockSource);
  EXPECT_EQ(t.RenderPathState, AudioPathNoClock);
  EXPECT_EQ(t.CapturePathState, AudioPathNoClock);
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
