// korvel-devhost --inspect FILE [--rates R1,R2,...] [--rate-range MIN:MAX:RES]
// [--speed high|full]:
// runs quenby's start on a simulated device built from the raw configuration
// descriptor in FILE (binary, or hex text) and prints one JSON object.
#ifndef KORVEL_SIM_DEVHOST_INSPECT_H
#define KORVEL_SIM_DEVHOST_INSPECT_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver_stack.h"
#include "options.h"

namespace korvel::sim::devhost {

// Takes the whole command line (argv[0] included). Prints the JSON object on
// standard output and diagnostics on standard error. Returns 0 when the
// device was accepted, 1 when it was refused, 2 when the file cannot be read
// or the options are wrong.
int run_inspect(int argc, char** argv);

// The JSON object of a start report.
std::string report_json(const StartReport& report);

}  // namespace korvel::sim::devhost

#endif
