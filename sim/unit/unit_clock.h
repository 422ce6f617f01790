// What the unit's clock sources offer: the sampling frequencies a GET RANGE
// of their frequency control reports, as discrete rates and as subranges
// (dMIN, dMAX, dRES; a discrete rate is a subrange with dMIN = dMAX).
#ifndef KORVEL_SIM_UNIT_CLOCK_H
#define KORVEL_SIM_UNIT_CLOCK_H

#include <cstdint>
#include <utility>
#include <vector>

namespace korvel::sim {

struct RateRange {
  uint32_t min = 0;
  uint32_t max = 0;
  uint32_t res = 0;  // 0 or 1: every rate from min to max
  // Whether `rate` lies in the range and on its grid.
  bool holds(uint32_t rate) const {
    if (rate < min || rate > max) return false;
    return res <= 1 || (rate - min) % res == 0;
  }
};

struct ClockRates {
  std::vector<uint32_t> rates;    // discrete rates, in the order reported
  std::vector<RateRange> ranges;  // then these subranges
  ClockRates() = default;
  ClockRates(std::vector<uint32_t> discrete) : rates(std::move(discrete)) {}  // NOLINT: a rate list is one
  bool empty() const { return rates.empty() && ranges.empty(); }
  // The subranges as GET RANGE reports them: the discrete rates first; 44100
  // and 48000 when nothing was given.
  std::vector<RateRange> subranges() const {
    std::vector<RateRange> out;
    const std::vector<uint32_t> fallback = {44100, 48000};
    for (uint32_t r : empty() ? fallback : rates) out.push_back(RateRange{r, r, 0});
    out.insert(out.end(), ranges.begin(), ranges.end());
    return out;
  }
};

}  // namespace korvel::sim

#endif
