// quenby's entry, add, start, power, capabilities, surprise removal and
// remove on the kernel stand-in and the simulated bus.
#include <gtest/gtest.h>

#include <tuple>

#include "driver_fixture.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "shapes.h"

namespace verifier = korvel::sim::verifier;
namespace uac2 = korvel::sim::uac2;
using shapes::ConfigBuilder;

namespace {

// Flags the streaming thread also reads and writes atomically.
ULONG Flag(const ULONG& flag) {
  return __atomic_load_n(&flag, __ATOMIC_SEQ_CST);
}

uint64_t Outstanding(ULONG tag) {
  return verifier::pool_usage(tag).outstanding;
}

TEST(QuenbyStart, RenderAndCaptureDevicePublishesTheFourPinFilter) {
  QuenbyHarness h(RawDevice(shapes::Basic()));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  WDF_DEVICE_CONTEXT* ctx = h.context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->PowerState, QUENBY_POWER_D0);
  EXPECT_EQ(ctx->HighSpeed, 1u);
  EXPECT_EQ(ctx->Windows8Usb, 1u);
  EXPECT_EQ(ctx->TicksPer10us, 100);
  EXPECT_EQ(Flag(ctx->ThreadRunning), 1u);
  auto factories = h.node().filter_factories();
  ASSERT_EQ(factories.size(), 1u);
  EXPECT_EQ(factories[0].reference_string, u"kstarrow");
  EXPECT_EQ(factories[0].create_item_flags, ULONG(KSCREATE_ITEM_FREEONSTOP));
  const KSFILTER_DESCRIPTOR* f = factories[0].descriptor;
  EXPECT_EQ(f->PinDescriptorsCount, 4u);
  EXPECT_EQ(f->CategoriesCount, 3u);
  EXPECT_EQ(f->NodeDescriptorsCount, 2u);
  EXPECT_EQ(f->ConnectionsCount, 4u);
  EXPECT_EQ(f->Flags, ULONG(KSFILTER_FLAG_CRITICAL_PROCESSING));
  EXPECT_EQ(f->PinDescriptors[0].Flags, 0x21000Cu);
  EXPECT_EQ(f->PinDescriptors[3].Flags, 0x1000Cu);
  // A range for each setting and rate it carries, each followed by its
  // attribute list: the 4-channel setting's 42-byte packets carry no rate.
  const KSPIN_DESCRIPTOR& pin0 = f->PinDescriptors[0].PinDescriptor;
  ASSERT_EQ(pin0.DataRangesCount, 4u);
  for (ULONG i = 0, rate = 44100; i < 2; ++i, rate = 48000) {
    const auto* r = reinterpret_cast<const KSDATARANGE_AUDIO*>(pin0.DataRanges[2 * i]);
    EXPECT_EQ(std::vector<ULONG>({r->DataRange.FormatSize, r->DataRange.Flags, r->MaximumChannels,
                                  r->MinimumBitsPerSample, r->MaximumBitsPerSample, r->MinimumSampleFrequency,
                                  r->MaximumSampleFrequency}),
              std::vector<ULONG>({88, KSDATARANGE_ATTRIBUTES, 2, 24, 24, rate, rate}));
    EXPECT_EQ(reinterpret_cast<const KSMULTIPLE_ITEM*>(pin0.DataRanges[2 * i + 1])->Count, 1u);
  }
  EXPECT_EQ(f->PinDescriptors[1].PinDescriptor.Communication, KSPIN_COMMUNICATION_BRIDGE);
  EXPECT_EQ(f->PinDescriptors[0].AllocatorFraming->FramingItem[0].Frames, 5u);

