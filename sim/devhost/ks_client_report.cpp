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
  std::string j = "{";
  j += "\"simulated_seconds\": " + number(r.simulated_seconds);
  j += ", \"format\": {\"channels\": " + std::to_string(r.channels) +
       ", \"bits\": " + std::to_string(r.bits) + ", \"rate\": " + std::to_string(r.rate) + "}";
  j += std::string(", \"speed\": \"") + (r.high_speed ? "high" : "full") + "\"";
  j += ", \"drift_ppm\": " + number(r.drift_ppm);
  j += ", \"rendered_frames\": " + std::to_string(r.rendered_frames);
  j += ", \"captured_frames\": " + std::to_string(r.captured_frames);
  j += ", \"underrun_events\": " + std::to_string(r.underrun_events);
  j += ", \"late_starts\": {\"render\": " + std::to_string(r.late_render) +
       ", \"capture\": " + std::to_string(r.late_capture) +
       ", \"feedback\": " + std::to_string(r.late_feedback) + "}";
  j += std::string(", \"feedback_validated\": ") + (r.feedback_validated ? "true" : "false");
  j += ", \"feedback_rejected\": " + std::to_string(r.feedback_rejected);
  j += ", \"stream_counters\": [";
  for (int i = 0; i < 7; ++i) j += (i ? ", " : "") + std::to_string(r.stream_counters[i]);
  j += "]";
  j += ", \"allocations_while_streaming\": " + std::to_string(r.allocations_while_streaming);
  j += std::string(", \"loopback_bit_exact\": ") +
       (r.loopback ? (r.loopback_bit_exact ? "true" : "false") : "null");
  j += ", \"max_render_delay_frames\": " + std::to_string(r.max_render_delay_frames);
  j += ", \"cpu_seconds\": " + number(r.cpu_seconds);
  j += ", \"capture_channels\": " + std::to_string(r.capture_channels);
  j += ", \"capture_format\": {\"channels\": " + std::to_string(r.capture_channels) +
       ", \"bits\": " + std::to_string(r.capture_bits) + ", \"rate\": " + std::to_string(r.capture_rate) +
       "}";
  j += ", \"loopback_frames_compared\": " + std::to_string(r.loopback_frames_compared);
  j += ", \"unit_render_underflows\": " + std::to_string(r.unit_render_underflows);
  j += std::string(", \"render_bit_exact\": ") + (r.render_bit_exact ? "true" : "false");
  j += ", \"unit_received_frames\": " + std::to_string(r.unit_received_frames);
  j += std::string(", \"render_only\": ") + (r.render_only ? "true" : "false");
  j += ", \"wakeups_per_second\": " + number(r.wakeups_per_second);
  j += ", \"timer_runs_per_second\": " + number(r.timer_runs_per_second);
  j += "}";
  return j;
}

}  // namespace korvel::sim::devhost
