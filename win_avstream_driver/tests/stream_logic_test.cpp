// The streaming engine's arithmetic and the format negotiation, without the
// kernel stand-in: ring wrap, render packet sizes from feedback (with the
// limits of the transfer buffer and the endpoint), feedback acceptance,
// nominal feedback, position conversion, 24-bit mixing, data intersection
// and set-format.
#include "stream_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "format.h"
#include "formats.h"
#include "shapes.h"

namespace uac2 = korvel::sim::uac2;
namespace usb = korvel::sim::usb;

// ---------------------------------------------------------------------------
// Rings
// ---------------------------------------------------------------------------
TEST(RingCopy, WrapsAtTheEndAndEndsAtZeroExactlyAtTheEnd) {
  std::vector<uint8_t> ring(10, 0);
  uint32_t write = 7;
  const uint8_t in[5] = {1, 2, 3, 4, 5};
  RingCopyIn(ring.data(), 10, &write, in, 5);
  EXPECT_EQ(write, 2u);
  EXPECT_EQ(ring[7], 1);
  EXPECT_EQ(ring[9], 3);
  EXPECT_EQ(ring[0], 4);
  EXPECT_EQ(ring[1], 5);
  uint32_t read = 7;
  uint8_t out[5] = {};
  RingCopyOut(ring.data(), 10, &read, out, 5);
  EXPECT_EQ(std::memcmp(in, out, 5), 0);
  EXPECT_EQ(read, 2u);
  uint32_t at = 6;
  RingCopyIn(ring.data(), 10, &at, in, 4);
  EXPECT_EQ(at, 0u);  // ended exactly at the end
}

// ---------------------------------------------------------------------------
// Render packet sizes
// ---------------------------------------------------------------------------
TEST(RenderPacketSizes, Feedback6Point0GivesEightPacketsOfSixFrames) {
  uint32_t sizes[8];
  uint32_t a = 0;
  const uint32_t total = RenderPacketSizes(0x60000, 0, 1, 72, 8, 1, 1024, 8192, sizes, &a);
  for (uint32_t s : sizes) EXPECT_EQ(s, 6u * 72);
  EXPECT_EQ(total, 8u * 6 * 72);
  EXPECT_EQ(a, 0u);
}

TEST(RenderPacketSizes, Feedback6Point5AlternatesSixAndSeven) {
  uint32_t sizes[8];
  uint32_t a = 0;
  RenderPacketSizes(0x68000, 0, 1, 6, 8, 1, 1024, 8192, sizes, &a);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sizes[i], (i % 2 == 0 ? 6u : 7u) * 6) << i;
  EXPECT_EQ(a, 0u);  // eight halves make four whole frames
}

TEST(RenderPacketSizes, FullSpeedUses10Point14) {
  uint32_t size = 0;
  uint32_t a = 0;
  // 44.1 frames per ms: 44 nine times in ten, then 45.
  uint32_t total = 0;
  const uint32_t f = (44u << 14) | (16384u / 10);
  for (int i = 0; i < 10; ++i) total += RenderPacketSizes(f, a, 0, 4, 1, 1, 1024, 1024, &size, &a);
  EXPECT_EQ(total, 440u * 4 + (total - 440u * 4));
  EXPECT_GE(total, 440u * 4);
  EXPECT_LE(total, 441u * 4);
}

TEST(RenderPacketSizes, NeverExceedTheEndpointNorTheTransferBuffer) {
  // A feedback of 7.99 passes the nominal +-1 check at nominal 7, but 8 frames
  // of 72 bytes do not fit a 504-byte endpoint (7 frames): each packet is cut
  // down to the whole frames that fit.
  uint32_t sizes[8];
  uint32_t a = 0;
  uint32_t total = RenderPacketSizes((7u << 16) | 0xFFFF, 0, 1, 72, 8, 1, 504, 8 * 504, sizes, &a);
  for (uint32_t s : sizes) {
    EXPECT_LE(s, 504u);
    EXPECT_EQ(s % 72, 0u);
  }
  EXPECT_LE(total, 8u * 504);
  // A transfer buffer smaller than eight full packets is never overrun.
  total = RenderPacketSizes(0x60000, 0, 1, 72, 8, 1, 1024, 1000, sizes, &a);
  EXPECT_LE(total, 1000u);
  for (uint32_t s : sizes) EXPECT_EQ(s % 72, 0u);
}

// ---------------------------------------------------------------------------
// Feedback
// ---------------------------------------------------------------------------
TEST(Feedback, ValuesOutsideNominalPlusMinusOneAreIgnored) {
  EXPECT_EQ(FeedbackFromPacket(0x90000, 1, 6), 0u);  // 9.0 at nominal 6
  EXPECT_EQ(FeedbackFromPacket(0x40000, 1, 6), 0u);  // 4.0
  EXPECT_EQ(FeedbackFromPacket(0x50000, 1, 6), 0x50000u);
  EXPECT_EQ(FeedbackFromPacket(0x70000, 1, 6), 0x70000u);
  EXPECT_EQ(FeedbackFromPacket(0x60189, 1, 6), 0x60189u);
  // Full speed: 10.14 in 24 bits; the byte above is not part of the value.
  EXPECT_EQ(FeedbackFromPacket(0xAB000000u | (48u << 14) | 0x31, 0, 48), (48u << 14) | 0x31);
  EXPECT_EQ(FeedbackFromPacket(50u << 14, 0, 48), 0u);
}

