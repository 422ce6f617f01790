// The soak run's analysis on hand-made logs: which calls count against the
// unit, the meter timing's pairing of commands with the panel's trace, and
// the median and percentile rules.
#include "soak_analysis.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace korvel::soak;

namespace {

std::vector<Event> parse_states(const char* text) {
  std::istringstream in(text);
  return read_states(in);
}

TEST(SoakSpread, MedianIsTheLowerMiddleAndP95TheSampleAtItsRank) {
  EXPECT_EQ(0u, spread({}).n);
  EXPECT_EQ("{\"n\": 0}", spread_json(spread({})));
  Spread one = spread({7});
  EXPECT_EQ(7, one.median);
  EXPECT_EQ(7, one.p95);
  Spread four = spread({40, 10, 30, 20});
  EXPECT_EQ(20, four.median);
  EXPECT_EQ(40, four.p95);
  std::vector<int64_t> twenty, twenty_one;
  for (int i = 20; i >= 1; --i) twenty.push_back(i);
  twenty_one = twenty;
  twenty_one.push_back(21);
  EXPECT_EQ(10, spread(twenty).median);
  EXPECT_EQ(19, spread(twenty).p95);  // rank 19 of 20
  EXPECT_EQ(11, spread(twenty_one).median);
  EXPECT_EQ(20, spread(twenty_one).p95);  // rank ceil(19.95) = 20
  EXPECT_EQ("{\"n\": 21, \"median\": 11, \"p95\": 20}", spread_json(spread(twenty_one)));
}

TEST(SoakCalls, OnlyCallsWhileTheUnitStayedThereCountAgainstIt) {
  std::vector<Event> states =
      parse_states("1000 present\n2000 absent\n2500 present\n3000 fault\n3500 present\nnot a line\n");
  ASSERT_EQ(5u, states.size());
  std::istringstream log(
      "1100 1200 0 Tarrow 97\n"    // fine
      "1210 1250 0 Far Link 96\n"  // a name with a space
      "1260 1270 0 Far Link 95\n"  // a record short
      "1280 1290 0 Gizmo 10\n"     // no model of ours
      "1300 1400 1 none 0\n"       // failed with the unit there: counts
      "2100 2200 1 none 0\n"       // unit absent
      "2490 2600 1 none 0\n"       // the unit came back during the call
      "2600 2996 1 none 0\n"       // a fault within 5 ms of its end
      "3506 3600 1 none 0\n"       // 6 ms after the last change: counts
      "garbage\n");
  std::vector<Call> calls = read_calls(log);
  ASSERT_EQ(9u, calls.size());
  EXPECT_EQ("Far Link", calls[1].product);
  CallFigures meters = classify_calls(states, calls, true);
  EXPECT_EQ(9, meters.calls);
  EXPECT_EQ(4, meters.ok);
  EXPECT_EQ(2, meters.wrong);
  EXPECT_EQ(2, meters.failed_while_present);
  // Info calls carry no record count: only the product is checked.
  CallFigures info = classify_calls(states, calls, false);
  EXPECT_EQ(1, info.wrong);
}

// The panel's trace lines as it writes them, among its other output.
std::vector<Event> trace(const char* text) {
  std::istringstream in(text);
  return read_panel_trace(in);
}

TEST(SoakTiming, PanelTraceLinesAreReadAmongOtherOutput) {
  std::vector<Event> t = trace(
      "UI language: English\n"
      "korvel.panel.meters: 1500 fresh first h0=42\n"
      "korvel.panel.meters: 1600 lost\n"
      "korvel.panel.meters: 1700 fresh h0=43\n"
      "korvel.panel.meters: x fresh h0=1\n");
  ASSERT_EQ(3u, t.size());
  EXPECT_TRUE(t[0].first);
  EXPECT_EQ(42, t[0].h0);
  EXPECT_EQ(Event::Lost, t[1].kind);
  EXPECT_FALSE(t[2].first);
  EXPECT_EQ(1700, t[2].ms);
}

Event ev(int64_t ms, Event::Kind kind, int value = 0, bool first = false) {
  Event e;
  e.ms = ms;
  e.kind = kind;
  if (kind == Event::Step) e.db = value;
  if (kind == Event::Fresh) e.h0 = value;
  e.first = first;
  return e;
}

TEST(SoakTiming, StepsArePairedWithTheFirstTickAtTheNewHeight) {
  const std::vector<Event> events = merge({{
      ev(0, Event::Present),
      ev(100, Event::Fresh, 50),
      // Calibration: -6 dBFS stands at 150 px, -40 dBFS at 50 px.
      ev(1000, Event::Step, -6),
      ev(1100, Event::Fresh, 150),
      ev(2500, Event::Step, -40),
      ev(2600, Event::Fresh, 50),
      // Rising, quiet: measured to the tick within 2 px of 150.
      ev(5000, Event::Step, -6),
      ev(5100, Event::Fresh, 100),
      ev(5200, Event::Fresh, 149),
      // Falling half a second after a fault: disturbed.
      ev(5500, Event::Fault),
      ev(5600, Event::Present),
      ev(6000, Event::Step, -40),
      ev(6300, Event::Fresh, 51),
      // A step while the bar stood at neither level is not measured.
      ev(7000, Event::Fresh, 100),
      ev(8000, Event::Step, -6),
      ev(8100, Event::Fresh, 150),
      // A step cut short by the panel losing the unit is not measured.
      ev(9000, Event::Step, -40),
      ev(9050, Event::Lost),
      ev(9300, Event::Fresh, 50, true),
  }});
  MeterTiming t = meter_timing(events);
  EXPECT_EQ(150, t.bar_high);
  EXPECT_EQ(50, t.bar_low);
  EXPECT_EQ(std::vector<int64_t>{200}, t.rise);
  EXPECT_EQ(std::vector<int64_t>{300}, t.fall_disturbed);
  EXPECT_TRUE(t.fall.empty());
  EXPECT_TRUE(t.rise_disturbed.empty());
  EXPECT_EQ(9, t.fresh_ticks);
}

TEST(SoakTiming, PlugToFirstMetersOnlyAfterTheUnitWasLostAndWithoutFaults) {
  const std::vector<Event> events = merge({{
      // The panel may lose the unit before any plug (at its start): no
      // sample from a plug that never was.
      ev(50, Event::Lost),
      ev(400, Event::Fresh, 10, true),
      // Shown 300 ms after the plug.
      ev(9000, Event::Absent),
      ev(9050, Event::Lost),
      ev(9100, Event::Plug),
      ev(9150, Event::Present),
      ev(9400, Event::Fresh, 10, true),
      // A fault before the meters came back: left out.
      ev(10000, Event::Absent),
      ev(10050, Event::Lost),
      ev(10100, Event::Plug),
      ev(10200, Event::Fault),
      ev(10500, Event::Fresh, 10, true),
      // Unplugged again before the meters came back: not shown.
      ev(11000, Event::Absent),
      ev(11010, Event::Lost),
      ev(11100, Event::Plug),
      ev(11200, Event::Absent),
      // A plug whose loss the panel never noticed: left out.
      ev(12000, Event::Plug),
      ev(12300, Event::Fresh, 10, true),
  }});
  MeterTiming t = meter_timing(events);
  EXPECT_EQ(std::vector<int64_t>{300}, t.plug_to_first_meters);
  EXPECT_EQ(1, t.plugs_not_shown);
}

TEST(SoakTiming, EqualTimesKeepTheOrderOfTheirLogs) {
  // The script's state line and the panel's tick in the same millisecond:
  // the state comes first, as the logs are listed.
  std::vector<Event> merged = merge({{ev(5, Event::Absent)}, {ev(5, Event::Fresh, 1), ev(1, Event::Lost)}});
  ASSERT_EQ(3u, merged.size());
  EXPECT_EQ(Event::Lost, merged[0].kind);
  EXPECT_EQ(Event::Absent, merged[1].kind);
  EXPECT_EQ(Event::Fresh, merged[2].kind);
}

}  // namespace