  // Default formats: smallest channel count, lowest rate, smallest bits.
  const WAVEFORMATEX& w = ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format;
  EXPECT_EQ(w.nChannels, 2);
  EXPECT_EQ(w.nSamplesPerSec, 44100u);
  EXPECT_EQ(w.wBitsPerSample, 24);
  EXPECT_EQ(w.nBlockAlign, 6);
  EXPECT_EQ(ctx->Dir[QUENBY_DIR_RENDER].DeviceFormat.DataFormat.FormatSize, 104u);
  // 44100 Hz at high speed: 5.5125 samples per microframe in 16.16.
  EXPECT_EQ(ctx->FeedbackValue, 0x58333);
  EXPECT_EQ(ctx->NominalSamples, 5u);
  // Rings of 50 ms at the largest format: 3 x 48000 x 4 / 100 x 5.
  EXPECT_EQ(ctx->Dir[QUENBY_DIR_RENDER].Ring.Size, 28800u);
  EXPECT_EQ(ctx->Streams[QuenbyRender].TransferSize, 42u * 8);
  // Room for a frame of feedback packets (eight of 4 bytes at high speed).
  EXPECT_EQ(ctx->Streams[QuenbyFeedback].TransferSize, 32u);
  EXPECT_EQ(ctx->Streams[QuenbyRender].FreeList.Count, 15u);
  // Both interfaces idle after the power-up.
  EXPECT_EQ(h.device().alternate_setting(1), 0);
  EXPECT_EQ(h.device().alternate_setting(2), 0);
  h.unplug();
}

TEST(QuenbyStart, RenderOnlyDevicePublishesTheTwoPinFilter) {
  QuenbyHarness h(RawDevice(shapes::Basic(false)));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  const KSFILTER_DESCRIPTOR* f = h.node().filter_factories().at(0).descriptor;
  EXPECT_EQ(f->PinDescriptorsCount, 2u);
  EXPECT_EQ(f->CategoriesCount, 2u);
  EXPECT_EQ(f->NodeDescriptorsCount, 1u);
  // A render-only device keeps the default format's alternate setting.
  EXPECT_EQ(h.device().alternate_setting(1), 1);
  h.unplug();
}

// A unit that only captures (a microphone): the filter of the capture pins
// alone, bridge then streaming pin, of the capture category only.
TEST(QuenbyStart, CaptureOnlyDevicePublishesTheCapturePinFilter) {
  ConfigBuilder b;
  b.configuration(2).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9);
  b.input_terminal(4, 0x0201, 9, 2).output_terminal(5, 0x0101, 4, 9).ac_end();
  shapes::Capture(b, 1, 1);
  QuenbyHarness h(RawDevice(b.finish(), {48000}));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  const KSFILTER_DESCRIPTOR* f = h.node().filter_factories().at(0).descriptor;
  ASSERT_EQ(f->PinDescriptorsCount, 2u);
  EXPECT_EQ(f->PinDescriptors[0].PinDescriptor.Communication, KSPIN_COMMUNICATION_BRIDGE);
  EXPECT_EQ(f->PinDescriptors[1].Dispatch, &g_CapturePinDispatch);
  EXPECT_TRUE(f->CategoriesCount == 2 && IsEqualGUID(f->Categories[1], KSCATEGORY_CAPTURE));
  EXPECT_EQ(h.context()->Dir[QUENBY_DIR_RENDER].Ring.Lock, nullptr) << "no render ring";
  h.unplug();
}