TEST(Feedback, NominalValues) {
  uint32_t nominal = 0;
  EXPECT_EQ(NominalFeedback(48000, 1, &nominal), 0x60000u);
  EXPECT_EQ(nominal, 6u);
  EXPECT_EQ(NominalFeedback(44100, 1, &nominal), (44100u << 16) / 8000);
  EXPECT_EQ(nominal, 5u);
  EXPECT_EQ(NominalFeedback(48000, 0, &nominal), 48u << 14);
  EXPECT_EQ(nominal, 48u);
  EXPECT_EQ(NominalFeedback(192000, 1, &nominal), 24u << 16);
}

// ---------------------------------------------------------------------------
// Positions and mixing
// ---------------------------------------------------------------------------
TEST(ConvertBytes, CarriesTheRemainderBetweenCalls) {
  PCM_SHAPE device{18, 24, 48000};
  PCM_SHAPE pin{2, 24, 48000};
  uint64_t remainder = 0;
  uint64_t sum = 0;
  for (int i = 0; i < 9; ++i) sum += ConvertBytes(6, &device, &pin, &remainder);  // 54 device bytes
  EXPECT_EQ(sum, 6u);                                                             // 54 * 2 / 18
  EXPECT_EQ(remainder, 0u);
  PCM_SHAPE a{2, 16, 44100}, b{2, 24, 48000};
  remainder = 0;
  EXPECT_EQ(ConvertBytes(44100 * 4, &a, &b, &remainder), 48000u * 6);
}

TEST(Mixing, ClampsAndOnlyMixes24BitAtTheSameRate) {
  EXPECT_EQ(MixSample24(0x7FFFFF, 1), 0x7FFFFF);
  EXPECT_EQ(MixSample24(-8388608, -1), -8388608);
  EXPECT_EQ(MixSample24(100, -300), -200);
  uint8_t s[3];
  WriteSample24(s, -2);
  EXPECT_EQ(ReadSample24(s), -2);
  WriteSample24(s, 0x7FFFFF);
  EXPECT_EQ(ReadSample24(s), 0x7FFFFF);
  EXPECT_TRUE(MixSupported(24, 48000, 24, 48000));
  EXPECT_FALSE(MixSupported(16, 48000, 24, 48000));
  EXPECT_FALSE(MixSupported(24, 48000, 32, 48000));
  EXPECT_FALSE(MixSupported(32, 48000, 32, 48000));
  EXPECT_FALSE(MixSupported(24, 44100, 24, 48000));
}

TEST(ChannelMasks, ByChannelCount) {
  EXPECT_EQ(RenderChannelMask(1), 0x4u);
  EXPECT_EQ(RenderChannelMask(2), 0x3u);
  EXPECT_EQ(RenderChannelMask(4), 0x33u);
  EXPECT_EQ(RenderChannelMask(6), 0x60Fu);
  EXPECT_EQ(RenderChannelMask(8), 0x63Fu);
  EXPECT_EQ(RenderChannelMask(0), 0u);
  EXPECT_EQ(RenderChannelMask(3), 0x7u);
  EXPECT_EQ(CaptureChannelMask(1), 0x4u);
  EXPECT_EQ(CaptureChannelMask(2), 0x3u);
  EXPECT_EQ(CaptureChannelMask(4), 0u);
}

// ---------------------------------------------------------------------------
// Format negotiation
// ---------------------------------------------------------------------------
namespace {

struct Caps {
  std::vector<uint8_t> config;
  USB_AUDIO_TOPOLOGY topology{};
  DIRECTION_LIMITS limits[2]{};
  std::vector<uint8_t> rates;

  explicit Caps(const uac2::FunctionLayout& layout)
      : Caps(uac2::build_configuration(layout, usb::Speed::High), Subranges(layout.rates)) {}
  // A descriptor whose clock reports `subranges` (dMIN, dMAX, dRES each).
  Caps(std::vector<uint8_t> descriptor, const std::vector<uint32_t>& subranges)
      : config(std::move(descriptor)) {
    EXPECT_EQ(TopologyDiscover(config.data(), config.size(), &topology), TopologyOk);
    rates.push_back(uint8_t(subranges.size() / 3));
    rates.push_back(0);
    for (uint32_t v : subranges) {
      for (int b = 0; b < 4; ++b) rates.push_back(uint8_t(v >> (8 * b)));
    }
    ComputeLimits(topology.CaptureSlots, rates.data(), rates.size(), &limits[0]);
    ComputeLimits(topology.RenderSlots, rates.data(), rates.size(), &limits[1]);
  }
  static std::vector<uint32_t> Subranges(const std::vector<uint32_t>& discrete) {
    std::vector<uint32_t> out;
    for (uint32_t r : discrete) out.insert(out.end(), {r, r, 0});
    return out;
  }
  FORMAT_CAPS get(bool capture, uint32_t locked = 0) const {
    FORMAT_CAPS c{};
    c.Slots = capture ? topology.CaptureSlots : topology.RenderSlots;
    c.Limits = &limits[capture ? 0 : 1];
    c.Rates = rates.data();
    c.RateBytes = rates.size();
    c.HighSpeed = 1;
    c.Capture = capture;
    c.LockedRate = locked;
    return c;
  }
};

using formats::PcmFormat;
using formats::PcmRange;

uac2::FunctionLayout Eighteen() {
  uac2::FunctionLayout l;
  l.render = {{18, 3, 24}};
  l.capture = {{18, 3, 24}, {1, 3, 24}};
  l.rates = {44100, 48000};
  return l;
}

}  // namespace

