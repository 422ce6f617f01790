// What the tunnel benchmarks share: a korvel-devhost of their own (its own
// process, on the real clock, in a private sandbox), a client of the device
// library on it, a process's CPU time, and a main that honours Google
// Benchmark's flags while the library's diagnostic lines stay out of the
// figures.
#ifndef KORVEL_DEVHOST_BENCH_HOST_H
#define KORVEL_DEVHOST_BENCH_HOST_H

#include <map>
#include <string>
#include <vector>

#include "vxctl.h"

namespace korvel::bench {

// The host's process id; the host starts on first use and quits when
// run_benchmarks() ends.
int host_pid();

// A device-library client on the host: the selected unit's handle.
struct Client {
  Client();
  vxdev_t dev;
  usbdevs_handle h = nullptr;
  // The private interface's path, as the library opens it.
  std::u16string private_path() const;
};

// User plus system CPU of a process so far, in microseconds.
double cpu_us(int pid);

// One benchmark's figures, per iteration, in microseconds.
struct Figures {
  std::string name;
  double real_us = 0;
  double cpu_us = 0;
  std::map<std::string, double> counters;
};

// Parses the benchmark flags (--benchmark_format=json, --benchmark_out=...,
// --benchmark_filter=...), runs the benchmarks with their figures on
// standard output (the library's diagnostics go to standard error), and
// stops the host. `summary`, when given, is called with every benchmark's
// figures at the end (for lines on standard error).
int run_benchmarks(int argc, char** argv, void (*summary)(const std::vector<Figures>&) = nullptr);

}  // namespace korvel::bench

#endif
