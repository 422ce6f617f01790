// Meter layouts and the signals the unit meters: generated programme material
// on the analog inputs and the mixes that the unit's outputs and returns carry.
#ifndef KORVEL_SIM_UNIT_METERS_H
#define KORVEL_SIM_UNIT_METERS_H

#include <cstdint>

#include "unit.h"

namespace korvel::sim::detail {

constexpr uint16_t kMeterFullScale = 32767;  // level = 32767 * 10^(dB/20)

// Analog inputs of the model (the length of its type-4 block).
int analog_inputs(Model m);
// The input that carries nothing, and the one driven into clipping.
int silent_input(Model m);
int clipping_input(Model m);

// Level of meter (type, number) at time t_us. A pure function of its
// arguments: bit k-1 of `muted_inputs` removes analog input k from every mix
// (the input's own meter still shows it).
uint16_t meter_level(Model m, uint8_t type, uint8_t number, uint64_t t_us, uint32_t muted_inputs);

}  // namespace korvel::sim::detail

#endif
