// The one device proxy of the program. It is built during static
// initialisation, so the worker thread already runs (and has searched for the
// unit once) when main starts; only programs that call globalVXDevice() link
// it in.
#include "vxfacade.h"

static QVXDevice vxDevice;

QVXDevice& globalVXDevice() {
  return vxDevice;
}
