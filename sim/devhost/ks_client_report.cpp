// The report of korvel-devhost's kernel-streaming client: one JSON object
// on one line, as the command-line contract fixes it.
#include <cstdio>
#include <string>

#include "ks_client.h"

namespace korvel::sim::devhost {
namespace {

std::string number(double v) {
  char b[32];
  std::snprintf(b, sizeof(b), "%.6g", v);
  return b;
}

}  // namespace

std::string stream_report_json(const StreamReport& r) {
  // A capture-only run has no render figures: null, not zero.
  auto render_count = [&r](uint64_t v) { return r.capture_only ? std::string("null") : std::to_string(v); };
  auto render_flag = [&r](bool v) { return std::string(r.capture_only ? "null" : v ? "true" : "false"); };
  std::string j = "{";
  j += "\"simulated_seconds\": " + number(r.simulated_seconds);
  j += ", \"format\": " + std::string(r.capture_only ? "null"
                                                     : "{\"channels\": " + std::to_string(r.channels) +
                                                           ", \"bits\": " + std::to_string(r.bits) +
                                                           ", \"rate\": " + std::to_string(r.rate) + "}");
  j += std::string(", \"speed\": \"") + (r.high_speed ? "high" : "full") + "\"";
  j += ", \"drift_ppm\": " + number(r.drift_ppm);
  j += ", \"rendered_frames\": " + render_count(r.rendered_frames);
  j += ", \"captured_frames\": " + std::to_string(r.captured_frames);
  j += ", \"underrun_events\": " + render_count(r.underrun_events);
  j += ", \"late_starts\": {\"render\": " + std::to_string(r.late_render) +
       ", \"capture\": " + std::to_string(r.late_capture) +
       ", \"feedback\": " + std::to_string(r.late_feedback) + "}";
  j += ", \"feedback_validated\": " + render_flag(r.feedback_validated);
  j += ", \"feedback_rejected\": " + std::to_string(r.feedback_rejected);
  j += ", \"stream_counters\": [";
  for (int i = 0; i < 7; ++i) j += (i ? ", " : "") + std::to_string(r.stream_counters[i]);
  j += "]";
  j += ", \"allocations_while_streaming\": " + std::to_string(r.allocations_while_streaming);
  j += std::string(", \"loopback_bit_exact\": ") +
       (r.loopback ? (r.loopback_bit_exact ? "true" : "false") : "null");
  j += ", \"max_render_delay_frames\": " + render_count(r.max_render_delay_frames);
  j += ", \"cpu_seconds\": " + number(r.cpu_seconds);
  j += ", \"capture_channels\": " + std::to_string(r.capture_channels);
  j += ", \"capture_format\": {\"channels\": " + std::to_string(r.capture_channels) +
       ", \"bits\": " + std::to_string(r.capture_bits) + ", \"rate\": " + std::to_string(r.capture_rate) +
       "}";
  j += ", \"loopback_frames_compared\": " + std::to_string(r.loopback_frames_compared);
  j += ", \"unit_render_underflows\": " + render_count(r.unit_render_underflows);
  j += ", \"render_bit_exact\": " + render_flag(r.render_bit_exact);
  j += ", \"unit_received_frames\": " + render_count(r.unit_received_frames);
  j += std::string(", \"render_only\": ") + (r.render_only ? "true" : "false");
  j += std::string(", \"capture_only\": ") + (r.capture_only ? "true" : "false");
  j += ", \"render_pacing\": " +
       (r.render_pacing.empty() ? std::string("null") : "\"" + r.render_pacing + "\"");
  j += ", \"wakeups_per_second\": " + number(r.wakeups_per_second);
  j += ", \"timer_runs_per_second\": " + number(r.timer_runs_per_second);
  j += "}";
  return j;
}

}  // namespace korvel::sim::devhost