TEST(QuenbyStart, RefusedDevices) {
  struct Case {
    const char* what;
    std::vector<uint8_t> descriptor;
    std::vector<uint32_t> rates;
    ULONG step;
    TOPOLOGY_RESULT topology = TopologyOk;  // the topology's reason
  };
  std::vector<Case> cases;
  {
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    shapes::Render(b, 1, 2, false);
    cases.push_back(
        {"render without feedback endpoint", b.finish(), {48000}, QuenbyStartTopology, TopologyNoFeedback});
  }
  // Endpoints the streams cannot use are refused at start with their
  // reason, not accepted and then stalled or run open loop.
  {
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    b.interface(1, 0, 0, 1, 2, 0x20);
    b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
    b.endpoint(0x01, 0x02, 42, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
    cases.push_back({"bulk data endpoint", b.finish(), {48000}, QuenbyStartTopology, TopologyNoDataEndpoint});
  }
  for (auto [what, feedback, bytes, result] :
       std::vector<std::tuple<const char*, uint8_t, uint16_t, TOPOLOGY_RESULT>>{
           {"OUT feedback endpoint", 0x02, 4, TopologyFeedbackDirection},
           {"2-byte feedback endpoint", 0x81, 2, TopologyFeedbackTooShort}}) {
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    b.interface(1, 0, 0, 1, 2, 0x20);
    b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
    b.endpoint(0x01, 0x05, 42, 1).cs_endpoint().endpoint(feedback, 0x11, bytes, 4);
    cases.push_back({what, b.finish(), {48000}, QuenbyStartTopology, result});
  }
  for (bool oneSetting : {false, true}) {
    // An IN data endpoint on a render interface: in a setting of its own,
    // or where the feedback endpoint would be.
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    b.interface(1, 0, 0, 1, 2, 0x20);
    if (oneSetting) {
      b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
      b.endpoint(0x01, 0x05, 42, 1).cs_endpoint().endpoint(0x81, 0x05, 42, 1);
    } else {
      shapes::Setting(b, 1, 1, 2, 3, 24, 0x01, 0x81);
      shapes::Setting(b, 1, 2, 2, 3, 24, 0x82);
    }
    const TOPOLOGY_RESULT result = TopologyDataDirection;
    cases.push_back({"data endpoints of both directions", b.finish(), {48000}, QuenbyStartTopology, result});
  }
  {
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    b.interface(1, 0, 0, 1, 2, 0x20);
    shapes::Setting(b, 1, 1, 2, 1, 8, 0x01, 0x81);
    shapes::Setting(b, 1, 2, 2, 5, 24, 0x01, 0x81);
    cases.push_back(
        {"8-bit PCM, 5-byte subslots", b.finish(), {48000}, QuenbyStartTopology, TopologyNoUsableSetting});
  }
  {
    // Alternate setting 0 is where streams stop: never a streaming one.
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    shapes::Setting(b, 1, 0, 2, 3, 24, 0x01, 0x81);
    cases.push_back(
        {"data on alternate setting 0", b.finish(), {48000}, QuenbyStartTopology, TopologyNoUsableSetting});
  }
  {
    ConfigBuilder b;
    b.configuration(2);
    shapes::Control(b, false);
    shapes::Render(b, 1, 8);
    cases.push_back(
        {"nine alternate settings", b.finish(), {48000}, QuenbyStartTopology, TopologyTooManySettings});
  }
  {
    // A capture interface whose terminal no input terminal reaches: refused,
    // never served as render alone.
    ConfigBuilder b;
    b.configuration(3).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9);
    b.input_terminal(1, 0x0101, 9, 2).output_terminal(3, 0x0301, 1, 9);
    b.input_terminal(4, 0x0603, 9, 2).feature_unit(6, 7, 2).output_terminal(5, 0x0101, 6, 9).ac_end();
    shapes::Render(b, 1, 1);
    shapes::Capture(b, 2, 1);
    cases.push_back({"capture path broken", b.finish(), {48000}, QuenbyStartTopology, TopologyNoCapturePath});
  }
  {
    ConfigBuilder b;
    b.configuration(2).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9);
    b.input_terminal(1, 0x0101, 9, 2).feature_unit(6, 1, 2).output_terminal(3, 0x0301, 7, 9).ac_end();
    shapes::Render(b, 1, 1);
    cases.push_back(
        {"render path broken", b.finish(), {48000}, QuenbyStartTopology, TopologyRenderUnreached});
  }
  {
    // A clock source without a sampling-frequency control: nothing to set,
    // and its GET CUR stalls, so the rate it runs at is unknown.
    ConfigBuilder b;
    b.configuration(2);
    b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29, 0x01, 0x00);
    b.input_terminal(1, 0x0101, 0x29, 2).output_terminal(3, 0x0301, 1, 0x29).ac_end();
    shapes::Render(b, 1, 1);
    cases.push_back({"clock without a frequency control", b.finish(), {48000}, QuenbyStartClocks});
  }
  {
    // Render paced by a capture endpoint that runs from another clock.
    ConfigBuilder b;
    b.configuration(3).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(9).clock_source(10);
    b.input_terminal(1, 0x0101, 9, 2).output_terminal(3, 0x0301, 1, 9);
    b.input_terminal(4, 0x0201, 10, 2).output_terminal(5, 0x0101, 4, 10).ac_end();
    shapes::Render(b, 1, 1, false);
    b.interface(2, 0, 0, 1, 2, 0x20);
    b.interface(2, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
    b.endpoint(0x82, 0x25, 42, 1).cs_endpoint();
    cases.push_back({"implicit feedback from another clock",
                     b.finish(),
                     {48000},
                     QuenbyStartTopology,
                     TopologyImplicitClock});
  }
  // A data endpoint polled every 16 microframes: not served at high speed.
  cases.push_back({"data endpoint bInterval 5",
                   shapes::RenderPolled(5),
                   {48000},
                   QuenbyStartTopology,
                   TopologyPeriodUnsupported});
  std::vector<uint32_t> many;
  for (uint32_t i = 0; i < 171; ++i) many.push_back(8000 + 100 * i);
  cases.push_back({"171 subranges", shapes::Basic(), many, QuenbyStartRates});
  // Rates below the lowest the streams run at only: no format to offer.
  cases.push_back({"rates below 8000 Hz only", shapes::Basic(), {50, 1000, 5512, 7999}, QuenbyStartLimits});
  {
    // A 2:1 clock multiplier between the terminals and the source: the
    // rates set on the source would not be the terminals' rates.
    ConfigBuilder b;
    b.configuration(2);
    b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_multiplier(0x30, 0x29);
    b.input_terminal(1, 0x0101, 0x30, 2).output_terminal(3, 0x0301, 1, 0x30).ac_end();
    shapes::Render(b, 1, 1);
    auto function = uac2::make_raw_function(b.finish(), korvel::sim::ClockRates({48000}));
    function->set_multiplier(0x30, 2, 1);
    QuenbyHarness h(function);
    EXPECT_EQ(h.bring_up(), STATUS_UNSUCCESSFUL);
    ASSERT_NE(h.context(), nullptr);
    EXPECT_EQ(h.context()->StartFailure, ULONG(QuenbyStartClocks));
    EXPECT_EQ(h.context()->ClockResult, ULONG(ClockRatioNotOne));
    h.unplug();
  }
  for (auto& c : cases) {
    QuenbyHarness h(RawDevice(c.descriptor, c.rates));
    EXPECT_EQ(h.bring_up(), STATUS_UNSUCCESSFUL) << c.what;
    ASSERT_NE(h.context(), nullptr);
    EXPECT_EQ(h.context()->StartFailure, c.step) << c.what;
    EXPECT_EQ(h.context()->TopologyResult, ULONG(c.topology)) << c.what;
    EXPECT_TRUE(h.node().filter_factories().empty());
    h.unplug();
    EXPECT_EQ(Outstanding(QUENBY_MEMORY_TAG), 0u) << c.what;
  }
}