TEST(Intersection, SizesAndChannelRules) {
  Caps caps(Eighteen());
  FORMAT_CAPS render = caps.get(false);
  KSDATARANGE_AUDIO r = PcmRange(2, 24, 48000);
  ULONG size = 0;
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), 0, nullptr, &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 104u);
  uint8_t small[100];
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), sizeof(small), small, &size),
            STATUS_BUFFER_TOO_SMALL);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
  ASSERT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(out.WaveFormatExt.Format.nChannels, 2);
  EXPECT_EQ(out.WaveFormatExt.dwChannelMask, 0x3u);
  // 10 channels where no alternate setting has 10: refused.
  r = PcmRange(10, 24, 48000);
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_NO_MATCH);
  // A range shorter than a KSDATARANGE, a rate the clock lacks, bits out of
  // range. (A plain KSDATARANGE holds every PCM format: see the grid below.)
  r = PcmRange(2, 24, 48000);
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, 63, sizeof(r), sizeof(out), &out, &size), STATUS_NO_MATCH);
  r = PcmRange(2, 24, 96000);
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_NO_MATCH);
  r = PcmRange(2, 32, 48000);
  EXPECT_EQ(QuenbyIntersectFormat(&render, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_NO_MATCH);
  // A 16-bit stereo offer takes the 82-byte form.
  uac2::FunctionLayout l = Eighteen();
  l.render.push_back({2, 2, 16});
  Caps caps16(l);
  FORMAT_CAPS render16 = caps16.get(false);
  r = PcmRange(2, 16, 48000);
  ASSERT_EQ(QuenbyIntersectFormat(&render16, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 82u);
  EXPECT_EQ(out.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_PCM);
}

TEST(Intersection, MonoCaptureUsesTheExtensibleFormWithCentreMask) {
  Caps caps(Eighteen());
  FORMAT_CAPS capture = caps.get(true);
  KSDATARANGE_AUDIO r = PcmRange(1, 24, 48000);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
  ULONG size = 0;
  ASSERT_EQ(QuenbyIntersectFormat(&capture, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(size, 104u);
  EXPECT_EQ(out.WaveFormatExt.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(out.WaveFormatExt.dwChannelMask, 0x4u);
  // Capture needs exactly the channel count.
  r = PcmRange(2, 24, 48000);
  EXPECT_EQ(QuenbyIntersectFormat(&capture, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_NO_MATCH);
}

TEST(SetFormat, TwoChannelsOnAnEighteenChannelDeviceAreCarriedInEighteen) {
  Caps caps(Eighteen());
  FORMAT_CAPS render = caps.get(false);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = PcmFormat(2, 24, 48000);
  AUDIO_FORMAT connection, pin;
  ASSERT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
  EXPECT_EQ(connection.WaveFormatExt.Format.nChannels, 18);
  EXPECT_EQ(connection.WaveFormatExt.Format.nBlockAlign, 54);
  EXPECT_EQ(pin.WaveFormatExt.Format.nChannels, 2);
  // Refusals: 10 channels, a byte rate that does not add up, a rate the clock lacks.
  f = PcmFormat(10, 24, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(2, 24, 48000);
  f.WaveFormatExt.Format.nAvgBytesPerSec += 1;
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(2, 24, 96000);
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  // Capture: only channel counts a capture setting carries.
  FORMAT_CAPS capture = caps.get(true);
  f = PcmFormat(2, 24, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&capture, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(1, 24, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&capture, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
}

TEST(SetFormat, AConversionWiderThanTheFrameBufferIsRefused) {
  // 24 channels of 32-bit samples only: a stereo pin would be converted
  // into 96-byte frames, which the 72-byte conversion buffer cannot hold.
  uac2::FunctionLayout wide;
  wide.render = {{24, 4, 32}};
  wide.capture = {{2, 4, 32}};
  wide.rates = {48000};
  Caps caps(wide);
  FORMAT_CAPS render = caps.get(false);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = PcmFormat(2, 32, 48000);
  AUDIO_FORMAT connection, pin;
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  // Formats that need no conversion are not limited by the buffer.
  f = PcmFormat(24, 32, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
  EXPECT_EQ(connection.WaveFormatExt.Format.nBlockAlign, 96);
  // A conversion that fits (2 -> 18 channels of 24 bits, 54-byte frames) passes.
  Caps eighteen(Eighteen());
  render = eighteen.get(false);
  f = PcmFormat(2, 24, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
}

TEST(SetFormat, AnEightyTwoByteFormatIsStoredInTheLongLayout) {
  Caps caps(Eighteen());
  FORMAT_CAPS render = caps.get(false);
  KSDATAFORMAT_WAVEFORMATEX f{};
  f.DataFormat.FormatSize = 82;  // the record without its alignment padding
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.WaveFormatEx = {WAVE_FORMAT_PCM, 18, 48000, 48000 * 54, 54, 24, 0};
  AUDIO_FORMAT connection, pin;
  ASSERT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
  EXPECT_EQ(pin.DataFormat.FormatSize, 104u);
  EXPECT_EQ(pin.WaveFormatExt.dwChannelMask, 0u);
}

TEST(SetFormat, InconsistentFieldsAreRefused) {
  // A client could otherwise have the unit receive a fraction of the frames
  // it plays: each field must agree with the others.
  Caps caps(Eighteen());
  FORMAT_CAPS render = caps.get(false);
  AUDIO_FORMAT connection, pin;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = PcmFormat(18, 24, 48000);
  ASSERT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
  f.WaveFormatExt.Format.nBlockAlign = 18 * 4;  // block align of 32-bit containers
  f.WaveFormatExt.Format.nAvgBytesPerSec = 48000 * 18 * 4;
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(18, 24, 48000);
  f.WaveFormatExt.Samples.wValidBitsPerSample = 32;  // more valid bits than the container holds
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(18, 24, 48000);
  f.WaveFormatExt.Samples.wValidBitsPerSample = 20;  // no setting carries 20 valid bits
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(18, 24, 48000);
  f.WaveFormatExt.SubFormat.Data1 = 3;  // IEEE float
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(18, 24, 48000);
  f.WaveFormatExt.Format.cbSize = 0;  // an extensible tag without its extension
  EXPECT_EQ(QuenbyCheckFormat(&render, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
}

TEST(Slots, SubslotRateAndIntervalDecideTheSetting) {
  // 24 valid bits in 4-byte subslots are 32-bit containers; 96 kHz needs the
  // setting whose packets carry 13 frames; the feedback endpoint's interval
  // sets its packets per frame.
  uac2::ConfigBuilder b;
  b.configuration(2);
  b.interface(0, 0, 0, 1, 1, 0x20).ac_header().clock_source(0x29);
  b.input_terminal(1, 0x0101, 0x29, 2).output_terminal(3, 0x0301, 1, 0x29).ac_end();
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(4, 24);
  b.endpoint(0x01, 0x05, 7 * 8, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 1);
  b.interface(1, 4, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(4, 24);
  b.endpoint(0x01, 0x05, 13 * 8, 1).cs_endpoint().endpoint(0x81, 0x11, 4, 3);
  std::vector<uint8_t> config = b.finish();
  USB_AUDIO_TOPOLOGY t{};
  ASSERT_EQ(TopologyDiscover(config.data(), config.size(), &t), TopologyOk);
  EXPECT_EQ(SlotContainerBits(&t.RenderSlots[1]), 32u);
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 32, 24, 48000, 1), 1);
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 32, 24, 96000, 1), 2);   // bAlternateSetting 4, index 2
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 24, 24, 48000, 1), -1);  // no 3-byte subslot
  EXPECT_EQ(SlotFindForShape(t.RenderSlots, 2, 32, 24, 192000, 1), -1);
  EXPECT_EQ(TransferPackets(EndpointPeriod(t.RenderSlots[1].FeedbackEndpoint, 1), 1), 8u);
  EXPECT_EQ(TransferPackets(EndpointPeriod(t.RenderSlots[2].FeedbackEndpoint, 1), 1), 2u);
  EXPECT_EQ(TransferPackets(EndpointPeriod(t.RenderSlots[2].FeedbackEndpoint, 0), 0), 1u);
  DIRECTION_LIMITS l;
  ComputeLimits(t.RenderSlots, nullptr, 0, &l);
  EXPECT_EQ(l.MinBits, 24u);
  EXPECT_EQ(l.MaxBits, 32u);
}

// Render at the nominal rate carries exactly the rate over time (44 100
// frames a second, not the 16.16 value's 44 099.99...); paced by implicit
// feedback, the capture packets' frames, also those of packets that came
// after the render packets they pace.
TEST(Pacing, NominalIsExactAndImplicitFollowsTheCapturePackets) {
  uint32_t sizes[8], remainder = 0, total = 0;
  for (int ms = 0; ms < 1000; ++ms)
    total += NominalPacketSizes(44100, 1, 4, 8, 1, 28, 224, sizes, &remainder);
  EXPECT_EQ(total, 44100u * 4);
  // Two packets before any capture packet: nominal guesses of 6 frames;
  // the capture packets that come (7 and 7) settle them, and the next two
  // render packets carry the 2 frames render owes on top of theirs.
  IMPLICIT_QUEUE q;
  ImplicitQueueReset(&q);
  IMPLICIT_USE use;
  remainder = 0;
  EXPECT_EQ(ImplicitPacketSizes(&q, 48000, 1, 4, 2, 1, 40, 80, sizes, &remainder, &use), 12 * 4u);
  ImplicitQueueCommit(&q, &use);
  for (uint32_t frames : {7, 7, 5, 5}) ImplicitQueuePush(&q, frames);
  EXPECT_EQ(q.Balance, -2);
  EXPECT_EQ(ImplicitPacketSizes(&q, 48000, 1, 4, 2, 1, 40, 80, sizes, &remainder, &use), 12 * 4u);
  EXPECT_EQ(sizes[0], 6 * 4u);
  ImplicitQueueCommit(&q, &use);
  EXPECT_EQ(q.Count, 0u);
  EXPECT_EQ(q.Balance, 0);
}

// The render delay counts 44.1 frames per millisecond at 44.1 kHz, and the
// capture credit of a starved pin stops growing at its cap.
TEST(Delay, FramesPerMillisecondAreExactAndTheCaptureCreditIsCapped) {
  EXPECT_EQ(RenderDelayFrames(100, 1, 10, 44100), 100u + 441u);
  EXPECT_EQ(RenderDelayFrames(0, 0, 0, 44100), 88u);  // two frames of lead: 88.2
  EXPECT_EQ(CaptureCreditAdd(1000, 500, 14400), 1500u);
  EXPECT_EQ(CaptureCreditAdd(14000, 5000000, 14400), 14400u);
}

// ---------------------------------------------------------------------------
// Transfer shape and schedule
// ---------------------------------------------------------------------------
TEST(Schedule, TransfersFollowBackToBackAndALateOneStartsTwoFramesAhead) {
  int late = -1;
  EXPECT_EQ(ScheduleStartFrame(0, 0, 100, 0, &late), 102u);  // the first transfer
  EXPECT_EQ(late, 0);
  EXPECT_EQ(ScheduleStartFrame(105, 1, 100, 4, &late), 105u);  // still ahead
  EXPECT_EQ(late, 0);
  EXPECT_EQ(ScheduleStartFrame(100, 1, 100, 0, &late), 102u);  // its frame has begun
  EXPECT_EQ(late, 1);
  EXPECT_EQ(ScheduleStartFrame(90, 1, 100, 0, &late), 102u);
  EXPECT_EQ(late, 1);
  // Ahead by more than the transfers in flight explain: refused ones moved
  // the schedule on; it starts over, and that is no late start.
  EXPECT_EQ(ScheduleStartFrame(120, 1, 100, 3, &late), 102u);
  EXPECT_EQ(late, 0);
  // The frame counter wraps.
  EXPECT_EQ(ScheduleStartFrame(2, 1, 0xFFFFFFFFu, 2, &late), 2u);
  EXPECT_EQ(late, 0);
  // The schedule itself passes the wrap: the transfer after the one in
  // frame 0xFFFFFFFF goes in frame 0, right behind the queued ones, not at
  // current + 2 among them; nor is it late.
  EXPECT_EQ(ScheduleStartFrame(0, 1, 0xFFFFFFF3u, 13, &late), 0u);
  EXPECT_EQ(late, 0);
  EXPECT_EQ(ScheduleStartFrame(0, 1, 0, 0, &late), 2u);  // its frame has begun
  EXPECT_EQ(late, 1);
  // A first transfer just before the wrap.
  EXPECT_EQ(ScheduleStartFrame(0, 0, 0xFFFFFFFEu, 0, &late), 0u);
  EXPECT_EQ(late, 0);
}

// ---------------------------------------------------------------------------
// Which streams run, and at which rate
// ---------------------------------------------------------------------------
TEST(StreamPlan, EachAskRunsTheStreamsItsRuleNames) {
  const uint32_t k44 = 44100, k48 = 48000, kRate = StreamRefusedCaptureRate, kClock = StreamRefusedClockRate;
  const uint32_t kCapPin = StreamAskCapturePin, kRenPin = StreamAskRenderPin, kStart = StreamAskDirectStart;
  const uint32_t kFormats = StreamAskDirectFormats, kLeave = StreamAskLeaveDirect;
  const uint32_t kCapture = StreamAskCaptureStream, kRender = StreamAskRenderStream;
  struct Row {
    STREAM_REQUEST r;
    STREAM_PLAN want;
  };
  // clang-format off
  const Row rows[] = {
    // request: ask, direct, powered, has capture, one clock, {rate C, R}, other's rate, running,
    // in use, kept, capture carries -> refusal, capture rate, stop render first, render first,
    // start C, R, stop C, keep C, R.
    // A capture pin runs capture at its pin's rate, refused without a setting at it; direct
    // mode keeps its format.
    {{kCapPin, 0, 1, 1, 1, {k44, k48}, 0, {0, 1}, {0, 1}, {0, 1}, 1}, {0, k44, 0, 0, 1, 0, 0, 0, 0}},
    {{kCapPin, 0, 1, 1, 1, {k44, k48}, 0, {0, 1}, {0, 1}, {0, 1}, 0}, {kRate, 0, 0, 0, 0, 0, 0, 0, 0}},
    {{kCapPin, 1, 0, 1, 1, {k44, k48}, 0, {1, 1}, {1, 1}, {0, 0}, 0}, {0, 0, 0, 0, 1, 0, 0, 0, 0}},
    // A render pin takes free capture along, on one clock at render's rate and only if it can;
    // a capture pin's stream, or one direct mode runs, stays; powered down both run at power-up.
    {{kRenPin, 0, 1, 1, 1, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 1}, {0, k48, 0, 0, 1, 1, 0, 0, 0}},
    {{kRenPin, 0, 1, 1, 1, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 0}, {0, 0, 0, 0, 0, 1, 0, 0, 0}},
    {{kRenPin, 0, 1, 1, 0, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 0}, {0, 0, 0, 0, 1, 1, 0, 0, 0}},
    {{kRenPin, 0, 1, 1, 1, {k44, k48}, 0, {1, 0}, {0, 0}, {1, 0}, 1}, {0, 0, 0, 0, 0, 1, 0, 0, 0}},
    {{kRenPin, 1, 1, 1, 1, {k48, k48}, 0, {1, 1}, {1, 1}, {0, 0}, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {{kRenPin, 0, 0, 1, 1, {k48, k48}, 0, {1, 1}, {0, 0}, {0, 0}, 1}, {0, k48, 0, 0, 1, 1, 0, 0, 0}},
    // The direct-mode client's formats run at one rate on one clock; its start restarts both,
    // render stopped first.
    {{kFormats, 1, 1, 1, 1, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 1}, {kClock, 0, 0, 0, 0, 0, 0, 0, 0}},
    {{kFormats, 1, 1, 0, 1, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 1}, {0, 0, 1, 0, 0, 1, 0, 0, 0}},
    {{kStart, 1, 1, 1, 1, {k44, k48}, 0, {0, 0}, {0, 0}, {0, 0}, 1}, {0, 0, 1, 0, 1, 1, 0, 0, 0}},
    // Leaving direct mode: pins held at two rates on one clock run render first; capture no pin
    // holds follows a held render at its rate or stops; streams nobody holds stop.
    {{kLeave, 1, 1, 1, 1, {k44, k48}, 0, {1, 1}, {1, 1}, {1, 1}, 0}, {0, 0, 1, 1, 1, 1, 0, 1, 1}},
    {{kLeave, 1, 1, 1, 1, {k44, k48}, 0, {1, 1}, {1, 1}, {0, 1}, 0}, {0, 0, 1, 0, 0, 1, 1, 1, 1}},
    {{kLeave, 1, 1, 1, 1, {k44, k48}, 0, {1, 1}, {1, 1}, {0, 1}, 1}, {0, k48, 1, 0, 1, 1, 0, 1, 1}},
    {{kLeave, 1, 0, 1, 0, {k44, k48}, 0, {1, 1}, {1, 1}, {0, 0}, 0}, {0, 0, 0, 0, 1, 1, 0, 0, 0}},
    // A stream starts only at the rate the other direction runs the one clock at.
    {{kCapture, 0, 1, 1, 1, {k44, k48}, k48, {0, 1}, {0, 1}, {0, 1}, 1}, {kClock, 0, 0, 0, 0, 0, 0, 0, 0}},
    {{kRender, 0, 1, 1, 1, {k44, k48}, k48, {1, 0}, {1, 0}, {1, 0}, 1}, {0, 0, 0, 0, 0, 1, 0, 0, 0}},
    {{kCapture, 0, 1, 1, 0, {k44, k48}, k48, {0, 1}, {0, 1}, {0, 1}, 1}, {0, 0, 0, 0, 1, 0, 0, 0, 0}},
  };
  // clang-format on
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
    const STREAM_PLAN got = PlanStreams(&rows[i].r);
    EXPECT_EQ(0, memcmp(&got, &rows[i].want, sizeof(got))) << "row " << i;
  }
}

TEST(TransferShape, PacketsFollowTheEndpointsInterval) {
  EXPECT_EQ(TransferPackets(1, 1), 8u);
  EXPECT_EQ(TransferPackets(2, 1), 4u);
  EXPECT_EQ(TransferPackets(4, 1), 2u);
  EXPECT_EQ(TransferPackets(8, 1), 1u);
  EXPECT_EQ(TransferPackets(16, 1), 0u);
  EXPECT_EQ(TransferPackets(1, 0), 1u);
  // bInterval 3 at 48 kHz: two packets a frame, each carrying four
  // microframes of samples (24 frames), not 6.
  uint32_t sizes[8];
  uint32_t a = 0;
  EXPECT_EQ(RenderPacketSizes(0x60000, 0, 1, 6, 2, 4, 1024, 8192, sizes, &a), 48u * 6);
  EXPECT_EQ(sizes[0], 24u * 6);
  EXPECT_EQ(sizes[1], 24u * 6);
  // 44.1 kHz, bInterval 2: 11.025 frames a packet, the fraction carried.
  uint32_t total = 0;
  const uint32_t f = uint32_t((44100ull << 16) / 8000);
  for (int ms = 0; ms < 1000; ++ms) total += RenderPacketSizes(f, a, 1, 4, 4, 2, 1024, 8192, sizes, &a);
  EXPECT_NEAR(double(total) / 4, 44100, 1);
}

// ---------------------------------------------------------------------------
// Feedback formats and averaging
// ---------------------------------------------------------------------------
TEST(FeedbackFormat, EitherFormatAtEitherSpeedIsRecognisedAndRead) {
  const uint8_t three[3] = {0x00, 0x80, 0x01};
  const uint8_t four[4] = {0x00, 0x00, 0x06, 0x00};
  EXPECT_EQ(FeedbackWord(three, 3), 0x18000u);
  EXPECT_EQ(FeedbackWord(four, 4), 0x60000u);
  EXPECT_EQ(FeedbackWord(four, 2), 0u) << "shorter than three bytes";
  uint32_t nominal = 0;
  const uint32_t high = NominalFeedback(48000, 1, &nominal);  // 6.0 in 16.16
  // High speed: 16.16 as USB 2.0 asks, 10.14 as some units send.
  EXPECT_EQ(FeedbackDetectFormat(6u << 16, 1, high), uint32_t(QUENBY_FEEDBACK_16_16));
  EXPECT_EQ(FeedbackDetectFormat(6u << 14, 1, high), uint32_t(QUENBY_FEEDBACK_10_14));
  EXPECT_EQ(FeedbackToNative((6u << 14) | 0x40, QUENBY_FEEDBACK_10_14, 1), (6u << 16) | 0x100);
  const uint32_t full = NominalFeedback(48000, 0, &nominal);  // 48.0 in 10.14
  EXPECT_EQ(FeedbackDetectFormat(48u << 14, 0, full), uint32_t(QUENBY_FEEDBACK_10_14));
  EXPECT_EQ(FeedbackDetectFormat(48u << 16, 0, full), uint32_t(QUENBY_FEEDBACK_16_16));
  EXPECT_EQ(FeedbackToNative((48u << 16) | 0x400, QUENBY_FEEDBACK_16_16, 0), (48u << 14) | 0x100);
  // Near the nominal rate in neither reading: no decision.
  EXPECT_EQ(FeedbackDetectFormat(0x123456, 1, high), uint32_t(QUENBY_FEEDBACK_UNKNOWN));
  // 44.1 kHz at high speed in 10.14 and three bytes.
  const uint32_t w441 = uint32_t((44100ull << 14) / 8000);
  const uint32_t n441 = NominalFeedback(44100, 1, &nominal);
  EXPECT_EQ(FeedbackDetectFormat(w441, 1, n441), uint32_t(QUENBY_FEEDBACK_10_14));
  EXPECT_EQ(FeedbackFromPacket(FeedbackToNative(w441, QUENBY_FEEDBACK_10_14, 1), 1, nominal), w441 << 2);
}

TEST(FeedbackAverage, AWanderTakenBackByTheNextValueAveragesOut) {
  // A unit's values wander around the true rate (6.25) by up to a quarter
  // sample, each taking the last one's error back; used out of step (two
  // values used, one skipped...) single values run off, the mean does not.
  FEEDBACK_AVERAGE avg;
  FeedbackAverageReset(&avg);
  EXPECT_EQ(FeedbackAverageValue(&avg, 0x60000), 0x60000u);
  const int64_t truth = 0x64000;
  int64_t last_error = 0;
  uint64_t seed = 7;
  for (int i = 0; i < 1000; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const int64_t error = int64_t((seed >> 33) % 0x8001) - 0x4000;  // +-0.25 sample
    FeedbackAverageAdd(&avg, uint32_t(truth + error - last_error));
    last_error = error;
    if (i >= 8) {
      EXPECT_NEAR(double(FeedbackAverageValue(&avg, 0)), double(truth), 0x4000 * 2 / 8 + 1) << i;
    }
  }
}

// ---------------------------------------------------------------------------
// One rule for offering and accepting a format
// ---------------------------------------------------------------------------
namespace {

// Stereo render and capture of 24 bits in 3 bytes whose data endpoints hold
// `packet` bytes a packet, polled every 2^(interval-1) microframes.
std::vector<uint8_t> Stereo(uint16_t packet, uint8_t interval) {
  uac2::ConfigBuilder b;
  b.configuration(3);
  shapes::Control(b, true);
  b.interface(1, 0, 0, 1, 2, 0x20);
  b.interface(1, 1, 2, 1, 2, 0x20).as_general(1, 2).format_type_i(3, 24);
  b.endpoint(0x01, 0x05, packet, interval).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  b.interface(1, 2, 2, 1, 2, 0x20).as_general(1, 8).format_type_i(4, 24);
  b.endpoint(0x01, 0x05, uint16_t(packet * 16 / 6), interval).cs_endpoint().endpoint(0x81, 0x11, 4, 4);
  b.interface(2, 0, 0, 1, 2, 0x20);
  b.interface(2, 1, 1, 1, 2, 0x20).as_general(5, 2).format_type_i(3, 24);
  b.endpoint(0x82, 0x05, packet, interval).cs_endpoint();
  return b.finish();
}

}  // namespace

TEST(Negotiation, EveryFormatThePinOffersIsAcceptedBySetFormat) {
  // Packets from one frame short of what 48 kHz needs to two frames more,
  // every interval, rate, width and channel count a client may ask.
  const std::vector<uint32_t> subranges = {44100, 44100, 0, 48000, 48000, 0, 8000, 192000, 0};
  int offered = 0;
  for (uint16_t packet = 30; packet <= 48; ++packet) {
    for (uint8_t interval : {1, 2, 3}) {
      Caps caps(Stereo(uint16_t(packet << (interval - 1)), interval), subranges);
      for (bool capture : {false, true}) {
        FORMAT_CAPS c = caps.get(capture);
        for (uint32_t rate : {8000u, 44100u, 48000u, 96000u, 192000u}) {
          for (uint32_t bits : {16u, 24u, 32u}) {
            for (uint32_t channels = 1; channels <= 10; ++channels) {
              KSDATARANGE_AUDIO r = PcmRange(channels, bits, rate);
              KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
              ULONG size = 0;
              if (QuenbyIntersectFormat(&c, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size) !=
                  STATUS_SUCCESS)
                continue;
              ++offered;
              AUDIO_FORMAT connection, pin;
              EXPECT_EQ(QuenbyCheckFormat(&c, &out.DataFormat, size, &connection, &pin), STATUS_SUCCESS)
                  << packet << " bytes, interval " << int(interval) << (capture ? " capture " : " render ")
                  << channels << ":" << bits << ":" << rate;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(offered, 100);
}

// Intersection, the proposed-format check and set-format agree over a grid
// of ranges: an offer lies inside the caller's range and set-format (which
// the proposed-format property asks too) takes it; every range the pin
// publishes names such a format; a range that is not one format is refused
// only when none lies inside it; an offer is at the clock's current rate
// when one inside is, then of the most valid bits, then of the channel
// count asked for where a setting has it.
TEST(Negotiation, IntersectionProposeAndSetFormatAgreeOverAGridOfRanges) {
  uac2::FunctionLayout mixed = Eighteen();
  mixed.render.insert(mixed.render.end(), {{2, 2, 16}, {2, 4, 24}});
  mixed.capture.push_back({2, 2, 16});
  mixed.rates = {44100, 48000, 96000};
  const Caps devices[] = {Caps(Eighteen()), Caps(mixed)};
  constexpr uint32_t kAny = 0xFFFFFFFFu;
  struct Shape {
    uint32_t ch, container, valid, rate;
  };
  std::vector<KSDATARANGE_AUDIO> grid = {PcmRange(kAny, 0, 0)};  // passed as a KSDATARANGE: a wildcard
  grid[0].MaximumBitsPerSample = grid[0].MaximumSampleFrequency = kAny;
  for (uint32_t ch : {1u, 2u, 8u, 10u, 18u, kAny})
    for (auto b : {std::pair{16u, 16u}, {24u, 24u}, {32u, 32u}, {8u, 32u}, {17u, 23u}})
      for (auto r : {std::pair{44100u, 44100u}, {48000u, 48000u}, {8000u, 192000u}, {50000u, 60000u}}) {
        grid.push_back(PcmRange(ch, b.first, r.first));
        grid.back().MaximumBitsPerSample = b.second;
        grid.back().MaximumSampleFrequency = r.second;
      }
  int offers = 0;
  for (const Caps& device : devices)
    for (bool capture : {false, true})
      for (auto [locked, current] : {std::pair{0u, 44100u}, {0u, 48000u}, {48000u, 48000u}}) {
        FORMAT_CAPS c = device.get(capture, locked);
        c.CurrentRate = current;
        std::vector<Shape> all;  // every format set-format takes
        for (uint32_t ch = 1; ch <= 18; ++ch)
          for (uint32_t container : {16u, 24u, 32u})
            for (uint32_t valid : {16u, 24u})
              for (uint32_t rate : {8000u, 44100u, 48000u, 96000u, 192000u}) {
                KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = PcmFormat(ch, container, rate);
                f.WaveFormatExt.Samples.wValidBitsPerSample = WORD(valid);
                if (valid <= container &&
                    QuenbyCheckFormat(&c, &f.DataFormat, sizeof(f), nullptr, nullptr) == 0)
                  all.push_back({ch, container, valid, rate});
              }
        KSDATARANGE_AUDIO published[QUENBY_MAX_PIN_RANGES];
        for (uint32_t i = 0, n = locked ? 0 : QuenbyPinRanges(&c, published, QUENBY_MAX_PIN_RANGES); i < n;
             ++i) {
          const KSDATARANGE_AUDIO& p = published[i];
          EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&p](const Shape& s) {
            return s.ch == p.MaximumChannels && s.container == p.MinimumBitsPerSample &&
                   s.rate == p.MinimumSampleFrequency;
          }));
        }
        for (const KSDATARANGE_AUDIO& r : grid) {
          SCOPED_TRACE(testing::Message()
                       << (capture ? "capture " : "render ") << r.MaximumChannels << " ch "
                       << r.MinimumBitsPerSample << "-" << r.MaximumBitsPerSample << " bits "
                       << r.MinimumSampleFrequency << "-" << r.MaximumSampleFrequency << " Hz");
          const bool exact = r.MinimumBitsPerSample == r.MaximumBitsPerSample &&
                             r.MinimumSampleFrequency == r.MaximumSampleFrequency &&
                             r.MaximumChannels != kAny;
          auto inside = [&r](const Shape& s, bool one) {
            auto in = [&r](uint32_t b) { return b >= r.MinimumBitsPerSample && b <= r.MaximumBitsPerSample; };
            return (one ? s.ch == r.MaximumChannels : s.ch <= r.MaximumChannels) &&
                   (in(s.container) || in(s.valid)) && s.rate >= r.MinimumSampleFrequency &&
                   s.rate <= r.MaximumSampleFrequency;
          };
          KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
          ULONG size = 0;
          const ULONG length = r.MinimumSampleFrequency == 0 ? sizeof(KSDATARANGE) : sizeof(r);
          if (QuenbyIntersectFormat(&c, &r, length, sizeof(r), sizeof(out), &out, &size) != STATUS_SUCCESS) {
            EXPECT_TRUE(exact || std::none_of(all.begin(), all.end(),
                                              [&](const Shape& s) { return inside(s, false); }));
            continue;
          }
          ++offers;
          const WAVEFORMATEX& w = out.WaveFormatExt.Format;
          const Shape got = {w.nChannels, w.wBitsPerSample,
                             size == 82 ? w.wBitsPerSample : out.WaveFormatExt.Samples.wValidBitsPerSample,
                             w.nSamplesPerSec};
          EXPECT_TRUE(inside(got, exact));
          EXPECT_EQ(QuenbyCheckFormat(&c, &out.DataFormat, size, nullptr, nullptr), STATUS_SUCCESS);
          for (const Shape& s : all) {  // the preferences, in their order
            if (exact || !inside(s, false)) continue;
            EXPECT_FALSE(s.rate == current && got.rate != current);
            EXPECT_FALSE(s.rate == got.rate && s.valid > got.valid);
            EXPECT_FALSE(s.rate == got.rate && s.container == got.container && s.valid == got.valid &&
                         s.ch == r.MaximumChannels && got.ch != s.ch);
          }
        }
      }
  EXPECT_GT(offers, 200);
}

TEST(Negotiation, AClockTheOtherDirectionRunsOffersAndAcceptsItsRateAlone) {
  Caps caps(Eighteen());
  FORMAT_CAPS capture = caps.get(true, 48000);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE out{};
  ULONG size = 0;
  KSDATARANGE_AUDIO r = PcmRange(18, 24, 44100);
  EXPECT_EQ(QuenbyIntersectFormat(&capture, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_NO_MATCH);
  r.MinimumSampleFrequency = 8000;
  r.MaximumSampleFrequency = 192000;
  ASSERT_EQ(QuenbyIntersectFormat(&capture, &r, sizeof(r), sizeof(r), sizeof(out), &out, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(out.WaveFormatExt.Format.nSamplesPerSec, 48000u);
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = PcmFormat(18, 24, 44100);
  AUDIO_FORMAT connection, pin;
  EXPECT_EQ(QuenbyCheckFormat(&capture, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_NO_MATCH);
  f = PcmFormat(18, 24, 48000);
  EXPECT_EQ(QuenbyCheckFormat(&capture, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
  // Unlocked, both rates of the clock.
  FORMAT_CAPS free = caps.get(true);
  f = PcmFormat(18, 24, 44100);
  EXPECT_EQ(QuenbyCheckFormat(&free, &f.DataFormat, sizeof(f), &connection, &pin), STATUS_SUCCESS);
}
