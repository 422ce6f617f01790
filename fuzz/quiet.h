// Fuzz targets call quiet_diagnostics() first: the code under test writes
// diagnostic lines to standard output for every failure it meets, and a
// fuzzer that prints them spends its time formatting text instead of
// trying inputs. libFuzzer's own reports go to standard error and stay.
#ifndef KORVEL_FUZZ_QUIET_H
#define KORVEL_FUZZ_QUIET_H

#include <cstdio>

namespace korvel::fuzz {

inline void quiet_diagnostics() {
  static const bool done = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)done;
}

}  // namespace korvel::fuzz

#endif
