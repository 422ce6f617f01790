// Meter answers: layout per model and the behaviour of the levels over time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "test_host.h"
#include "unit_meters.h"

namespace korvel::sim::test {
namespace {

struct Record {
  uint32_t type, number, value;
};

std::vector<Record> meters(Host& h) {
  std::vector<TestItem> items;
  for (auto& it : h.ask(Msg().none(0x71))) {
    if (it.cmd != 0x12) items.push_back(it);  // debug text now and then
  }
  std::vector<Record> out;
  EXPECT_EQ(items.size() % 3, 0u);
  for (size_t i = 0; i + 3 <= items.size(); i += 3) {
    EXPECT_EQ(items[i].cmd, 0x61);
    EXPECT_EQ(items[i + 1].cmd, 0x62);
    EXPECT_EQ(items[i + 2].cmd, 0x72);
    out.push_back({items[i].num, items[i + 1].num, items[i + 2].num});
  }
  return out;
}

// (type, count) runs of the answer.
std::vector<std::pair<uint32_t, int>> blocks(const std::vector<Record>& r) {
  std::vector<std::pair<uint32_t, int>> out;
  for (const Record& x : r) {
    if (out.empty() || out.back().first != x.type) {
      out.push_back({x.type, 0});
      EXPECT_EQ(x.number, 1u) << "block of type " << x.type << " starts at " << x.number;
    } else {
      EXPECT_EQ(x.number, static_cast<uint32_t>(out.back().second + 1));
    }
    ++out.back().second;
  }
  return out;
}

using Blocks = std::vector<std::pair<uint32_t, int>>;

TEST(UnitMeters, EachModelAnswersItsLayout) {
  const struct {
    Model m;
    int count;
    Blocks b;
  } cases[] = {
      {Model::Tarrow, 97, {{4, 22}, {7, 24}, {3, 22}, {6, 22}, {2, 6}, {8, 1}}},
      {Model::Quenby, 94, {{4, 22}, {2, 4}, {7, 24}, {3, 22}, {6, 22}}},
      {Model::Pellin, 62, {{4, 14}, {2, 4}, {7, 16}, {3, 14}, {6, 14}}},
      {Model::Dorrit, 62, {{4, 10}, {7, 12}, {3, 10}, {6, 10}, {2, 10}, {8, 10}}},
      {Model::FarLink, 96, {{4, 24}, {7, 24}, {3, 24}, {6, 24}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(model_name(c.m));
    Host h(c.m);
    const auto r = meters(h);
    EXPECT_EQ(static_cast<int>(r.size()), c.count);
    EXPECT_EQ(meter_record_count(c.m), c.count);
    EXPECT_EQ(blocks(r), c.b);
    Blocks from_layout;
    for (const MeterBlock& b : meter_layout(c.m)) from_layout.push_back({b.type, b.count});
    EXPECT_EQ(from_layout, c.b);
  }
}

TEST(UnitMeters, LevelsMoveStayInRangeOneSilentOneClipping) {
  for (Model m : {Model::Tarrow, Model::Dorrit, Model::FarLink}) {
    SCOPED_TRACE(model_name(m));
    Host h(m, 5'000'000);
    const int inputs = meter_layout(m).front().count;
    std::map<std::pair<uint32_t, uint32_t>, std::set<uint32_t>> seen;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> peak;
    // Six seconds at 37 ms steps.
    for (int step = 0; step < 160; ++step) {
      for (const Record& r : meters(h)) {
        ASSERT_LE(r.value, 32767u);
        seen[{r.type, r.number}].insert(r.value);
        auto& p = peak[{r.type, r.number}];
        if (r.value > p) p = r.value;
      }
      h.advance_ms(37);
    }
    for (const auto& [key, values] : seen) {
      const bool silent = key.first == 4 && key.second == static_cast<uint32_t>(inputs);
      if (silent) {
        EXPECT_EQ(values, std::set<uint32_t>{0});
      } else {
        EXPECT_GE(values.size(), 20u) << "type " << key.first << " number " << key.second;
      }
    }
    EXPECT_EQ(peak[std::make_pair(4u, 1u)], 32767u);  // the clipping input hits full scale
    int clipped = 0;
    for (const auto& [key, p] : peak) clipped += p == 32767;
    EXPECT_LT(clipped, 8);  // and the others mostly stay below it
  }
}

// The inputs sound like a band on stage: a lead that clips now and then
// (not on every beat), punchy drums, a voice with pauses, a quiet room
// microphone.
TEST(UnitMeters, InputsHaveTheirOwnCharacter) {
  const Model m = Model::Tarrow;
  const int inputs = detail::analog_inputs(m);
  int full = 0, samples = 0, drum_hits = 0, longest_pause = 0, pause = 0;
  uint16_t voice_peak = 0, room_peak = 0, room_low = 32767;
  uint16_t previous_drum = 0;
  bool drum_rising = false;
  for (uint64_t t = 1'000'000; t < 21'000'000; t += 10'000, ++samples) {
    full += detail::meter_level(m, 4, 1, t, 0) == 32767;
    const uint16_t d = detail::meter_level(m, 4, 2, t, 0);
    if (d > previous_drum * 2 && d > 3000 && !drum_rising) ++drum_hits;
    drum_rising = d > previous_drum;
    previous_drum = d;
    const uint16_t v = detail::meter_level(m, 4, 3, t, 0);
    voice_peak = std::max(voice_peak, v);
    pause = v < 100 ? pause + 1 : 0;
    longest_pause = std::max(longest_pause, pause);
    const uint16_t r = detail::meter_level(m, 4, static_cast<uint8_t>(inputs - 1), t, 0);
    room_peak = std::max(room_peak, r);
    room_low = std::min(room_low, r);
  }
  EXPECT_GT(full, 0);
  EXPECT_LT(full * 10, samples);  // clipping is the exception
  EXPECT_GT(drum_hits, 40);       // 20 s of at least two hits a second
  EXPECT_LT(voice_peak, 32767 / 2);
  EXPECT_GE(longest_pause, 30);  // a pause between phrases: 300 ms and more
  EXPECT_LT(room_peak, 650);     // under -34 dBFS
  EXPECT_GT(room_low, 0);
}

TEST(UnitMeters, LevelsArePureFunctionsOfTimeAndChannel) {
  Host a(Model::Quenby, 123'456'789), b(Model::Quenby, 123'456'789);
  a.ask(Msg().none(0x18));  // unrelated traffic must not change the signals
  const auto ra = meters(a), rb = meters(b);
  ASSERT_EQ(ra.size(), rb.size());
  for (size_t i = 0; i < ra.size(); ++i) EXPECT_EQ(ra[i].value, rb[i].value) << i;
  a.advance_ms(10);
  const auto later = meters(a);
  int changed = 0;
  for (size_t i = 0; i < ra.size(); ++i) changed += later[i].value != ra[i].value;
  EXPECT_GT(changed, 80);
}

TEST(UnitMeters, MutedInputLeavesTheMixesButNotItsOwnMeter) {
  Host a(Model::Pellin, 7'000'000), b(Model::Pellin, 7'000'000);
  a.ask(Msg().ch(4, 3).u8(0x83, 1));
  uint64_t strip_a = 0, strip_b = 0, in_a = 0, in_b = 0;
  for (int step = 0; step < 50; ++step) {
    for (const Record& r : meters(a)) {
      if (r.type == 6 && r.number == 3) strip_a += r.value;
      if (r.type == 4 && r.number == 3) in_a += r.value;
    }
    for (const Record& r : meters(b)) {
      if (r.type == 6 && r.number == 3) strip_b += r.value;
      if (r.type == 4 && r.number == 3) in_b += r.value;
    }
    a.advance_ms(41);
    b.advance_ms(41);
  }
  EXPECT_EQ(in_a, in_b);
  EXPECT_GT(strip_b, 0u);
  EXPECT_LT(strip_a * 4, strip_b);  // only the neighbour's crosstalk is left
}

}  // namespace
}  // namespace korvel::sim::test
