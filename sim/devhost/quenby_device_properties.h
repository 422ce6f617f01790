// What quenby.inf's [Quenby.Install.NTamd64.HW] section sets on the unit's
// device objects (DeviceCharacteristics and Security), which the PnP manager
// applies once the driver has added its device. The device host plugs the
// unit with them; the INF agreement test checks them against the INF.
//
// FILE_DEVICE_SECURE_OPEN: every open in the device's namespace ("\tarrow",
// "\kstarrow") is checked against the descriptor, not only one of the
// device itself. The descriptor: SYSTEM (the Audio Endpoint Builder) and
// administrators everything; LocalService (the Windows Audio service and
// the audio engine, audiodg) and interactive users reading and writing; a
// medium mandatory label with no-write-up, so that a low-integrity program
// opens for reading at most.
#ifndef KORVEL_DEVHOST_QUENBY_DEVICE_PROPERTIES_H
#define KORVEL_DEVHOST_QUENBY_DEVICE_PROPERTIES_H

namespace korvel::devhost {

constexpr unsigned long kQuenbyDeviceCharacteristics = 0x00000100;  // FILE_DEVICE_SECURE_OPEN
constexpr const char kQuenbyDeviceSecurity[] =
    "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;IU)S:(ML;;NW;;;ME)";

}  // namespace korvel::devhost

#endif
