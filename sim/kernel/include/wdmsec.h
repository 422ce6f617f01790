// User-mode stand-in for <wdmsec.h>, which Microsoft's KMDF headers include:
// nothing of it is called by the driver.
#ifndef KORVEL_SIM_WDMSEC_H
#define KORVEL_SIM_WDMSEC_H
#endif
