// User-mode stand-in for <sdkddkver.h>: the Windows version a build targets.
// As in the Windows SDK, NTDDI_VERSION follows _WIN32_WINNT when only that is
// given, and both default to the newest version the headers know (here
// Windows 10); a build for Windows 7 sets _WIN32_WINNT to 0x0601 or
// NTDDI_VERSION to NTDDI_WIN7, and the headers then leave out what came later.
#ifndef KORVEL_SIM_SDKDDKVER_H
#define KORVEL_SIM_SDKDDKVER_H

#define _WIN32_WINNT_WIN2K 0x0500
#define _WIN32_WINNT_WINXP 0x0501
#define _WIN32_WINNT_VISTA 0x0600
#define _WIN32_WINNT_WIN7 0x0601
#define _WIN32_WINNT_WIN8 0x0602
#define _WIN32_WINNT_WINBLUE 0x0603
#define _WIN32_WINNT_WIN10 0x0A00

#define NTDDI_WIN2K 0x05000000
#define NTDDI_WINXP 0x05010000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000

#define OSVERSION_MASK 0xFFFF0000U
#define SPVERSION_MASK 0x0000FF00
#define SUBVERSION_MASK 0x000000FF
#define OSVER(Version) ((Version)&OSVERSION_MASK)
#define SPVER(Version) (((Version)&SPVERSION_MASK) >> 8)
#define SUBVER(Version) ((Version)&SUBVERSION_MASK)

#if !defined(_WIN32_WINNT) && !defined(NTDDI_VERSION)
#define _WIN32_WINNT _WIN32_WINNT_WIN10
#endif
#if !defined(NTDDI_VERSION)
#define NTDDI_VERSION ((_WIN32_WINNT) << 16)
#endif
#if !defined(_WIN32_WINNT)
#define _WIN32_WINNT (NTDDI_VERSION >> 16)
#endif
#if !defined(WINVER)
#define WINVER _WIN32_WINNT
#endif

#endif
