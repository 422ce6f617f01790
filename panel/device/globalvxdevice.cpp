// The one device proxy of the program. It is built during static
// initialisation, so the worker thread already runs (and has searched for the
// unit once) when main starts; only programs that call globalVXDevice() link
// it in. It stays a static object on purpose, not one that main makes: the
// first search for the unit runs while the program is still starting.
#include "vxfacade.h"

static QVXDevice vxDevice;

QVXDevice& globalVXDevice() {
  return vxDevice;
}
