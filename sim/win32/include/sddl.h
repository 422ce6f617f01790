// Stand-in for <sddl.h>: security descriptors from their string form.
// Source: "ConvertStringSecurityDescriptorToSecurityDescriptorW function (sddl.h)" for the declaration.
#ifndef KORVEL_SIM_SDDL_H
#define KORVEL_SIM_SDDL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SDDL_REVISION_1 1

// The descriptor is freed with LocalFree.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize);

#ifdef __cplusplus
}
#endif

#endif
