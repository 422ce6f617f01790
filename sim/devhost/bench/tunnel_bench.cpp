// The control-request tunnel through the whole stack: the device library,
// the Windows stand-in's socket, korvel-devhost on the real clock in a
// process of its own, quenby's private dispatch, the USB control pipe and
// the unit, and back. Reports transfers per second with one and two clients
// and one meter fetch, and beside them the floor: one request and reply over
// a Unix socket to another process, which a transfer (open, device control,
// close) should stay within twice of. host_cpu_us is the host's CPU per
// transfer, peer_cpu_us the floor's. The figures follow Google Benchmark's
// flags (--benchmark_format=json, --benchmark_out=FILE); a summary of the
// transfer against the floor goes to standard error.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_host.h"

namespace {

using korvel::bench::cpu_us;
using korvel::bench::host_pid;

// The floor: a 20-byte request and a 64-byte reply over a Unix stream socket
// to another process that answers at once.
void BM_UnixSocketRequestReplyFloor(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
  pid_t child = fork();
  if (child == 0) {
    close(sv[0]);
    uint8_t buf[64] = {};
    while (recv(sv[1], buf, 20, MSG_WAITALL) == 20)
      if (send(sv[1], buf, 64, MSG_NOSIGNAL) != 64) break;
    _exit(0);
  }
  close(sv[1]);
  uint8_t req[20] = {1}, reply[64];
  double before = cpu_us(child);
  for (auto _ : state) {
    if (send(sv[0], req, 20, MSG_NOSIGNAL) != 20 || recv(sv[0], reply, 64, MSG_WAITALL) != 64)
      state.SkipWithError("echo failed");
  }
  state.counters["peer_cpu_us"] = benchmark::Counter((cpu_us(child) - before) / double(state.iterations()));
  close(sv[0]);
  waitpid(child, nullptr, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnixSocketRequestReplyFloor)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One 64-byte device-to-host request (request 0x1E): open, tunnel, close.
void BM_TunnelRoundTrip(benchmark::State& state) {
  korvel::bench::Client c;
  uint8_t reply[64];
  double before = state.thread_index() == 0 ? cpu_us(host_pid()) : 0;
  for (auto _ : state) {
    if (usbdevs_ctrl_in(c.h, 0x1E, 0, 0, 64, reply)) state.SkipWithError("transfer failed");
  }
  if (state.thread_index() == 0)
    state.counters["host_cpu_us"] = benchmark::Counter(
        (cpu_us(host_pid()) - before) / double(state.iterations() * uint64_t(state.threads())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TunnelRoundTrip)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_TarrowMeterFetchThroughQuenby(benchmark::State& state) {
  korvel::bench::Client c;
  vxctl_meter_t recs[VXCTL_METER_RECORDS_TARROW];
  for (auto _ : state) {
    uint8_t n = 0;
    if (vxctl_get_meter(&c.h, recs, VXCTL_METER_RECORDS_TARROW, &n) || n != VXCTL_METER_RECORDS_TARROW)
      state.SkipWithError("meter fetch failed");
  }
}
BENCHMARK(BM_TarrowMeterFetchThroughQuenby)->UseRealTime()->Unit(benchmark::kMillisecond);

// One transfer against the floor measured in the same run.
void summarize(const std::vector<korvel::bench::Figures>& all) {
  const korvel::bench::Figures *floor = nullptr, *transfer = nullptr;
  for (const auto& f : all) {
    if (f.name.rfind("BM_UnixSocketRequestReplyFloor", 0) == 0) floor = &f;
    if (f.name.rfind("BM_TunnelRoundTrip", 0) == 0 && f.name.find("threads:1") != std::string::npos)
      transfer = &f;
  }
  if (!floor || !transfer || floor->real_us <= 0 || floor->cpu_us <= 0) return;
  const double peer = floor->counters.count("peer_cpu_us") ? floor->counters.at("peer_cpu_us") : 0;
  const double host = transfer->counters.count("host_cpu_us") ? transfer->counters.at("host_cpu_us") : 0;
  std::fprintf(
      stderr,
      "transfer against the floor: latency %.1f us / %.1f us = %.2f x; client CPU %.1f us / %.1f us = "
      "%.2f x; host CPU %.1f us / %.1f us = %.2f x\n",
      transfer->real_us, floor->real_us, transfer->real_us / floor->real_us, transfer->cpu_us, floor->cpu_us,
      transfer->cpu_us / floor->cpu_us, host, peer, peer > 0 ? host / peer : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  return korvel::bench::run_benchmarks(argc, argv, summarize);
}
