// The meters follow the audio: computer returns (type 3) show what the unit
// plays while render streams, analog inputs (type 4) what it captures while
// capture streams; otherwise the generated signals stay.
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

#include "test_host.h"

namespace korvel::sim::test {
namespace {

// (type, number) -> value of one meter answer.
std::map<std::pair<uint32_t, uint32_t>, uint32_t> meter_map(Host& h) {
  std::vector<TestItem> items;
  for (auto& it : h.ask(Msg().none(0x71))) {
    if (it.cmd == 0x61 || it.cmd == 0x62 || it.cmd == 0x72) items.push_back(it);
  }
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> out;
  for (size_t i = 0; i + 3 <= items.size(); i += 3) out[{items[i].num, items[i + 1].num}] = items[i + 2].num;
  return out;
}

// 2 channels of 24-bit: channel 0 at half scale, channel 1 at an eighth.
std::vector<uint8_t> render_frames(size_t frames) {
  std::vector<uint8_t> b;
  for (size_t f = 0; f < frames; ++f) {
    int32_t l = (f % 2) ? 0x400000 : -0x400000;
    int32_t r = (f % 2) ? 0x100000 : -0x100000;
    for (int32_t v : {l, r}) {
      uint32_t u = uint32_t(v);
      b.push_back(uint8_t(u));
      b.push_back(uint8_t(u >> 8));
      b.push_back(uint8_t(u >> 16));
    }
  }
  return b;
}

TEST(UnitAudioMeters, ComputerReturnsFollowTheRenderStream) {
  Host h(Model::Tarrow);
  auto idle = meter_map(h);
  UnitAudio& a = h.unit.audio();
  a.configure(true, 48000, 0);
  a.set_render_format(AudioFormat{2, 3, 24});
  // 200 ms of microframes, each with the 6 frames the clock consumes.
  for (uint64_t f = 1; f <= 1600; ++f) {
    auto pkt = render_frames(6);
    a.render_packet(f, pkt.data(), pkt.size());
  }
  auto m = meter_map(h);
  EXPECT_NEAR(double(m[std::make_pair(3u, 1u)]), 16384, 2);  // half scale
  EXPECT_NEAR(double(m[std::make_pair(3u, 2u)]), 4096, 2);   // an eighth
  EXPECT_EQ(m[std::make_pair(3u, 3u)], 0u) << "channels the stream lacks are silent";
  // The other blocks keep their generated signals.
  EXPECT_EQ(m.size(), idle.size());
  // Idle again: the generated signals return.
  a.set_render_format(AudioFormat{});
  m = meter_map(h);
  EXPECT_EQ(m[std::make_pair(3u, 3u)], idle[std::make_pair(3u, 3u)]);
}

TEST(UnitAudioMeters, AnalogInputsFollowTheCaptureStream) {
  Host h(Model::Pellin);
  UnitAudio& a = h.unit.audio();
  a.configure(true, 48000, 0);
  a.set_render_format(AudioFormat{2, 3, 24});
  a.set_capture_format(AudioFormat{2, 3, 24});
  a.set_loopback(true);
  uint8_t cap[64];
  for (uint64_t f = 1; f <= 1600; ++f) {
    auto pkt = render_frames(6);
    a.render_packet(f, pkt.data(), pkt.size());
    a.capture_packet(f, cap, sizeof cap);
  }
  auto m = meter_map(h);
  EXPECT_NEAR(double(m[std::make_pair(4u, 1u)]), 16384,
              2);  // what it captured: the render channel looped back
  EXPECT_NEAR(double(m[std::make_pair(4u, 2u)]), 4096, 2);
}

}  // namespace
}  // namespace korvel::sim::test
