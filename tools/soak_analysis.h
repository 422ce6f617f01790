// The soak run's analysis (scripts/soak.sh): which korvelctl calls failed
// although the unit was there, and the panel's meter timing from its trace
// against the moments the script sent its host commands, with medians and
// 95th percentiles. Pure functions over parsed log lines.
#ifndef KORVEL_TOOLS_SOAK_ANALYSIS_H
#define KORVEL_TOOLS_SOAK_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace korvel::soak {

// Everything the analysis reads, all times in wall-clock milliseconds.
struct Event {
  enum Kind {
    Present,  // the unit is there (again) after a command took effect
    Absent,   // an unplug or a model change is about to be sent
    Fault,    // a busy burst or stalls are about to be sent
    Plug,     // "plug" or "model NAME" sent
    Step,     // "level 1 DB" sent (db)
    Fresh,    // the panel put a fresh meter answer on the bars (first, h0)
    Lost,     // the panel lost the unit
  };
  int64_t ms = 0;
  Kind kind = Present;
  int db = 0;          // Step
  bool first = false;  // Fresh: the first answer after the panel lost the unit
  int h0 = -1;         // Fresh: height of the first bar in base pixels
};

// One korvelctl call: "start end rc product count" (the product may hold
// spaces; "none" when the call failed).
struct Call {
  int64_t start = 0, end = 0;
  int rc = 0;
  std::string product;
  int count = 0;
};

struct CallFigures {
  int calls = 0, ok = 0, wrong = 0, failed_while_present = 0;
};

// Calls counted against the unit: a call that failed while the unit was
// present for all of it (present when it started, no change of state from
// 5 ms before it began to 5 ms after it ended). A successful call is wrong
// when its product is no model, or, for meters, when its record count is
// not the model's. `states` holds Present, Absent and Fault events in time
// order.
CallFigures classify_calls(const std::vector<Event>& states, const std::vector<Call>& calls, bool meters);

struct Spread {
  size_t n = 0;
  int64_t median = 0, p95 = 0;
};
// Median (the middle sample, the lower of the two middle ones) and 95th
// percentile (the sample at rank ceil(0.95 n)).
Spread spread(std::vector<int64_t> samples);

struct MeterTiming {
  int fresh_ticks = 0;
  int bar_high = -1, bar_low = -1;  // the first bar's height at -6 and -40 dBFS
  std::vector<int64_t> plug_to_first_meters, rise, fall, rise_disturbed, fall_disturbed;
  int plugs_not_shown = 0;
};

// Walks the time-ordered events (ties keep their order). Calibration: the
// bar's height before the second step is its height at -6 dBFS, before the
// third at -40. Plug to first meters: from a plug to the first fresh answer
// after the panel lost the unit, unless a fault came between; a plug
// unplugged again before meters came back counts as not shown. Latency:
// from a step (after the calibration) to the first fresh answer with the bar
// within 2 px of the new height, measured only when the bar stood within
// 2 px of the other height when the step came; steps less than a second
// after a disturbance (a state change or a plug) count as disturbed; a loss
// of the unit or an unplug cancels the step.
MeterTiming meter_timing(const std::vector<Event>& events);

// Log parsers: each line that does not parse is passed over.
std::vector<Event> read_states(std::istream& in);  // "ms present|absent|fault"
std::vector<Event> read_plugs(std::istream& in);   // "ms"
std::vector<Event> read_steps(std::istream& in);   // "ms DB"
// The panel's output: "korvel.panel.meters: ms fresh [first] h0=N" and
// "korvel.panel.meters: ms lost" among other lines.
std::vector<Event> read_panel_trace(std::istream& in);
std::vector<Call> read_calls(std::istream& in);
// All events in time order, ties in the order of the lists.
std::vector<Event> merge(const std::vector<std::vector<Event>>& lists);

// {"n": N, "median": ms, "p95": ms}, or {"n": 0}.
std::string spread_json(const Spread& s);

}  // namespace korvel::soak

#endif