// On a composite device quenby is the driver of the audio function alone,
// as Windows' generic parent driver presents it: the configuration
// descriptor holds that function's interfaces (a MIDI interface among
// them is passed over), numbered as the device numbers them, and the
// clock requests name the AudioControl interface by that number (the unit
// refuses any other). The corpus's real shapes stream through it too.
TEST(QuenbyComposite, TheDriverSeesItsFunctionOnly) {
  struct Case {
    const char* what;
    std::vector<uint8_t> descriptor;
    uint8_t interfaces;  // of the function
    uint8_t control;     // the AudioControl interface's number
  };
  std::vector<Case> cases;
  {
    // Two HID interfaces first, then the audio function's association
    // (AudioControl 2, render 3, MIDI streaming 4).
    ConfigBuilder b;
    b.configuration(5);
    for (uint8_t i = 0; i < 2; ++i)
      b.interface(i, 0, 1, 0x03, 0, 0)
          .raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x20, 0})
          .endpoint(uint8_t(0x85 + i), 0x03, 8, 4);
    b.association(2, 3).interface(2, 0, 0, 1, 1, 0x20).ac_header().clock_source(shapes::kClock);
    b.input_terminal(1, 0x0101, shapes::kClock, 2).output_terminal(3, 0x0301, 1, shapes::kClock).ac_end();
    shapes::Render(b, 3, 1);
    b.interface(4, 0, 2, 1, 3, 0).raw({7, 0x24, 0x01, 0x00, 0x01, 7, 0});
    b.endpoint(0x03, 0x02, 512, 0).endpoint(0x83, 0x02, 512, 0);
    cases.push_back({"HID first, audio function at interface 2", b.finish(), 3, 2});
  }
  for (auto& c : cases) {
    QuenbyHarness h(RawDevice(c.descriptor, {48000}));
    ASSERT_EQ(h.bring_up(), STATUS_SUCCESS) << c.what;
    const USB_AUDIO_TOPOLOGY& t = h.context()->Topology;
    EXPECT_EQ(t.Configuration[4], c.interfaces) << c.what << ": bNumInterfaces of the function";
    EXPECT_EQ(DescriptorInterfaceNumber(t.ControlInterface), c.control) << c.what;
    EXPECT_EQ(h.context()->Dir[QUENBY_DIR_RENDER].Limits.MaxRate, 48000u) << c.what << ": the clock answered";
    h.unplug();
  }
}

