/* Wide string literals. WCHAR is wchar_t in the Windows SDK and UTF-16
 * char16_t in the Linux stand-in; product code writes wide literals through
 * this one macro so both see the same 16-bit code units. */
#ifndef VXWIDE_H
#define VXWIDE_H

#if defined(_WIN32)
#define VXW(s) L##s
#else
#define VXW(s) u##s
#endif

#endif
