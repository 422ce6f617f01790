#include "soak_analysis.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "vxctl.h"

namespace korvel::soak {
namespace {

int64_t abs64(int64_t v) {
  return v < 0 ? -v : v;
}

bool parse_int(const std::string& s, int64_t* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long x = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0') return false;
  *v = x;
  return true;
}

}  // namespace

CallFigures classify_calls(const std::vector<Event>& states, const std::vector<Call>& calls, bool meters) {
  CallFigures f;
  for (const Call& c : calls) {
    ++f.calls;
    bool clean = true;
    Event::Kind at = Event::Present;
    for (const Event& s : states) {
      if (s.ms <= c.start) at = s.kind;
      if (s.ms > c.start - 5 && s.ms < c.end + 5) clean = false;
    }
    if (at != Event::Present) clean = false;
    if (c.rc == 0) {
      ++f.ok;
      const int records = vxctl_meter_records(c.product.c_str());
      if (records == 0 || (meters && c.count != records)) ++f.wrong;
    } else if (clean) {
      ++f.failed_while_present;
    }
  }
  return f;
}

Spread spread(std::vector<int64_t> samples) {
  Spread s;
  s.n = samples.size();
  if (s.n == 0) return s;
  std::sort(samples.begin(), samples.end());
  s.median = samples[(s.n + 1) / 2 - 1];
  s.p95 = samples[(s.n * 95 + 99) / 100 - 1];
  return s;
}

MeterTiming meter_timing(const std::vector<Event>& events) {
  MeterTiming t;
  // Calibration: the first bar's height before the second and third steps.
  {
    int steps = 0, h = -1;
    for (const Event& e : events) {
      if (e.kind == Event::Fresh) h = e.h0;
      if (e.kind != Event::Step) continue;
      if (++steps == 2) t.bar_high = h;
      if (steps == 3) {
        t.bar_low = h;
        break;
      }
    }
  }
  int64_t plug_wait = -1;  // when the plug was sent that meters are awaited for
  bool lost = false, plug_faulted = false;
  int64_t disturbed_at = INT64_MIN / 2;
  int steps = 0;
  int64_t step_at = -1;  // the step being measured
  bool rising = false, step_disturbed = false;
  int target = -1, h = -1;
  for (const Event& e : events) {
    switch (e.kind) {
      case Event::Absent:
        if (plug_wait >= 0 && lost) ++t.plugs_not_shown;
        plug_wait = -1;
        lost = plug_faulted = false;
        step_at = -1;
        h = -1;
        break;
      case Event::Lost:
        lost = true;
        step_at = -1;
        h = -1;
        break;
      case Event::Fault:
        plug_faulted = true;
        step_disturbed = true;
        break;
      case Event::Plug:
        plug_wait = e.ms;
        plug_faulted = false;
        break;
      case Event::Step:
        ++steps;
        rising = e.db == -6;
        target = rising ? t.bar_high : t.bar_low;
        step_disturbed = e.ms - disturbed_at < 1000;
        step_at = (h >= 0 && abs64(h - (rising ? t.bar_low : t.bar_high)) <= 2) ? e.ms : -1;
        break;
      case Event::Fresh:
        ++t.fresh_ticks;
        if (e.first && plug_wait >= 0) {
          if (lost && !plug_faulted) t.plug_to_first_meters.push_back(e.ms - plug_wait);
          plug_wait = -1;
        }
        h = e.h0;
        if (step_at >= 0 && steps > 2 && target >= 0 && abs64(h - target) <= 2) {
          std::vector<int64_t>& samples = rising ? (step_disturbed ? t.rise_disturbed : t.rise)
                                                 : (step_disturbed ? t.fall_disturbed : t.fall);
          samples.push_back(e.ms - step_at);
          step_at = -1;
        }
        break;
      case Event::Present:
        break;
    }
    if (e.kind != Event::Step && e.kind != Event::Fresh && e.kind != Event::Lost) disturbed_at = e.ms;
  }
  return t;
}

std::vector<Event> read_states(std::istream& in) {
  std::vector<Event> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string ms, what;
    Event e;
    if (!(f >> ms >> what) || !parse_int(ms, &e.ms)) continue;
    if (what == "present") {
      e.kind = Event::Present;
    } else if (what == "absent") {
      e.kind = Event::Absent;
    } else if (what == "fault") {
      e.kind = Event::Fault;
    } else {
      continue;
    }
    out.push_back(e);
  }
  return out;
}

std::vector<Event> read_plugs(std::istream& in) {
  std::vector<Event> out;
  std::string ms;
  while (in >> ms) {
    Event e;
    e.kind = Event::Plug;
    if (parse_int(ms, &e.ms)) out.push_back(e);
  }
  return out;
}

std::vector<Event> read_steps(std::istream& in) {
  std::vector<Event> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string ms, db;
    Event e;
    e.kind = Event::Step;
    int64_t v = 0;
    if (!(f >> ms >> db) || !parse_int(ms, &e.ms) || !parse_int(db, &v)) continue;
    e.db = int(v);
    out.push_back(e);
  }
  return out;
}

std::vector<Event> read_panel_trace(std::istream& in) {
  static const std::string kPrefix = "korvel.panel.meters: ";
  std::vector<Event> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, kPrefix.size(), kPrefix) != 0) continue;
    std::istringstream f(line.substr(kPrefix.size()));
    std::string ms, what, word;
    Event e;
    if (!(f >> ms >> what) || !parse_int(ms, &e.ms)) continue;
    if (what == "lost") {
      e.kind = Event::Lost;
    } else if (what == "fresh") {
      e.kind = Event::Fresh;
      int64_t h = -1;
      while (f >> word) {
        if (word == "first") e.first = true;
        if (word.compare(0, 3, "h0=") == 0 && !parse_int(word.substr(3), &h)) h = -1;
      }
      e.h0 = int(h);
    } else {
      continue;
    }
    out.push_back(e);
  }
  return out;
}

std::vector<Call> read_calls(std::istream& in) {
  std::vector<Call> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::vector<std::string> w;
    std::string word;
    while (f >> word) w.push_back(word);
    Call c;
    int64_t rc = 0, count = 0;
    if (w.size() < 5 || !parse_int(w[0], &c.start) || !parse_int(w[1], &c.end) || !parse_int(w[2], &rc) ||
        !parse_int(w.back(), &count))
      continue;
    c.rc = int(rc);
    c.count = int(count);
    for (size_t i = 3; i + 1 < w.size(); ++i) c.product += (i > 3 ? " " : "") + w[i];
    out.push_back(c);
  }
  return out;
}

std::vector<Event> merge(const std::vector<std::vector<Event>>& lists) {
  std::vector<Event> all;
  for (const auto& l : lists) all.insert(all.end(), l.begin(), l.end());
  std::stable_sort(all.begin(), all.end(), [](const Event& a, const Event& b) { return a.ms < b.ms; });
  return all;
}

std::string spread_json(const Spread& s) {
  if (s.n == 0) return "{\"n\": 0}";
  return "{\"n\": " + std::to_string(s.n) + ", \"median\": " + std::to_string(s.median) +
         ", \"p95\": " + std::to_string(s.p95) + "}";
}

}  // namespace korvel::soak