// Render runs from the clock the USB-streaming input terminal names: the
// rate goes there, whatever clock the speaker terminal names.
TEST(QuenbyStart, TheRenderRateIsSetOnTheClockOfTheStreamingTerminal) {
  ConfigBuilder b;
  b.configuration(2).interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_source(0x2A);
  b.input_terminal(1, 0x0101, 0x2A, 2).output_terminal(3, 0x0301, 1, 0x29).ac_end();
  shapes::Render(b, 1, 1);
  auto d = b.finish();
  // Both clocks run at 48 kHz until the driver sets its default rate.
  auto function = std::make_shared<uac2::Uac2Function>(d, d, korvel::sim::ClockRates({44100, 48000}), 48000);
  QuenbyHarness h(function);
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  EXPECT_EQ(h.context()->Dir[QUENBY_DIR_RENDER].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec, 44100u);
  int source = -1;
  EXPECT_EQ(function->interface_rate(1, &source), 44100u);
  EXPECT_EQ(source, 0x2A);
  h.unplug();
}

TEST(QuenbyStart, AClockWhoseRateIsReadOnlyIsReadAndFollowedNotSet) {
  // Both directions from a selector standing on an external clock whose
  // sampling frequency is read-only (a console on word clock; the unit
  // stalls SET CUR of it): the unit starts at the rate that clock runs at,
  // the one rate offered, and a stream starts only while it still runs at it.
  ConfigBuilder b;
  b.configuration(3);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29).clock_source(0x2A, 0x00, 0x05);
  b.clock_selector(0x28, {0x2A, 0x29});
  b.input_terminal(1, 0x0101, 0x28, 2).output_terminal(3, 0x0301, 1, 0x28);
  b.input_terminal(4, 0x0201, 0x28, 2).output_terminal(5, 0x0101, 4, 0x28).ac_end();
  shapes::Render(b, 1, 1);
  shapes::Capture(b, 2, 1);
  auto function = uac2::make_raw_function(b.finish(), korvel::sim::ClockRates({44100, 48000}));
  ASSERT_TRUE(function->set_clock_rate(0x2A, 48000));
  QuenbyHarness h(function);
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  WDF_DEVICE_CONTEXT* ctx = h.context();
  for (ULONG d : {ULONG(QUENBY_DIR_CAPTURE), ULONG(QUENBY_DIR_RENDER)}) {
    EXPECT_EQ(ctx->Dir[d].FixedRate, 48000u) << d;
    EXPECT_EQ(ctx->Dir[d].Limits.MinRate, 48000u) << d;
    EXPECT_EQ(ctx->Dir[d].Limits.MaxRate, 48000u) << d;
    EXPECT_EQ(ctx->Dir[d].DeviceFormat.WaveFormatExt.Format.nSamplesPerSec, 48000u) << d;
  }
  // The word clock moves to 44.1 kHz: render at 48 kHz does not start (the
  // unit would play it at 44.1); back at 48 kHz it does.
  function->set_clock_rate(0x2A, 44100);
  QuenbyLockStreamControl(ctx);
  EXPECT_EQ(QuenbyStartRender(ctx, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ctx->Dir[QUENBY_DIR_RENDER].FixedRateFound, 44100u);
  function->set_clock_rate(0x2A, 48000);
  EXPECT_EQ(QuenbyStartRender(ctx, nullptr), STATUS_SUCCESS);
  QuenbyStopRender(ctx, TRUE);
  QuenbyUnlockStreamControl(ctx);
  // Moved while the device slept or was stopped, the clock fails neither
  // the power-up nor a start: the device is there, its streams start once
  // the clock runs at their rate again.
  function->set_clock_rate(0x2A, 44100);
  EXPECT_EQ(h.node().set_power(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(h.node().set_power(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(ctx->PowerState, ULONG(QUENBY_POWER_D0));
  EXPECT_EQ(h.node().stop(), STATUS_SUCCESS);
  EXPECT_EQ(h.node().start(), STATUS_SUCCESS) << "a start after a stop with the word clock elsewhere";
  h.unplug();
}

TEST(QuenbyStart, OneHundredSeventySubrangesFitTheirHalfBuffer) {
  std::vector<uint32_t> rates;
  for (uint32_t i = 0; i < 170; ++i) rates.push_back(8000 + 100 * i);
  QuenbyHarness h(RawDevice(shapes::Basic(), rates));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  EXPECT_EQ(h.context()->Dir[QUENBY_DIR_RENDER].RateListBytes, 2042u);
  EXPECT_EQ(h.context()->Dir[QUENBY_DIR_RENDER].Limits.MaxRate, 8000u + 100 * 169);
  h.unplug();
}

TEST(QuenbyStart, AlternateSettingSelectionRetries) {
  QuenbyHarness h(RawDevice(shapes::Basic(false)));
  h.device().stall_next_set_interface(5);
  uint64_t t0 = korvel::sim::Clock::instance().now_ns();
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  EXPECT_GE(korvel::sim::Clock::instance().now_ns() - t0, 200000u) << "100 us between attempts";
  h.unplug();
  QuenbyHarness refused(RawDevice(shapes::Basic(false)));
  refused.device().stall_next_set_interface(100);
  EXPECT_EQ(refused.bring_up(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused.context()->StartFailure, ULONG(QuenbyStartPowerUp));
  refused.unplug();
}

TEST(QuenbyAdd, WindowsVersions) {
  korvel::sim::kernel::set_os_version(6, 1, 7601);
  {
    QuenbyHarness h(RawDevice(shapes::Basic()));
    ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
    EXPECT_EQ(h.context()->Windows8Usb, 0u);
    h.unplug();
  }
  korvel::sim::kernel::set_os_version(6, 0, 6002);
  {
    QuenbyHarness h(RawDevice(shapes::Basic()));
    ASSERT_EQ(h.load(), STATUS_SUCCESS);
    EXPECT_EQ(h.add(), STATUS_UNSUCCESSFUL);
  }
  korvel::sim::kernel::set_os_version(10, 0, 19045);
  EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), 0u);
}

// A unit that can wake the host: the bus reports wake from D2 and S3; the
// driver, which arms no wake-up, only restricts that (D3 in every sleep
// state, wake only from D0 and S0), never widens it.
TEST(QuenbyPower, CapabilitiesOfAWakingUnitAreOnlyRestricted) {
  std::vector<uint8_t> descriptor = shapes::Basic();
  descriptor[7] |= 0x20;  // bmAttributes: remote wakeup
  QuenbyHarness h(RawDevice(descriptor));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  ASSERT_EQ(h.node().query_capabilities(&caps), STATUS_SUCCESS);
  const DEVICE_POWER_STATE d3 = PowerDeviceD3;
  EXPECT_EQ(std::vector<DEVICE_POWER_STATE>(caps.DeviceState, caps.DeviceState + PowerSystemMaximum),
            std::vector<DEVICE_POWER_STATE>({PowerDeviceUnspecified, PowerDeviceD0, d3, d3, d3, d3, d3}));
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD0);
  EXPECT_EQ(caps.SystemWake, PowerSystemWorking);
  h.unplug();
}

TEST(QuenbyPower, CapabilitiesAndCyclesAndSurpriseRemoval) {
  QuenbyHarness h(RawDevice(shapes::Basic()));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  caps.Size = 60;
  EXPECT_EQ(h.node().query_capabilities(&caps), STATUS_UNSUCCESSFUL);
  caps.Size = sizeof(caps);
  caps.Version = 1;
  ASSERT_EQ(h.node().query_capabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);  // the bus reported none: none is added
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
  EXPECT_EQ(caps.D3Latency, 10000u);

  WDF_DEVICE_CONTEXT* ctx = h.context();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(h.node().query_power(PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(h.node().set_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(ctx->PowerState, 4u);
    EXPECT_EQ(Flag(ctx->ThreadRunning), 0u);
    EXPECT_EQ(ctx->ThreadHandle, nullptr);
    ASSERT_EQ(h.node().set_power(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(ctx->PowerState, 1u);
    EXPECT_EQ(Flag(ctx->ThreadRunning), 1u);
  }
  korvel::sim::Clock::instance().sleep_for(50000000);  // the thread idles through 15 ms waits

  uint64_t selections = h.device().set_interface_count();
  h.device().unplug();
  ASSERT_EQ(h.node().surprise_remove(), STATUS_SUCCESS);
  EXPECT_EQ(Flag(ctx->SurpriseRemoved), 1u);
  EXPECT_EQ(QuenbySelectAltSetting(ctx, ctx->Dir[QUENBY_DIR_RENDER].Interface, 1), STATUS_UNSUCCESSFUL);
  h.node().set_power(PowerDeviceD3);
  h.node().set_power(PowerDeviceD0);  // not connected: stays down
  EXPECT_EQ(ctx->PowerState, 4u);
  EXPECT_EQ(h.device().set_interface_count(), selections);
  h.unplug();
  EXPECT_EQ(Outstanding(QUENBY_MEMORY_TAG), 0u);
  EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), 0u);
  EXPECT_EQ(Outstanding(verifier::tag("Mdl ")), 0u);
}

TEST(QuenbyRemove, FreesEveryAllocationOfTheDevice) {
  uint64_t before_mdl = Outstanding(verifier::tag("Mdl "));
  QuenbyHarness h(RawDevice(shapes::Basic()));
  ASSERT_EQ(h.load(), STATUS_SUCCESS);
  uint64_t driver_only = Outstanding(QUENBY_DRIVER_TAG);
  ASSERT_EQ(h.add(), STATUS_SUCCESS);
  ASSERT_EQ(h.start(), STATUS_SUCCESS);
  EXPECT_EQ(Outstanding(verifier::tag("Mdl ")) - before_mdl, 45u);
  EXPECT_GT(Outstanding(QUENBY_MEMORY_TAG), 45u);
  ASSERT_EQ(h.node().remove(), STATUS_SUCCESS);
  EXPECT_EQ(Outstanding(QUENBY_MEMORY_TAG), 0u);
  EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), driver_only);
  EXPECT_EQ(Outstanding(verifier::tag("Mdl ")), before_mdl);
  h.unplug();
  EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), 0u);
}

