// What one meter fetch costs through the Windows stand-in and korvel-devhost,
// and what the device library adds to each transfer beyond the stand-in's
// own open, device control and close. Takes Google Benchmark's flags.
#include <benchmark/benchmark.h>
#include <windows.h>

#include "bench_host.h"
#include "host_link.h"
#include "quenby_ioctl.h"

namespace {

using korvel::bench::Client;

void BM_TarrowMeterFetch(benchmark::State& state) {
  Client c;
  vxctl_meter_t recs[VXCTL_METER_RECORDS_TARROW];
  const uint64_t before = korvel::win32::link_stats().sends;
  for (auto _ : state) {
    uint8_t n = 0;
    if (vxctl_get_meter(&c.h, recs, VXCTL_METER_RECORDS_TARROW, &n) || n != VXCTL_METER_RECORDS_TARROW)
      state.SkipWithError("meter fetch failed");
    benchmark::DoNotOptimize(recs);
  }
  // Each transfer is one request sent to the host.
  state.counters["transfers_per_fetch"] =
      double(korvel::win32::link_stats().sends - before) / double(state.iterations());
}
BENCHMARK(BM_TarrowMeterFetch)->Unit(benchmark::kMillisecond);

uint8_t g_record[20] = {1, 0, 0, 0, 0, 0, 0, 0, 23, 0, 0, 0, 0, 0, 0, 0x1E};

// The stand-in alone: open, one 64-byte device-to-host request, close.
void BM_StandInOpenIoctlClose(benchmark::State& state) {
  Client c;
  std::u16string path = c.private_path();
  uint8_t reply[64];
  for (auto _ : state) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    if (!DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, g_record, 20, reply, 64, &got, nullptr))
      state.SkipWithError("ioctl");
    CloseHandle(f);
  }
}
BENCHMARK(BM_StandInOpenIoctlClose)->Unit(benchmark::kMicrosecond);

// One request on a handle that stays open.
void BM_StandInIoctlOnly(benchmark::State& state) {
  Client c;
  std::u16string path = c.private_path();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  uint8_t reply[64];
  for (auto _ : state) {
    DWORD got = 0;
    if (!DeviceIoControl(f, IOCTL_QUENBY_TUNNEL, g_record, 20, reply, 64, &got, nullptr))
      state.SkipWithError("ioctl");
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

int main(int argc, char** argv) {
  return korvel::bench::run_benchmarks(argc, argv);
}
