// The streaming figures: korvel-devhost --stream runs of the reference cases
// on the virtual clock, each printed as its report (one JSON line), with the
// CPU seconds per second of streamed audio. Usage: stream_figures [SECONDS].
// With --wall-clock [SECONDS] (default 30) it plays instead what the serving
// host plays with --play-audio (Tarrow, the music-like signal, render only)
// on the wall clock and prints the process's CPU in percent of one core and
// its wake-ups a second, then the report.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/clock.h"
#include "ks_client.h"

using namespace korvel::sim;
using namespace korvel::sim::devhost;

namespace {

int wall_clock(double seconds) {
  Clock::instance().set_mode(ClockMode::Real);
  StreamOptions o;
  o.seconds = seconds;
  o.music = true;
  o.render_only = true;
  StreamReport r;
  std::string error;
  const bool ok = run_stream_session(o, &r, &error);
  if (!ok) std::fprintf(stderr, "Tarrow on the wall clock: %s\n", error.c_str());
  std::printf(
      "Tarrow music, render only, on the wall clock for %.1f s: cpu %.2f %% of one core, "
      "%.0f wake-ups/s, %.0f timer runs/s, %llu underruns, %llu allocations, bit-exact %s\n%s\n",
      r.simulated_seconds, 100.0 * r.cpu_seconds / r.simulated_seconds, r.wakeups_per_second,
      r.timer_runs_per_second, static_cast<unsigned long long>(r.underrun_events),
      static_cast<unsigned long long>(r.allocations_while_streaming), r.render_bit_exact ? "yes" : "no",
      stream_report_json(r).c_str());
  return ok && r.underrun_events == 0 && r.render_bit_exact ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--wall-clock") == 0)
    return wall_clock(argc > 2 ? std::atof(argv[2]) : 30);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  struct Case {
    const char* name;
    const char* model;
    bool high_speed;
    uint32_t channels, bits, rate;
  } cases[] = {
      {"Tarrow largest format", "Tarrow", true, 0, 0, 48000},
      {"Far Link 192 kHz", "Far Link", true, 0, 0, 192000},
      {"full speed 2:24:48000", "Tarrow", false, 2, 24, 48000},
  };
  int failures = 0;
  for (const Case& c : cases) {
    for (double drift : {0.0, 1000.0, -1000.0}) {
      Clock::instance().set_mode(ClockMode::Virtual);
      StreamOptions o;
      o.seconds = seconds;
      o.model = c.model;
      o.high_speed = c.high_speed;
      o.channels = c.channels;
      o.bits = c.bits;
      o.rate = c.rate;
      o.drift_ppm = drift;
      o.loopback = true;
      StreamReport r;
      std::string error;
      if (!run_stream_session(o, &r, &error)) {
        std::fprintf(stderr, "%s: %s\n", c.name, error.c_str());
        ++failures;
      }
      std::printf("%s, drift %+g ppm: cpu %.4f s per streamed s\n%s\n", c.name, drift,
                  r.cpu_seconds / r.simulated_seconds, stream_report_json(r).c_str());
      std::fflush(stdout);
    }
  }
  return failures == 0 ? 0 : 1;
}
