// The control-request tunnel through the whole stack: the device library,
// the Windows stand-in's socket, korvel-devhost on the real clock, quenby's
// private dispatch, the USB control pipe and the unit, and back. Reports
// round trips per second with one and two clients and one meter fetch, and
// beside them the floor: one request and reply over a Unix socket to
// another process, which a transfer (open, device control, close) should
// stay within three times of. host_cpu_us is the host's CPU per transfer.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

Host* g_host = nullptr;  // started by the first benchmark that needs it

Host& host() {
  static Host* h = g_host = new Host;
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

// User plus system CPU of a process so far, in microseconds.
double cpu_us(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields 14 and 15, after the command name in parentheses.
  int n = std::fscanf(f, "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  std::fclose(f);
  return n == 2 ? double(utime + stime) * 1e6 / double(sysconf(_SC_CLK_TCK)) : 0;
}

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
  Client c;
  uint8_t reply[64];
  double before = state.thread_index() == 0 ? cpu_us(host().child->pid()) : 0;
  for (auto _ : state) {
    if (usbdevs_ctrl_in(c.h, 0x1E, 0, 0, 64, reply)) state.SkipWithError("transfer failed");
  }
  if (state.thread_index() == 0)
    state.counters["host_cpu_us"] = benchmark::Counter(
        (cpu_us(host().child->pid()) - before) / double(state.iterations() * uint64_t(state.threads())));
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
  if (g_host) {  // the host would outlive the benchmark otherwise
    g_host->child->command("quit");
    g_host->child->wait();
  }
  return 0;
}
