// The streaming figures: korvel-devhost --stream runs of the reference cases
// on the virtual clock, each printed as its report (one JSON line), with the
// CPU seconds per second of streamed audio. Usage: stream_figures [SECONDS].
#include <cstdio>
#include <cstdlib>

#include "kernel/clock.h"
#include "ks_client.h"

using namespace korvel::sim;
using namespace korvel::sim::devhost;

int main(int argc, char** argv) {
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
