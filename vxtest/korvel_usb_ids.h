/* How the KORVEL units identify themselves on USB: the vendor and product IDs
 * of their device descriptors, and the first interface of their USB Audio 2.0
 * function, which Windows gives the hardware ID
 * USB\VID_vvvv&PID_pppp&MI_nn that quenby.inf names.
 *
 * TO CONFIRM: our documents do not give the maker's vendor and product IDs.
 * These values are placeholders until the maker confirms them. Change them
 * here and in win_avstream_driver/quenby.inf together: the test
 * quenby_inf_agreement checks that the INF and the simulated unit agree. */
#ifndef KORVEL_USB_IDS_H
#define KORVEL_USB_IDS_H

/* Vendor ID (idVendor) and the product ID (idProduct) of each model. */
#define KORVEL_VID 0x2E4Cu /* TO CONFIRM */

#define KORVEL_PID_TARROW 0x0101u   /* TO CONFIRM */
#define KORVEL_PID_QUENBY 0x0102u   /* TO CONFIRM */
#define KORVEL_PID_PELLIN 0x0103u   /* TO CONFIRM */
#define KORVEL_PID_DORRIT 0x0104u   /* TO CONFIRM */
#define KORVEL_PID_FAR_LINK 0x0110u /* TO CONFIRM */

/* Device release (bcdDevice) the simulated units report. */
#define KORVEL_USB_DEVICE_RELEASE 0x0100u

/* The audio function's first interface (its interface association). */
#define KORVEL_USB_AUDIO_FIRST_INTERFACE 0u

#endif