TEST(QuenbyModels, EveryModelStartsAtBothSpeeds) {
  for (auto m : {korvel::sim::Model::Tarrow, korvel::sim::Model::Quenby, korvel::sim::Model::Pellin,
                 korvel::sim::Model::Dorrit, korvel::sim::Model::FarLink}) {
    for (bool high : {true, false}) {
      korvel::sim::Unit unit(m);
      QuenbyHarness h(uac2::make_unit_function(unit), high);
      ASSERT_EQ(h.bring_up(), STATUS_SUCCESS) << int(m) << " high " << high;
      EXPECT_EQ(h.context()->HighSpeed, high ? 1u : 0u);
      EXPECT_EQ(h.context()->Streams[QuenbyFeedback].TransferSize, high ? 32u : 4u);
      h.unplug();
    }
  }
}

}  // namespace

TEST(QuenbyStart, StopAndStartCyclesKeepTheAllocationsFlat) {
  // A PnP stop and start (resource rebalance) finds the device brought up:
  // no second set of transfers, MDLs or memory objects.
  const uint64_t before_mdl = Outstanding(verifier::tag("Mdl "));
  QuenbyHarness h(RawDevice(shapes::Basic()));
  ASSERT_EQ(h.bring_up(), STATUS_SUCCESS);
  const uint64_t memory = Outstanding(QUENBY_MEMORY_TAG);
  const uint64_t driver = Outstanding(QUENBY_DRIVER_TAG);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(h.node().stop(), STATUS_SUCCESS);
    ASSERT_EQ(h.start(), STATUS_SUCCESS);
    EXPECT_EQ(h.node().filter_factories().size(), 1u);
    EXPECT_EQ(Outstanding(verifier::tag("Mdl ")) - before_mdl, 45u) << "cycle " << i;
    EXPECT_EQ(Outstanding(QUENBY_MEMORY_TAG), memory) << "cycle " << i;
    EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), driver) << "cycle " << i;
  }
  h.unplug();
  EXPECT_EQ(Outstanding(verifier::tag("Mdl ")), before_mdl);
}

