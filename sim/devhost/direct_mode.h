// korvel-devhost --direct-client SECONDS [--format CH:BITS:RATE] [--loopback]
// [--report FILE]: the direct-mode client streams through quenby's private
// interface on the virtual clock and writes its report.
#ifndef KORVEL_DEVHOST_DIRECT_MODE_H
#define KORVEL_DEVHOST_DIRECT_MODE_H

namespace korvel::devhost {

// Takes the whole command line. 0 when the run succeeded (and, with
// --loopback, was bit-exact), 1 on any failure, 2 for bad options.
int run_direct_mode(int argc, char** argv);

}  // namespace korvel::devhost

#endif
