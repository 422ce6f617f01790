// User-mode Windows stand-in: the action of the Software Publisher trust
// provider from <softpub.h>, as the Windows SDK declares it.
#ifndef KORVEL_SIM_SOFTPUB_H
#define KORVEL_SIM_SOFTPUB_H

#include <wintrust.h>

// Authenticode verification of a file: its signature, the signer's
// certificate chain to a trusted root, and the Authenticode policy.
#define WINTRUST_ACTION_GENERIC_VERIFY_V2           \
  {                                                 \
    0xaac56b, 0xcd44, 0x11d0, {                     \
      0x8c, 0xc2, 0x0, 0xc0, 0x4f, 0xc2, 0x95, 0xee \
    }                                               \
  }

#endif
