// What tests may ask the WinVerifyTrust stand-in beyond the Windows API.
#ifndef KORVEL_SIM_WINTRUST_STANDIN_H
#define KORVEL_SIM_WINTRUST_STANDIN_H

#include <cstddef>

// Verification states handed out by WTD_STATEACTION_VERIFY and not yet
// released by WTD_STATEACTION_CLOSE (each one a leak on Windows).
size_t WinTrustOpenStates();

#endif
