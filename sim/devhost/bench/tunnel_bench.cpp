// The control-request tunnel through the whole stack: the device library,
// the Windows stand-in's socket, korvel-devhost on the real clock, quenby's
// private dispatch, the USB control pipe and the unit, and back. Reports
// round trips per second with one and two clients and one meter fetch.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <iostream>
#include <memory>
#include <string>

#include "process.h"
#include "vxctl.h"

namespace {

struct Host {
  korvel::testing::Sandbox box;
  std::unique_ptr<korvel::testing::Child> child;
  Host() {
    box.apply();
    child = std::make_unique<korvel::testing::Child>(std::vector<std::string>{KORVEL_DEVHOST_BIN}, box.env());
    if (child->read_line(10000).rfind("ready ", 0) != 0) std::abort();
  }
};

Host& host() {
  static Host* h = new Host;
  return *h;
}

struct Client {
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  Client() {
    host();
    vxdev_init(&dev);
    vxdev_reset(&dev);
    if (vxdev_open(&dev, &h)) std::abort();
  }
};

// One 64-byte device-to-host request (request 0x1E): open, tunnel, close.
void BM_TunnelRoundTrip(benchmark::State& state) {
  Client c;
  uint8_t reply[64];
  for (auto _ : state) {
    if (usbdevs_ctrl_in(c.h, 0x1E, 0, 0, 64, reply)) state.SkipWithError("transfer failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TunnelRoundTrip)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_TarrowMeterFetchThroughQuenby(benchmark::State& state) {
  Client c;
  vxctl_meter_t recs[97];
  for (auto _ : state) {
    uint8_t n = 0;
    if (vxctl_get_meter(&c.h, recs, 97, &n) || n != 97) state.SkipWithError("meter fetch failed");
  }
}
BENCHMARK(BM_TarrowMeterFetchThroughQuenby)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The library's diagnostics would drown the figures.
  if (!freopen("/dev/null", "w", stdout)) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return 0;
}
