// The KMDF USB target declarations live in <wdf.h> (one header for the
// framework subset); this name is kept so driver sources include it as usual.
#ifndef KORVEL_KMDF_WDFUSB_H
#define KORVEL_KMDF_WDFUSB_H
#include <wdf.h>
#endif
