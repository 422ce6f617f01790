// User-mode stand-in for <devpropdef.h>: the unified device property key
// and type, which Microsoft's KMDF headers name in their property methods.
#ifndef KORVEL_SIM_DEVPROPDEF_H
#define KORVEL_SIM_DEVPROPDEF_H

typedef ULONG DEVPROPTYPE, *PDEVPROPTYPE;
typedef GUID DEVPROPGUID, *PDEVPROPGUID;
typedef ULONG DEVPROPID, *PDEVPROPID;

typedef struct _DEVPROPKEY {
  DEVPROPGUID fmtid;
  DEVPROPID pid;
} DEVPROPKEY, *PDEVPROPKEY;
typedef const DEVPROPKEY* PCDEVPROPKEY;

#endif
