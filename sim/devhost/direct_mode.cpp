#include "direct_mode.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "direct_client.h"
#include "driver_stack.h"
#include "kernel/clock.h"
#include "kernel/verifier.h"
#include "options.h"
#include "unit.h"

namespace korvel::devhost {
namespace {

using sim::Clock;

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The private interface through the driver's own dispatch.
class DriverChannel : public ControlChannel {
 public:
  explicit DriverChannel(std::unique_ptr<sim::devhost::DriverFile> f) : file_(std::move(f)) {}
  uint32_t ioctl(uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
                 uint32_t* information) override {
    uint64_t info = 0;
    int32_t status = file_->ioctl(code, in, in_len, out, out_len, &info);
    *information = uint32_t(info);
    return uint32_t(status);
  }

 private:
  std::unique_ptr<sim::devhost::DriverFile> file_;
};

struct Options {
  double seconds = 0;
  DirectFormat format;
  bool loopback = false;
  std::string report;
  std::string model = "Tarrow";
  bool high_speed = true;
  std::string clock = "virtual";
};

// Allocations the driver made under its own tags (the I/O manager's IRPs and
// buffers for the client's requests are not the driver's).
uint64_t driver_allocations() {
  return sim::verifier::pool_usage(sim::verifier::tag("ac2m")).total +
         sim::verifier::pool_usage(sim::verifier::tag("ac2d")).total;
}

int bad(const std::string& why) {
  std::fprintf(stderr, "korvel-devhost: %s\n", why.c_str());
  return 2;
}

std::string report_json(const Options& o, const DirectClientResult& r, double simulated, uint64_t allocations,
                        double cpu, const sim::AudioCounters& unit) {
  std::ostringstream j;
  j << "{\"simulated_seconds\": " << simulated << ", \"format\": {\"channels\": " << r.format.channels
    << ", \"bits\": " << r.format.bits << ", \"rate\": " << r.format.rate << "}, \"speed\": \""
    << (o.high_speed ? "high" : "full") << "\", \"drift_ppm\": 0, \"rendered_frames\": " << r.rendered_frames
    << ", \"captured_frames\": " << r.captured_frames
    << ", \"underrun_events\": " << r.counters[0] / 8  // counters cleared once primed
    << ", \"late_starts\": {\"render\": " << r.counters[1] / 8 << ", \"capture\": " << r.counters[3] / 8
    << ", \"feedback\": " << r.counters[5] / 8 << "}, \"stream_counters\": [";
  for (int i = 0; i < 7; ++i) j << (i ? ", " : "") << r.counters[i];
  j << "], \"allocations_while_streaming\": " << allocations << ", \"loopback_bit_exact\": "
    << (r.loopback_bit_exact < 0 ? "null"
        : r.loopback_bit_exact   ? "true"
                                 : "false")
    << ", \"max_render_delay_frames\": " << r.max_render_delay_frames << ", \"cpu_seconds\": " << cpu
    << ", \"unit_render_underflows\": " << unit.render_underflows
    << ", \"unit_received_frames\": " << unit.render_frames_received
    << ", \"ok\": " << (r.ok ? "true" : "false");
  if (!r.ok) j << ", \"error\": \"" << r.error << "\"";
  j << "}";
  return j.str();
}

}  // namespace

int run_direct_mode(int argc, char** argv) {
  Options o;
  sim::devhost::UnitOptions unit;
  sim::devhost::ArgReader args(argc, argv);
  sim::devhost::PcmFormat format;
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "--direct-client") {
      args.seconds(&o.seconds);
    } else if (a == "--format") {
      if (args.format(&format))
        o.format = DirectFormat{uint16_t(format.channels), uint16_t(format.bits), format.rate};
    } else if (a == "--loopback") {
      o.loopback = true;
    } else if (a == "--report") {
      args.value(&o.report);
    } else if (!args.shared(&unit)) {
      args.fail("unknown option " + a + " for --direct-client");
    }
  }
  if (args.failed()) return bad(args.error());
  std::string why;
  if (!unit.descriptor_file.empty() && !sim::devhost::load_descriptor(&unit, &why)) return bad(why);
  o.model = unit.model;
  o.high_speed = unit.high_speed;
  o.clock = unit.clock.empty() ? "virtual" : unit.clock;
  sim::Model model;
  if (!sim::model_from_name(o.model, &model)) return bad("unknown model \"" + o.model + "\"");
  Clock& clock = Clock::instance();
  clock.set_mode(o.clock == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual);

  DirectClientResult result;
  sim::AudioCounters unit_counters;
  double simulated = 0, cpu = 0;
  uint64_t allocations = 0;
  {
    sim::Unit device_unit(model, [] { return Clock::instance().now_ns() / 1000; });
    // Before the stack: a model's unit of implicit feedback has descriptors of its own.
    device_unit.audio().set_feedback_format(unit.feedback_format);
    std::unique_ptr<sim::devhost::DriverStack> owned =
        unit.descriptor.empty() ? std::make_unique<sim::devhost::DriverStack>(device_unit, o.high_speed)
                                : std::make_unique<sim::devhost::DriverStack>(device_unit, o.high_speed,
                                                                              unit.descriptor, unit.rates);
    if (unit.unit_quirks) device_unit.set_quirks(unit.quirks_seed, false);
    sim::devhost::DriverStack& stack = *owned;
    stack.set_loopback(o.loopback);
    std::string why;
    if (!stack.plug(&why)) {
      std::fprintf(stderr, "korvel-devhost: quenby refused the unit: %s\n", why.c_str());
      return 1;
    }
    std::unique_ptr<sim::devhost::DriverFile> file;
    int32_t status = stack.open(u"\\tarrow", &file);
    if (status < 0) {
      std::fprintf(stderr, "korvel-devhost: cannot open the private interface (status %#x)\n",
                   unsigned(status));
      stack.unplug();
      return 1;
    }
    DriverChannel channel(std::move(file));
    ClientClock cc = sim::devhost::simulated_client_clock();
    cc.allocations = driver_allocations;
    DirectClientOptions options;
    options.seconds = o.seconds;
    options.format = o.format;
    options.loopback = o.loopback;
    const double cpu_start = process_cpu_seconds();
    const uint64_t start_ns = clock.now_ns();
    // The unit's counters and the simulated time as the window closes, as
    // the driver's counters are: what the unit receives and misses after
    // the client stops writing (the ring draining, then silence until the
    // stop arrives, however long the simulated clock runs meanwhile) is no
    // part of the run.
    uint64_t window_end_ns = 0;
    options.at_window_end = [&] {
      unit_counters = stack.audio_counters();
      window_end_ns = clock.now_ns();
    };
    result = run_direct_client(channel, options, cc);
    allocations = result.allocations_while_streaming;
    simulated = double((window_end_ns != 0 ? window_end_ns : clock.now_ns()) - start_ns) / 1e9;
    cpu = process_cpu_seconds() - cpu_start;
    // The channel (and its handle) closes before the unit goes away.
  }
  std::string json = report_json(o, result, simulated, allocations, cpu, unit_counters) + "\n";
  if (o.report.empty()) {
    std::fputs(json.c_str(), stdout);
  } else {
    std::ofstream out(o.report, std::ios::trunc);
    out << json;
    if (!out) {
      std::fprintf(stderr, "korvel-devhost: cannot write %s\n", o.report.c_str());
      return 1;
    }
  }
  if (!result.ok) {
    std::fprintf(stderr, "korvel-devhost: %s\n", result.error.c_str());
    return 1;
  }
  return (o.loopback && result.loopback_bit_exact != 1) ? 1 : 0;
}

}  // namespace korvel::devhost
