#include "bench_host.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>

#include "process.h"

namespace korvel::bench {
namespace {

struct Host {
  korvel::testing::Sandbox box;
  std::unique_ptr<korvel::testing::Child> child;
  Host() {
    box.apply();
    child = std::make_unique<korvel::testing::Child>(std::vector<std::string>{KORVEL_DEVHOST_BIN}, box.env());
    if (child->read_line(10000).rfind("ready ", 0) != 0) {
      std::fprintf(stderr, "korvel-devhost did not start: %s\n", child->stderr_text().c_str());
      std::abort();
    }
  }
};

Host* g_host = nullptr;  // started by the first benchmark that needs it

Host& host() {
  static Host* h = g_host = new Host;
  return *h;
}

// Hands every report to the display reporter and keeps the figures.
class Recorder : public benchmark::BenchmarkReporter {
 public:
  explicit Recorder(benchmark::BenchmarkReporter* display) : display_(display) {}
  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.iterations == 0) continue;
      Figures f;
      f.name = r.benchmark_name();
      const double to_us = 1e6 / double(r.iterations);
      f.real_us = r.real_accumulated_time * to_us;
      f.cpu_us = r.cpu_accumulated_time * to_us;
      for (const auto& [name, counter] : r.counters) f.counters[name] = counter.value;
      figures.push_back(std::move(f));
    }
    display_->ReportRuns(runs);
  }
  void Finalize() override { display_->Finalize(); }
  std::vector<Figures> figures;

 private:
  benchmark::BenchmarkReporter* display_;
};

}  // namespace

int host_pid() {
  return host().child->pid();
}

Client::Client() {
  host();
  vxdev_init(&dev);
  vxdev_reset(&dev);
  if (vxdev_open(&dev, &h)) std::abort();
}

std::u16string Client::private_path() const {
  std::u16string p(dev.path);
  return p.substr(0, p.rfind(u'\\')) + u"\\tarrow";
}

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

int run_benchmarks(int argc, char** argv, void (*summary)(const std::vector<Figures>&)) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The figures keep standard output; the library writes its diagnostic
  // lines there too, so from here on that descriptor is standard error's.
  std::fflush(stdout);
  int figures_fd = dup(STDOUT_FILENO);
  if (figures_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;
  __gnu_cxx::stdio_filebuf<char> figures_buf(figures_fd, std::ios::out);
  std::ostream figures(&figures_buf);
  std::unique_ptr<benchmark::BenchmarkReporter> display(benchmark::CreateDefaultDisplayReporter());
  display->SetOutputStream(&figures);
  display->SetErrorStream(&std::cerr);
  Recorder recorder(display.get());
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();
  figures.flush();
  if (summary) summary(recorder.figures);
  if (g_host) {  // the host would outlive the benchmarks otherwise
    g_host->child->command("quit");
    g_host->child->wait();
  }
  return 0;
}

}  // namespace korvel::bench
