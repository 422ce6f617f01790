// The command line of korvel-devhost --stream; the session, its signals,
// WAV files and report live in the ks_client_*.cpp files beside this one.
#include "ks_client.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "kernel/clock.h"
#include "options.h"

namespace korvel::sim::devhost {

std::string exactness_failure(const StreamReport& r) {
  std::string why;
  if (!r.render_bit_exact && !r.capture_only) {
    why = "render is not bit-exact: the unit received " + std::to_string(r.unit_received_frames) + " frames";
    if (r.render_first_mismatch != UINT64_MAX)
      why += ", the first one differing at frame " + std::to_string(r.render_first_mismatch);
    if (r.unit_render_underflows != 0)
      why += ", and its output ran dry " + std::to_string(r.unit_render_underflows) + " times";
  }
  if (r.loopback && !r.loopback_bit_exact) {
    if (!why.empty()) why += "; ";
    why += "loopback is not bit-exact (" + std::to_string(r.loopback_frames_compared) + " frames compared)";
  }
  return why;
}

int run_stream(int argc, char** argv) {
  StreamOptions o;
  std::string report_file;
  UnitOptions unit;
  ArgReader args(argc, argv);
  PcmFormat format, capture;
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "--stream") {
      args.seconds(&o.seconds);
    } else if (a == "--format") {
      if (args.format(&format)) {
        o.channels = format.channels;
        o.bits = format.bits;
        o.rate = format.rate;
      }
    } else if (a == "--capture-format") {
      if (args.format(&capture)) {
        o.capture_channels = capture.channels;
        o.capture_bits = capture.bits;
        o.capture_rate = capture.rate;
      }
    } else if (a == "--play") {
      args.value(&o.play);
    } else if (a == "--record") {
      args.value(&o.record);
    } else if (a == "--drift-ppm") {
      args.real(-10000, 10000, &o.drift_ppm, "parts per million (-10000 to 10000)");
    } else if (a == "--loopback") {
      o.loopback = true;
    } else if (a == "--render-only") {
      o.render_only = true;
    } else if (a == "--capture-only") {
      o.capture_only = true;
    } else if (a == "--report") {
      args.value(&report_file);
    } else if (!args.shared(&unit)) {
      args.fail("unknown option " + a + " for --stream");
    }
  }
  std::string why;
  if (!args.failed() && !unit.descriptor_file.empty()) load_descriptor(&unit, &why);
  if (args.failed() || !why.empty()) {
    std::fprintf(stderr, "korvel-devhost: %s\n", args.failed() ? args.error().c_str() : why.c_str());
    return 2;
  }
  o.model = unit.model;
  o.high_speed = unit.high_speed;
  o.descriptor = unit.descriptor;
  o.rates = unit.rates;
  o.feedback_format = unit.feedback_format;
  o.unit_quirks = unit.unit_quirks;
  o.quirks_seed = unit.quirks_seed;
  const std::string clock_mode = unit.clock.empty() ? "virtual" : unit.clock;
  Clock::instance().set_mode(clock_mode == "real" ? ClockMode::Real : ClockMode::Virtual);
  StreamReport report;
  std::string error;
  bool ok = run_stream_session(o, &report, &error);
  // A run that did not deliver exactly what was played failed too.
  if (ok) error = exactness_failure(report);
  if (ok && report.rendered_frames != 0 && report.render_pacing == "feedback" && !report.feedback_validated) {
    std::fprintf(
        stderr,
        "korvel-devhost: the unit's feedback never validated (%llu packets refused): render ran open "
        "loop\n",
        static_cast<unsigned long long>(report.feedback_rejected));
  }
  if (!error.empty()) {
    ok = false;
    std::fprintf(stderr, "korvel-devhost: %s\n", error.c_str());
  }
  const std::string json = stream_report_json(report) + "\n";
  if (report_file.empty()) {
    std::fputs(json.c_str(), stdout);
  } else {
    std::ofstream out(report_file, std::ios::trunc);
    out << json;
    if (!out) {
      std::fprintf(stderr, "korvel-devhost: cannot write %s\n", report_file.c_str());
      return 1;
    }
  }
  return ok ? 0 : 1;
}

}  // namespace korvel::sim::devhost
