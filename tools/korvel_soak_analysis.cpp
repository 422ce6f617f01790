// korvel-soak-analysis: the figures of a soak run (scripts/soak.sh) from its
// log folder. Prints the summary's "korvelctl" and "panel_meters" members as
// one JSON object and exits 1 when the run failed a check of its own: a
// wrong answer, a panel that never showed a meter (--panel), a call that
// failed while the unit was there (--strict).
//   korvel-soak-analysis [--strict] [--panel] LOGDIR
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "soak_analysis.h"

using namespace korvel::soak;

namespace {

// A log the run did not write (no panel, no plug) reads as empty.
std::ifstream open_log(const std::string& dir, const char* name) {
  return std::ifstream(dir + "/" + name);
}

std::string calls_json(const CallFigures& f) {
  return "{\"calls\": " + std::to_string(f.calls) + ", \"ok\": " + std::to_string(f.ok) +
         ", \"wrong\": " + std::to_string(f.wrong) +
         ", \"failed_while_present\": " + std::to_string(f.failed_while_present) + "}";
}

}  // namespace

int main(int argc, char** argv) {
  bool strict = false, panel = false;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::printf(
          "usage: korvel-soak-analysis [--strict] [--panel] LOGDIR\n"
          "Summarises the logs a soak run kept (scripts/soak.sh with KORVEL_SOAK_KEEP=1) as JSON.\n");
      return 0;
    }
    if (!std::strcmp(argv[i], "--strict")) {
      strict = true;
    } else if (!std::strcmp(argv[i], "--panel")) {
      panel = true;
    } else if (argv[i][0] != '-' && dir.empty()) {
      dir = argv[i];
    } else {
      dir.clear();
      break;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "usage: korvel-soak-analysis [--strict] [--panel] LOGDIR\n");
    return 2;
  }
  auto states_in = open_log(dir, "state");
  if (!states_in) {
    std::fprintf(stderr, "korvel-soak-analysis: %s/state cannot be read\n", dir.c_str());
    return 2;
  }
  std::vector<Event> states = merge({read_states(states_in)});
  auto info_in = open_log(dir, "info");
  auto meters_in = open_log(dir, "meters");
  const CallFigures info = classify_calls(states, read_calls(info_in), false);
  const CallFigures meters = classify_calls(states, read_calls(meters_in), true);

  auto plugs_in = open_log(dir, "plugs");
  auto steps_in = open_log(dir, "steps");
  auto panel_in = open_log(dir, "panel.out");
  const MeterTiming t =
      meter_timing(merge({states, read_plugs(plugs_in), read_steps(steps_in), read_panel_trace(panel_in)}));

  std::printf(
      "{\"korvelctl\": {\"info\": %s,\n"
      "               \"meters\": %s},\n"
      " \"panel_meters\": {\"fresh_ticks\": %d, \"bar_heights\": {\"-6\": %d, \"-40\": %d},\n"
      "   \"plug_to_first_meters_ms\": %s, \"plugs_not_shown_before_next_unplug\": %d,\n"
      "   \"latency_ms\": {\"rise\": %s, \"fall\": %s,\n"
      "                  \"rise_disturbed\": %s, \"fall_disturbed\": %s}}}\n",
      calls_json(info).c_str(), calls_json(meters).c_str(), t.fresh_ticks, t.bar_high, t.bar_low,
      spread_json(spread(t.plug_to_first_meters)).c_str(), t.plugs_not_shown,
      spread_json(spread(t.rise)).c_str(), spread_json(spread(t.fall)).c_str(),
      spread_json(spread(t.rise_disturbed)).c_str(), spread_json(spread(t.fall_disturbed)).c_str());

  bool failed = info.wrong || meters.wrong || (panel && t.fresh_ticks == 0);
  if (strict) failed = failed || info.failed_while_present || meters.failed_while_present;
  return failed ? 1 : 0;
}
