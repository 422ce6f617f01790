// What one meter fetch costs through the Windows stand-in and the host, and
// what the device library adds to each transfer beyond the socket round trip.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "driver_hooks.h"
#include "kernel/clock.h"
#include "published_device.h"
#include "server.h"
#include "vxctl.h"

using namespace korvel;

namespace {

struct Host {
  std::string dir;
  devhost::DriverSlot slot;
  devhost::PublishedDevice device{sim::Model::Tarrow, devhost::driver_hooks(&slot, true)};
  devhost::Server server{device};
  std::thread thread;
  Host() {
    sim::Clock::instance().set_mode(sim::ClockMode::Real);
    dir = "/tmp/korvel-bench-XXXXXX";
    if (!mkdtemp(dir.data())) std::abort();
    device.start();
    std::string path = dir + "/host.sock";
    setenv("KORVEL_DEVHOST_SOCKET", path.c_str(), 1);
    std::string error;
    if (!server.listen_on(path, &error)) std::abort();
    thread = std::thread([this] { server.run(); });
  }
  ~Host() {
    server.stop();
    thread.join();
    rmdir(dir.c_str());
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

void BM_TarrowMeterFetch(benchmark::State& state) {
  Client c;
  vxctl_meter_t recs[97];
  uint64_t before = host().device.transfer_count();
  for (auto _ : state) {
    uint8_t n = 0;
    if (vxctl_get_meter(&c.h, recs, 97, &n) || n != 97) state.SkipWithError("meter fetch failed");
    benchmark::DoNotOptimize(recs);
  }
  state.counters["transfers_per_fetch"] =
      double(host().device.transfer_count() - before) / double(state.iterations());
}
BENCHMARK(BM_TarrowMeterFetch)->Unit(benchmark::kMillisecond);

uint8_t g_record[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};

// The stand-in alone: open, one 64-byte device-to-host request, close.
void BM_StandInOpenIoctlClose(benchmark::State& state) {
  Client c;
  std::u16string path = host().device.interface_path();
  path = path.substr(0, path.rfind(u'\\')) + u"\\tarrow";
  uint8_t reply[64];
  for (auto _ : state) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    if (!DeviceIoControl(f, 0x222000, g_record, 20, reply, 64, &got, nullptr)) state.SkipWithError("ioctl");
    CloseHandle(f);
  }
}
BENCHMARK(BM_StandInOpenIoctlClose)->Unit(benchmark::kMicrosecond);

// One request on a handle that stays open: the socket round trip itself.
void BM_StandInIoctlOnly(benchmark::State& state) {
  Client c;
  std::u16string path = host().device.interface_path();
  path = path.substr(0, path.rfind(u'\\')) + u"\\tarrow";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  uint8_t reply[64];
  for (auto _ : state) {
    DWORD got = 0;
    if (!DeviceIoControl(f, 0x222000, g_record, 20, reply, 64, &got, nullptr)) state.SkipWithError("ioctl");
  }
  CloseHandle(f);
}
BENCHMARK(BM_StandInIoctlOnly)->Unit(benchmark::kMicrosecond);

// The library's transfer: the same work plus its record building and checks.
void BM_LibraryCtrlIn(benchmark::State& state) {
  Client c;
  uint8_t reply[64];
  for (auto _ : state) {
    if (usbdevs_ctrl_in(c.h, 0x1E, 0, 0, 64, reply)) state.SkipWithError("ctrl_in");
  }
}
BENCHMARK(BM_LibraryCtrlIn)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