TEST(QuenbyStart, LowResourcesAtEverySiteFailCleanly) {
  // Driver Verifier's low-resources simulation, one site at a time: each
  // allocation, framework object and thread creation of start fails once.
  // Start either fails or copes; whatever it fails with leaves no MDL behind
  // at once and nothing at all once the device is removed and the driver
  // unloaded (the stand-in checks the pool at unload).
  const uint64_t before_mdl = Outstanding(verifier::tag("Mdl "));
  const uint64_t failures = verifier::failure_count();
  int failed_starts = 0;
  for (uint64_t site = 1;; ++site) {
    QuenbyHarness h(RawDevice(shapes::Basic()));
    ASSERT_EQ(h.load(), STATUS_SUCCESS);
    ASSERT_EQ(h.add(), STATUS_SUCCESS);
    verifier::inject_failure_at(site);
    const NTSTATUS status = h.start();
    const bool hit = verifier::injection_sites_passed() >= site;
    verifier::inject_failure_at(0);
    if (!NT_SUCCESS(status)) {
      ++failed_starts;
      EXPECT_EQ(Outstanding(verifier::tag("Mdl ")), before_mdl) << "site " << site;
      EXPECT_EQ(Flag(h.context()->ThreadRunning), 0u) << "site " << site;
    }
    h.unplug();
    EXPECT_EQ(Outstanding(QUENBY_MEMORY_TAG), 0u) << "site " << site;
    EXPECT_EQ(Outstanding(QUENBY_DRIVER_TAG), 0u) << "site " << site;
    EXPECT_EQ(Outstanding(verifier::tag("Mdl ")), before_mdl) << "site " << site;
    if (!hit) break;  // start passed every site: all were tried
    ASSERT_LT(site, 2000u);
  }
  EXPECT_GT(failed_starts, 100);
  EXPECT_EQ(verifier::failure_count(), failures);
}
