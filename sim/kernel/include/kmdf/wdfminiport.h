// Kernel-Mode Driver Framework 1.11, the miniport device (a framework device
// beside a port driver that owns the WDM dispatch), for the Linux stand-in:
// <wdfminiport.h> as the WDK has it: it includes nothing, so a source
// includes <wdf.h> before it.
#ifndef KORVEL_KMDF_WDFMINIPORT_H
#define KORVEL_KMDF_WDFMINIPORT_H

extern "C" {
NTSTATUS WdfDeviceMiniportCreate(WDFDRIVER Driver, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT AttachedDeviceObject,
                                 PDEVICE_OBJECT Pdo, WDFDEVICE* Device);
void WdfDriverMiniportUnload(WDFDRIVER Driver);
}

#endif
